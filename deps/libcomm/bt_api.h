// The Bluetooth calls the Bluetooth side makes, as one table of function pointers: the BlueZ
// HCI library for the controller and the inquiry, and the socket calls that make and connect an
// RFCOMM socket. The table in use is the real one unless a test installs its own (a fake
// controller whose "RFCOMM socket" is one end of a socket pair), so availability, inquiry and
// links run through all their paths without a controller.
//
// Built only with BlueZ (NV_HAVE_BLUEZ). HCI members have the signature of the hci_ function of
// the same name, the socket members that of the system call.
#pragma once

#if NV_HAVE_BLUEZ

#include <bluetooth/bluetooth.h>
#include <bluetooth/hci.h>
#include <bluetooth/hci_lib.h>
#include <bluetooth/rfcomm.h>
#include <sys/socket.h>

#include <cstdint>

struct comm_bt_api {
    int (*get_route)(bdaddr_t* address);
    int (*devinfo)(int dev_id, hci_dev_info* info);
    int (*open_dev)(int dev_id);
    int (*close_dev)(int dd);
    // Writes at most `max_responses` results into *found (which the caller provides).
    int (*inquiry)(int dev_id, int length, int max_responses, const uint8_t* lap,
                   inquiry_info** found, long flags);
    int (*read_remote_name)(int dd, const bdaddr_t* address, int length, char* name,
                            int timeout_ms);
    int (*send_cmd)(int dd, uint16_t ogf, uint16_t ocf, uint8_t length, void* param);

    int (*socket)(int domain, int type, int protocol);
    int (*connect)(int fd, const sockaddr* address, socklen_t length);
    int (*getsockopt)(int fd, int level, int name, void* value, socklen_t* length);
    int (*setsockopt)(int fd, int level, int name, const void* value, socklen_t length);
};

// Installs `api` for every later call (null restores the real one). The table must outlive its
// use; swap it only while no Bluetooth link is open and no inquiry runs.
void comm_bt_set_api(const comm_bt_api* api);

#endif  // NV_HAVE_BLUEZ
