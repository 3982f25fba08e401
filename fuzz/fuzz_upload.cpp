// The container reader of the upload and of the flash request, on arbitrary file contents,
// against the fake link layer, which answers every request with success.
//
// Input: the whole container file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fake_qxx.h"
#include "fuzz_support.h"
#include "q5_cmds.h"
#include "qxx_cmds.h"

namespace {

constexpr const char* CONTAINER = "fw.xfw";
constexpr int INSTRUMENT = 12;
// The instrument's upload takes the data area from the file's length; a fixed data area (as a
// board with a fixed flash would use) is read as well.
constexpr int LENGTH_LIMITS[] = {-1, 4096};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_log();
    fuzz::private_directory();
    static FILE* end = std::fopen("/dev/null", "r");  // every prompt keeps its default
    input_set_stream(end);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = std::fopen(CONTAINER, "wb");
    if (f == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);

    char line[] = "up\n";
    for (int limit : LENGTH_LIMITS) {
        fake_qxx::reset();
        connected = 1;
        Q5_cmd_upload_xfw(line, CONTAINER, INSTRUMENT, limit);
    }
    fake_qxx::reset();
    connected = 1;
    Q5_cmd_flash_fw(line, CONTAINER);
    return 0;
}
