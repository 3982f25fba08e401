// Files nv-spc writes go through the programs' one file replacement (safe_file.h).
#include "spc_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "safe_file.h"
#include "safe_text.h"

namespace {

bool write_all(int fd, const std::string& data) {
    for (size_t done = 0; done < data.size();) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool spc_write_file(const std::string& path, const std::string& data, std::string* error) {
    if (path == "-") {
        if (write_all(STDOUT_FILENO, data)) return true;
        *error = std::string("standard output: ") + std::strerror(errno);
        return false;
    }
    SafeFile file;
    if (file.open(path.c_str()) && file.write(data.data(), data.size()) && file.commit())
        return true;
    *error = device_text(path.c_str(), path.size()) + ": " + std::strerror(errno);
    return false;
}
