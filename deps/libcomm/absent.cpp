// The operations of a transport this build was made without (see comm_absent): an open fails
// at once, on the I/O thread, and nothing is ever polled or written.
#include <cerrno>
#include <string>

#include "comm_internal.h"

void comm_absent_open(void* state, comm_link* link) {
    auto a = static_cast<const comm_absent*>(state);
    comm_trace_text(a->name, a->reason);
    comm_link_failed(link, (std::string(a->name) + " open").c_str(), ENOTSUP);
}

int comm_absent_poll_fds(void*, pollfd*, int, int*) {
    return 0;
}

void comm_absent_handle(void*, const pollfd*, int) {}

int comm_absent_write(void*, const unsigned char*, int, int) {
    return -1;
}

void comm_absent_close(void* state) {
    delete static_cast<comm_absent*>(state);
}
