// The Bluetooth side of a build without Bluetooth: no controller is reported, an inquiry finds
// nothing, and a Bluetooth connection string is accepted but fails to open (ERROR, then CLOSED)
// on the I/O thread.
#include "comm_internal.h"

namespace {

int bt_parse(const char* conn_string, void** state) {
    comm_bt_params p;
    int r = comm_bt_parse(conn_string, &p);
    if (r == 1) *state = new comm_absent{"bluetooth", "this build has no Bluetooth support"};
    return r;
}

}  // namespace

const comm_transport comm_bt_transport = {
    "bluetooth",        bt_parse,          comm_absent_open,  comm_absent_poll_fds,
    comm_absent_handle, comm_absent_write, comm_absent_close, comm_bt_describe,
};

int comm_bt_is_available(void) {
    return 0;
}

int comm_bt_discover(int, int, int) {
    return 0;
}

int comm_bt_discover_wait(comm_dev_entry*, int* count) {
    if (count != nullptr) *count = 0;
    return 0;
}

int comm_bt_discover_cancel(void) {
    return 0;
}
