// A fake of the communication library's link functions for the link layer's tests. It records
// every call, keeps a table of open links for the link walk, captures replies in armed slots as
// the real library does, and lets a test raise link events and script results. The log
// functions are the real ones (commlog).
//
// Threads: every function may be called from any thread. Calls out of the fake (the responder,
// a link's event procedure) are made without the fake's lock held.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "libcomm.h"

namespace fake_comm {

using Bytes = std::vector<unsigned char>;

struct Write {
    int handle;
    Bytes bytes;
    int flags;
    int ms;
};

struct Hook {
    int handle;
    int code[3];
    int size[3];
};

struct Fill {
    int handle;
    int code;
    Bytes frame;
};

struct Link {
    int handle;
    std::string conn_string;
    comm_event_proc proc;
    int rx_size;
    int idle_ms;
    void* context;
};

// Results the fake functions return, and what the listings yield.
struct Script {
    int init_result = 0;
    int usb_register_result = 0;
    int connect_result = 0;  // non-zero: comm_connect refuses and opens nothing
    int next_handle = 1;
    int write_result = 0;
    int wait_connected_result = 0;
    int state = COMM_STATE_CONNECTED;
    int disconnect_result = 0;
    int make_result = 0;  // every comm_make_conn_string_*
    int list_result = 0;
    std::vector<std::string> usb_entries;
    int bt_result = 0;
    int broadcast_result = 0;
    // false: comm_wait_response answers at once with what the slots hold. true: it waits (at
    // most its `ms`) until a slot is filled from another thread.
    bool blocking_wait = false;
};

void reset();  // forgets links, records, responder; default script
Script& script();

// Called after every comm_write is recorded (without the fake's lock): may raise events, e.g.
// deliver an answer through the link's event procedure.
void set_responder(std::function<void(const Write&)> responder);

// Called (without the fake's lock) when a link walk reaches its end, on the walking thread: a
// test can make a link close while a walker still holds what it found.
void set_walk_end(std::function<void()> walk_end);

// Raises an event on an open link through its event procedure; returns the procedure's result
// (-2 for no such link). close() raises CLOSED and then forgets the link.
int raise(int handle, int kind, const Bytes& bytes = {});
int deliver(int handle, const Bytes& bytes);
int close(int handle);
// The context handed to comm_connect for this open link, or null.
void* context_of(int handle);
std::vector<Link> links();

// Records.
std::vector<Write> writes();
std::vector<Hook> hooks();
int unhooks();
std::vector<Fill> fills();
int signals(int handle);  // comm_signal_connected calls for this handle
// Every other call, as "name(arg,arg,...)": numbers in decimal, texts as they were passed.
std::vector<std::string> calls();

// Waits (bounded by `ms`) until at least `n` writes were recorded; false on time-out.
bool wait_for_writes(size_t n, int ms);

}  // namespace fake_comm
