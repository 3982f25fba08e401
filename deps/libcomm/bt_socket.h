// The Bluetooth link's system calls, the only part of an RFCOMM link that differs between
// systems: bluetooth_bluez.cpp on Linux (BlueZ), bluetooth_win.cpp on Windows. The link itself
// (bluetooth_link.cpp) is the same everywhere.
#pragma once

#include <chrono>

#include "comm_internal.h"

// One RFCOMM link.
struct bt_link {
    comm_bt_params params;
    comm_link* link = nullptr;
    comm_fd fd = COMM_NO_FD;
    bool connecting = false;
    std::chrono::steady_clock::time_point deadline;
    void* pairing = nullptr;  // where the system answers PIN requests itself: its registration
};

// Which kind of refusal (COMM_BT_...) each of the system's error numbers is.
struct bt_refusal {
    int err;
    int kind;
};
extern const bt_refusal* const BT_SOCKET_REFUSALS;
extern const int BT_SOCKET_REFUSAL_COUNT;
// What the operator is to do about each kind, in this system's words.
extern const comm_bt_advice BT_SOCKET_ADVICE;
// The error number a connect that ran out of time reports.
extern const int BT_SOCKET_TIMED_OUT;

// A non-blocking RFCOMM socket; COMM_NO_FD on failure with the error number in `*err` and, when
// the socket was made but could not be readied, that step's name in `*setup` (else left).
comm_fd bt_socket_open(int* err, const char** setup);
// Has the link `s` authenticate (so a device not yet paired is paired on the way).
void bt_socket_authenticate(bt_link* s);
// Starts connecting to the string's address and channel: 1 when connected at once, 0 while it
// goes on, -1 with the error number in `*err` when it failed.
int bt_socket_connect(comm_fd fd, const comm_bt_params& p, int* err);
// How a connect that made the socket ready ended: 0 when connected, else the error.
int bt_socket_connect_result(comm_fd fd);
// Ends the authentication bt_socket_authenticate started, if any.
void bt_socket_stop_pairing(bt_link* s);
void bt_socket_close(comm_fd fd);
