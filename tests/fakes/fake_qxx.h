// A fake of the link layer for the console units' tests: records every request and answers
// from a script, so a console command can be checked against the exact bytes it sends and the
// exact text it prints, with no thread and no transport.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "qxx_comm.h"

namespace fake_qxx {

struct Call {
    int handle;
    int code;
    std::vector<unsigned char> request;
    int reply_size;
    int timeout;
    int wait;
};

struct Reply {
    int result = 0;                      // what QXX_send_cmd returns
    std::vector<unsigned char> payload;  // copied when result is 0 and it fits the buffer
    int param = 0;
    int status = 0;
};

// Forgets every call and script; connection defaults below.
void reset();
const std::vector<Call>& calls();
// Codes of the recorded calls, in order.
std::vector<int> codes();
// Queues a reply for the next request with this code (FIFO per code).
void push_reply(int code, const Reply& reply);
// Answers requests that have no queued reply (default: result 0, no payload).
void set_responder(std::function<Reply(const Call&)> responder);

// ---- connection ------------------------------------------------------------------------------
struct Link {
    int connect_result = 0;      // QXX_connect's result
    int handle = 7;              // handle stored by a successful QXX_connect
    bool identify = true;        // QXX_connect calls on_connected(type 12) at once
    int wait_result = 0;         // QXX_wait_connected's result
    int state = 2;               // QXX_get_conn_state_id
    int disconnect_result = 0;   // QXX_disconnect's result; 0 also calls on_disconnected
    int bt_available = 0;
    std::vector<std::string> usb_devices;  // entries of QXX_list_usb_devices
    std::vector<std::string> bt_devices;   // entries of QXX_comm_bt_discover_wait
    std::vector<std::vector<unsigned char>> datagrams;  // fed to the broadcast callback
};
Link& link();
// The connection strings QXX_connect was given, in order.
const std::vector<std::string>& connect_strings();
int disconnects();
// Broadcast sends: "address:port".
const std::vector<std::string>& broadcasts();
// Registered event handlers: code, handler.
const std::vector<std::pair<int, QXX_event_handler>>& hooks();

}  // namespace fake_qxx
