// Every handler of the instrument's asynchronous events, given an arbitrary frame of a
// consistent envelope (the parser hands handlers only whole frames), in a private directory
// because the spectrum handler writes spect.spc.
//
// Input: byte 0 picks the handler, bytes 1-2 the frame's param, byte 3 its status; the rest is
// the payload.
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "q8_cmds.h"
#include "qxx_comm.h"

namespace {

struct Event {
    int code;
    QXX_event_handler handler;
};
constexpr Event EVENTS[] = {
    {10002, Q8_event_spectrum_data},     {10003, Q8_event_keyboard_data},
    {10005, Q8_event_total_data},        {10007, Q8_event_status_data},
    {10010, Q8_event_light_sensor_data}, {10012, Q8_event_progress_indication_data},
    {10015, Q8_event_cs_stab_data},
};
constexpr size_t COUNT = sizeof EVENTS / sizeof EVENTS[0];
constexpr size_t MAX_PAYLOAD = 65534;  // the 16-bit length counts the checksum byte too

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_log();
    fuzz::private_directory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const size_t which = data[0] % COUNT;
    const int param = get_u16le(data + 1);
    const int status = data[3];
    const size_t payload = size - 4 > MAX_PAYLOAD ? MAX_PAYLOAD : size - 4;
    // Exactly the frame's own size, so any read past it is caught.
    std::vector<unsigned char> frame(payload + QXX_FRAME_OVERHEAD);
    qxx_build_frame(frame.data(), EVENTS[which].code, data + 4, static_cast<int>(payload), param,
                    status);
    EVENTS[which].handler(1, nullptr, frame.data(), 0);
    return 0;
}
