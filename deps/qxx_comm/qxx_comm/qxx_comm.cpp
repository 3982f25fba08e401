// The link layer. Only the frame builder exists yet; links cannot be opened.
#include "qxx_comm.h"

int QXX_make_command(unsigned char* buffer, int code, const void* payload, int payload_len,
                     int param) {
    return qxx_build_frame(buffer, code, payload, payload_len, param, 0);
}

int QXX_init(QXX_wait_callback, comm_usb_callback, void*) { return -1; }
int QXX_shut(void) { return 0; }
int QXX_disconnect(int) { return -1; }
int QXX_send_cmd(int, int, const void*, int, void*, int, int*, int*, int*, int, int) { return -1; }
int QXX_broadcast_event_proc(const unsigned char*, int) { return 0; }
