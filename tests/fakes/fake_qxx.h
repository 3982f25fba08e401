// A fake of the link layer: records every request and answers from a script, so a console command
// is checked against the bytes it sends and the text it prints, with no thread and no transport.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "qxx_comm.h"

namespace fake_qxx {

struct Call {
    int handle, code;
    std::vector<unsigned char> request;
    int reply_size, timeout, wait;
};

struct Reply {
    int result = 0;                      // what QXX_send_cmd returns
    std::vector<unsigned char> payload;  // copied when result is 0 and it fits the buffer
};

struct State {
    std::vector<Call> calls;
    std::map<int, std::deque<Reply>> replies;  // per code, first in first out; else result 0
    // The connection: QXX_connect identifies an instrument (handle 7, type 12) at once; with
    // `identified` 0 the link comes up but nothing is recognised (state 1, no connected event).
    int identified = 1;
    int bt_available = 0;
    std::vector<std::string> usb_devices;  // entries of QXX_list_usb_devices
    std::vector<std::string> bt_devices;   // what an inquiry finds (QXX_comm_bt_discover_wait)
    std::vector<std::vector<unsigned char>> datagrams;  // fed to the broadcast callback
    int wait_result = 0;                                // of QXX_wait_connected
    int conn_state = 2;         // of QXX_get_conn_state_id: 2 = the device was recognised
    int disconnect_result = 0;  // of QXX_disconnect
    std::vector<std::string> connect_strings;
    std::vector<std::string> broadcasts;  // "address:port"
    int disconnects = 0;
    int shuts = 0;
    std::vector<std::pair<int, int>> waits;  // handle and milliseconds of every connection wait
    std::vector<std::pair<int, int>> bt_inquiries;  // arguments of QXX_comm_bt_discover
    QXX_disconnected_proc on_disconnected = nullptr;
    QXX_broadcast_proc broadcast = nullptr;
    // Event handlers registered with QXX_hook_async_event: handle, code, handler, in order.
    std::vector<std::tuple<int, int, QXX_event_handler>> hooks;
    int hook_result = 0;                         // what QXX_hook_async_event returns
    std::vector<std::pair<int, int>> num_tries;  // QXX_set_cmd_num_try: handle, tries
};

State& st();
void reset();              // forgets every call and script
std::vector<int> codes();  // of the recorded calls, in order

}  // namespace fake_qxx
