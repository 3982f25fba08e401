// The USB transport of a build without a USB library: it lists no device and fails every USB
// open on the I/O thread (ERROR, then CLOSED); the strings and entries still parse and display.
#include <mutex>

#include "comm_internal.h"

namespace {

int usb_parse(const char* conn_string, void** state) {
    comm_usb_params p;
    int r = comm_usb_parse(conn_string, &p);
    if (r == 1) *state = new comm_absent{"usb", "this build has no USB support"};
    return r;
}

int usb_describe(const char* entry, char* text, int size) {
    comm_usb_params p;
    if (comm_usb_parse(entry, &p) != 1) return 0;
    comm_usb_display(p, nullptr, nullptr, text, size);
    return 1;
}

std::mutex callback_lock;
comm_usb_callback list_callback = nullptr;
void* list_callback_arg = nullptr;

}  // namespace

const comm_transport comm_usb_transport = {
    "usb",
    usb_parse,
    comm_absent_open,
    comm_absent_poll_fds,
    comm_absent_handle,
    comm_absent_write,
    comm_absent_close,
    usb_describe,
};

int comm_list_devices_usb(int, comm_dev_entry*, int, int* count, const char*, const char*, int, int,
                          int, int) {
    if (count != nullptr) *count = 0;
    return 0;
}

// Kept for the caller's sake; without libusb no change is ever reported.
int comm_usb_register(comm_usb_callback callback, void* arg) {
    std::lock_guard<std::mutex> guard(callback_lock);
    list_callback = callback;
    list_callback_arg = arg;
    return 0;
}

int comm_usb_deregister(void) {
    std::lock_guard<std::mutex> guard(callback_lock);
    list_callback = nullptr;
    list_callback_arg = nullptr;
    return 0;
}
