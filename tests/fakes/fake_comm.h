// A fake of the communication library's link functions: records every call, keeps the open links
// for the link walk, captures replies in armed slots as the real library does. Any thread may call
// it; a test reads st() only while no other thread runs. Calls out of the fake (responder, event
// procedure, walk_end) are made without its lock held.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "libcomm.h"

namespace fake_comm {

using Bytes = std::vector<unsigned char>;

struct Write {
    int handle;
    Bytes bytes;
    int flags, ms;
};
struct Link {
    comm_event_proc proc;
    void* context;
};
struct Slot {  // one armed capture slot, as the real library keeps three per link
    int code = -1;
    unsigned char* buf = nullptr;
    int size = 0, len = 0;
};

struct State {
    int connect_result = 0;  // non-zero: comm_connect refuses and opens nothing
    int write_result = 0;
    std::vector<std::string> usb_entries;
    // Called after every recorded write: may raise events, e.g. deliver an answer.
    std::function<void(const Write&)> responder;
    // Called when a link walk reaches its end, on the walking thread.
    std::function<void()> walk_end;
    int next_handle = 1;
    std::map<int, Link> links;
    std::map<int, std::vector<Slot>> slots;  // armed slots per handle
    // The calls not recorded otherwise go to `calls` as "name(arg,arg,...)".
    std::vector<Write> writes;
    std::vector<std::vector<int>> hooks;  // code, size of each of the three slots
    int unhooks = 0;
    std::vector<int> waits;                    // the milliseconds of each comm_wait_response
    std::vector<std::pair<int, Bytes>> fills;  // handle, frame
    std::vector<std::string> calls;
};

State& st();
void reset();
// Raises an event on an open link through its event procedure; returns the procedure's result
// (-2 for no such link). close() takes the link out of the walk, then raises CLOSED.
int raise(int handle, int kind, const Bytes& bytes = {});
int deliver(int handle, const Bytes& bytes);
int close(int handle);
void* context_of(int handle);  // of an open link, or null
std::vector<int> open_handles();

}  // namespace fake_comm
