// The receive parser on one link, fed an arbitrary byte stream through the link layer's event
// procedure, against the fake of the communication library.
//
// Input: byte 0 chooses the link (bit 0: identified before the stream starts; bit 1: an idle
// event between pieces), byte 1 the piece size (1 to 256); the rest is the stream.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fake_comm.h"
#include "fuzz_support.h"
#include "q8_comm.h"
#include "qxx_comm.h"

namespace {

// Reads every byte the frame claims to hold, so a frame that overruns the receive buffer is
// reported by the address checker here rather than somewhere later.
unsigned sink;
int read_whole(int, void*, const unsigned char* frame, int) {
    const int n = QXX_HEADER_SIZE + qxx_frame_length(frame);
    for (int i = 0; i < n; ++i) sink += frame[i];
    return 0;
}

int on_connected(int handle, void*, int, int) {
    for (int code : {10002, 10003, 10012, 9203}) QXX_hook_async_event(handle, code, read_whole);
    QXX_hook_async_event(handle, QXX_CODE_DEFAULT, read_whole);
    return 0;
}

std::vector<unsigned char> identification() {
    const unsigned char serial[8] = {'C', '0', '0', '0', '1', '2', '3', '4'};
    std::vector<unsigned char> f(sizeof serial + QXX_FRAME_OVERHEAD);
    qxx_build_frame(f.data(), 9007, serial, sizeof serial, 0, 0);
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const bool identify = data[0] & 1;
    const bool idle_between = data[0] & 2;
    const size_t piece = size_t{data[1]} + 1;
    data += 2;
    size -= 2;

    fake_comm::reset();
    int h = -1;
    if (QXX_connect("fuzz", &h, on_connected, nullptr, nullptr, Q8_probe, Q8_test_probe, 0) != 0)
        std::abort();
    fake_comm::raise(h, COMM_EVENT_OPENED);
    if (identify) {
        fake_comm::deliver(h, identification());
        if (static_cast<QXX_conn_ctx*>(fake_comm::context_of(h))->identified != 1) std::abort();
    }
    for (size_t at = 0; at < size; at += piece) {
        const size_t n = size - at < piece ? size - at : piece;
        fake_comm::deliver(h, fake_comm::Bytes(data + at, data + at + n));
        if (idle_between) fake_comm::raise(h, COMM_EVENT_IDLE);
    }
    const auto* ctx = static_cast<QXX_conn_ctx*>(fake_comm::context_of(h));
    if (ctx->rx.count < 0 || ctx->rx.count > QXX_RX_BUFFER_SIZE) std::abort();
    fake_comm::close(h);  // releases the context
    return 0;
}
