// Discovery datagrams, each parsed on its own into the discovery list.
//
// Input: datagrams, each a length byte and that many bytes; what is left after the last whole
// one is the final datagram. The list starts empty for every input.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "qxx_comm.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QXX_net_broadcast_reset_list();
    while (size > 0) {
        size_t n = data[0];
        if (n + 1 > size) {
            n = size - 1;
        }
        QXX_broadcast_event_proc(data + 1, static_cast<int>(n));
        data += n + 1;
        size -= n + 1;
    }
    QXX_message_list list;
    QXX_broadcast_list(&list);
    if (list.count < 0 || list.count > QXX_NET_DEVICES) std::abort();
    // Listed idents are distinct.
    for (int i = 0; i < list.count; ++i)
        for (int j = i + 1; j < list.count; ++j)
            if (std::memcmp(list.rows[i].ident, list.rows[j].ident, sizeof list.rows[i].ident) == 0)
                std::abort();
    return 0;
}
