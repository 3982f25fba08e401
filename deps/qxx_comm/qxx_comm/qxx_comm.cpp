// The link layer. Only the frame builder exists yet; links cannot be opened.
#include "qxx_comm.h"

int QXX_make_command(unsigned char* buffer, int code, const void* payload, int payload_len,
                     int param) {
    return qxx_build_frame(buffer, code, payload, payload_len, param, 0);
}

int QXX_init(QXX_wait_callback, comm_usb_callback, void*) { return -1; }
int QXX_shut(void) { return 0; }
int QXX_disconnect(int) { return -1; }
int QXX_broadcast_event_proc(const unsigned char*, int) { return 0; }

// Placeholders for the calls the console makes; each fails, so no link is ever opened. The
// link layer's real unit replaces this whole file.
int QXX_send_cmd(int, int, const void*, int, void*, int, int*, int*, int*, int, int) { return -1; }
void QXX_set_cmd_num_try(int, int) {}
int QXX_get_conn_state_id(int) { return 0; }
int QXX_hook_async_event(int, int, QXX_event_handler) { return 0; }
int QXX_connect(const char*, int*, QXX_connected_proc, QXX_conn_error_proc,
                QXX_disconnected_proc, QXX_probe_proc, QXX_test_probe_proc, int) {
    return -1;
}
int QXX_wait_connected(int, int) { return -1; }
int QXX_list_usb_devices(comm_dev_entry*, int, int* count) {
    if (count) *count = 0;
    return 0;
}
int QXX_make_serial_conn_string(char* out, int) {
    out[0] = '\0';
    return -1;
}
int QXX_make_net_conn_string(char* out, const char*, int) {
    out[0] = '\0';
    return -1;
}
int QXX_make_bt_conn_string(char* out, const char*, const char*) {
    out[0] = '\0';
    return -1;
}
int QXX_bt_is_available(void) { return 0; }
int QXX_comm_bt_discover(int, int) { return -1; }
int QXX_comm_bt_discover_wait(comm_dev_entry*, int* count) {
    if (count) *count = 0;
    return -1;
}
int QXX_net_broadcast_register(QXX_broadcast_proc, void*) { return -1; }
int QXX_send_broadcast_net_message(const char*, int) { return -1; }
int QXX_net_broadcast_deregister(void) { return 0; }
int QXX_broadcast_list(void* destination) {
    memset(destination, 0, sizeof(QXX_message_list));
    return 0;
}
int comm_get_devid_string(const char*, char* text) {
    text[0] = '\0';
    return 0;
}
