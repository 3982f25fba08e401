#include "fake_comm.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

namespace fake_comm {
namespace {

// One armed capture slot, as the real library keeps three per link.
struct Slot {
    int code = -1;
    unsigned char* buf = nullptr;
    int size = 0;
    int len = 0;
};

struct State {
    Script script;
    std::function<void(const Write&)> responder;
    std::function<void()> walk_end;
    std::map<int, Link> links;
    std::map<int, std::array<Slot, 3>> slots;  // armed slots per handle
    std::vector<Write> writes;
    std::vector<Hook> hooks;
    int unhooks = 0;
    std::vector<Fill> fills;
    std::map<int, int> signals;
    std::vector<std::string> calls;
};

std::mutex lock;
std::condition_variable changed;

State& st() {
    static State s;
    return s;
}

std::string arg(const char* s) {
    return s ? s : "(null)";
}
std::string arg(int v) {
    return std::to_string(v);
}

// Records "name(a,b,...)" and returns it.
template <class... Args>
std::string record(const char* name, Args... args) {
    std::string call = std::string(name) + "(";
    ((call += arg(args) + ","), ...);
    if (call.back() == ',') call.pop_back();
    call += ")";
    std::lock_guard<std::mutex> g(lock);
    st().calls.push_back(call);
    return call;
}

// Connection-string makers write the call they recorded, as the real ones write their string.
int made(char* out, const std::string& call) {
    if (out) std::snprintf(out, COMM_CONN_STRING_SIZE, "%s", call.c_str());
    return st().script.make_result;
}

}  // namespace

void reset() {
    std::lock_guard<std::mutex> g(lock);
    st() = State{};
}
Script& script() {
    return st().script;
}

void set_walk_end(std::function<void()> walk_end) {
    std::lock_guard<std::mutex> g(lock);
    st().walk_end = std::move(walk_end);
}

void set_responder(std::function<void(const Write&)> responder) {
    std::lock_guard<std::mutex> g(lock);
    st().responder = std::move(responder);
}

int raise(int handle, int kind, const Bytes& bytes) {
    Link link;
    {
        std::lock_guard<std::mutex> g(lock);
        auto it = st().links.find(handle);
        if (it == st().links.end()) return -2;
        link = it->second;
    }
    return link.proc(handle, kind, bytes.empty() ? nullptr : bytes.data(),
                     static_cast<int>(bytes.size()), link.context);
}

int deliver(int handle, const Bytes& bytes) {
    return raise(handle, COMM_EVENT_DATA, bytes);
}

// As the real library does, the link leaves the walk before its CLOSED event, which releases
// the link layer's context.
int close(int handle) {
    Link link;
    {
        std::lock_guard<std::mutex> g(lock);
        auto it = st().links.find(handle);
        if (it == st().links.end()) return -2;
        link = it->second;
        st().links.erase(it);
        st().slots.erase(handle);
    }
    return link.proc(handle, COMM_EVENT_CLOSED, nullptr, 0, link.context);
}

void* context_of(int handle) {
    std::lock_guard<std::mutex> g(lock);
    auto it = st().links.find(handle);
    return it == st().links.end() ? nullptr : it->second.context;
}

std::vector<Link> links() {
    std::lock_guard<std::mutex> g(lock);
    std::vector<Link> out;
    for (const auto& [h, l] : st().links) out.push_back(l);
    return out;
}

// Copies of the records, taken under the lock.
template <class F>
auto read(F f) {
    std::lock_guard<std::mutex> g(lock);
    return f(st());
}
std::vector<Write> writes() {
    return read([](State& s) { return s.writes; });
}
std::vector<Hook> hooks() {
    return read([](State& s) { return s.hooks; });
}
int unhooks() {
    return read([](State& s) { return s.unhooks; });
}
std::vector<Fill> fills() {
    return read([](State& s) { return s.fills; });
}
std::vector<std::string> calls() {
    return read([](State& s) { return s.calls; });
}
int signals(int handle) {
    return read([handle](State& s) { return s.signals[handle]; });
}

bool wait_for_writes(size_t n, int ms) {
    std::unique_lock<std::mutex> g(lock);
    return changed.wait_for(g, std::chrono::milliseconds(ms),
                            [n] { return st().writes.size() >= n; });
}

}  // namespace fake_comm

using namespace fake_comm;

// ---- library lifetime ----------------------------------------------------------------------

int comm_init(void) {
    record("comm_init");
    return st().script.init_result;
}
int comm_usb_register(comm_usb_callback, void* arg) {
    record("comm_usb_register", arg ? "arg" : "null");
    return st().script.usb_register_result;
}
int comm_usb_deregister(void) {
    return record("comm_usb_deregister"), 0;
}
int comm_shut(void) {
    return record("comm_shut"), 0;
}

// ---- links ---------------------------------------------------------------------------------

int comm_connect(int* handle, const char* conn_string, comm_event_proc proc, int rx_size,
                 int idle_ms, void* context) {
    record("comm_connect", conn_string, rx_size, idle_ms);
    std::lock_guard<std::mutex> g(lock);
    if (st().script.connect_result != 0) return st().script.connect_result;
    int h = st().script.next_handle++;
    st().links[h] = Link{h, conn_string, proc, rx_size, idle_ms, context};
    *handle = h;
    return 0;
}

int comm_wait_connected(int handle, int ms) {
    record("comm_wait_connected", handle, ms);
    return st().script.wait_connected_result;
}

int comm_signal_connected(int handle) {
    std::lock_guard<std::mutex> g(lock);
    st().signals[handle]++;
    return 0;
}

int comm_get_state(int handle) {
    record("comm_get_state", handle);
    return st().script.state;
}

int comm_disconnect(int handle) {
    record("comm_disconnect", handle);
    return st().script.disconnect_result;
}

int comm_data_cntr_init(comm_data_cntr* iter) {
    iter->next_handle = 0;
    return 0;
}

int comm_get_data(comm_data_cntr* iter, int* handle, void** context) {
    std::unique_lock<std::mutex> g(lock);
    auto it = st().links.upper_bound(iter->next_handle);
    if (it == st().links.end()) {
        std::function<void()> walk_end = st().walk_end;
        g.unlock();
        if (walk_end) walk_end();
        return 0;
    }
    iter->next_handle = it->first;
    *handle = it->first;
    *context = it->second.context;
    return 1;
}

int comm_write(int handle, const void* data, int length, int flags, int ms) {
    auto p = static_cast<const unsigned char*>(data);
    Write w{handle, Bytes(p, p + length), flags, ms};
    std::function<void(const Write&)> responder;
    {
        std::lock_guard<std::mutex> g(lock);
        st().writes.push_back(w);
        responder = st().responder;
    }
    changed.notify_all();
    if (responder) responder(w);
    return st().script.write_result;
}

// ---- reply capture -------------------------------------------------------------------------

int comm_hook_response(int handle, int code1, void* buf1, int size1, int code2, void* buf2,
                       int size2, int code3, void* buf3, int size3) {
    std::lock_guard<std::mutex> g(lock);
    st().hooks.push_back(Hook{handle, {code1, code2, code3}, {size1, size2, size3}});
    st().slots[handle] = {Slot{code1, static_cast<unsigned char*>(buf1), size1, 0},
                          Slot{code2, static_cast<unsigned char*>(buf2), size2, 0},
                          Slot{code3, static_cast<unsigned char*>(buf3), size3, 0}};
    return 0;
}

int comm_fill_rsp_buff(int handle, int code, const void* frame, int length) {
    auto p = static_cast<const unsigned char*>(frame);
    {
        std::lock_guard<std::mutex> g(lock);
        st().fills.push_back(Fill{handle, code, Bytes(p, p + length)});
        auto it = st().slots.find(handle);
        if (handle == 0 || it == st().slots.end()) return 0;
        for (Slot& s : it->second) {
            if (s.code == code && s.len == 0 && length <= s.size) {
                std::memcpy(s.buf, frame, length);
                s.len = length;
                break;
            }
        }
    }
    changed.notify_all();
    return 0;
}

int comm_wait_response(int handle, int* len1, int* len2, int* len3, int ms) {
    std::unique_lock<std::mutex> g(lock);
    std::array<Slot, 3> none{};
    auto slots = [handle, &none]() -> std::array<Slot, 3>& {
        auto it = st().slots.find(handle);
        return it == st().slots.end() ? none : it->second;
    };
    auto captured = [&] {
        return slots()[0].len != 0 || slots()[1].len != 0 || slots()[2].len != 0;
    };
    if (st().script.blocking_wait) changed.wait_for(g, std::chrono::milliseconds(ms), captured);
    int* out[3] = {len1, len2, len3};
    for (int i = 0; i < 3; ++i)
        if (out[i]) *out[i] = slots()[i].len;
    return captured() ? 0 : 1;
}

int comm_unhook_response(int handle) {
    std::lock_guard<std::mutex> g(lock);
    st().unhooks++;
    st().slots.erase(handle);
    return 0;
}

// ---- connection strings --------------------------------------------------------------------

int comm_make_conn_string_usb(char* out, const char* device, int arg, int vendor_id,
                              int product_id) {
    return made(out, record("usb", device, arg, vendor_id, product_id));
}
int comm_make_conn_string_serial(char* out, int port, int baud, int data_bits, int stop_bits,
                                 int parity, int flow) {
    return made(out, record("serial", port, baud, data_bits, stop_bits, parity, flow));
}
int comm_make_conn_string_serial_path(char* out, const char* path, int baud, int data_bits,
                                      int stop_bits, int parity, int flow) {
    return made(out, record("serial_path", path, baud, data_bits, stop_bits, parity, flow));
}
int comm_make_conn_string_net(char* out, const char* host, int port, int connect_timeout_ms) {
    return made(out, record("net", host, port, connect_timeout_ms));
}
int comm_make_conn_string_bt(char* out, const char* address, const char* name, int cod, int channel,
                             const char* pin, int timeout_ms) {
    return made(out, record("bt", address, name, cod, channel, pin, timeout_ms));
}

// ---- device listing and discovery ----------------------------------------------------------

int comm_list_devices_usb(int flags, comm_dev_entry* list, int max, int* count,
                          const char* manufacturer, const char* product, int vendor_lo,
                          int vendor_hi, int product_lo, int product_hi) {
    record("comm_list_devices_usb", flags, max, manufacturer, product, vendor_lo, vendor_hi,
           product_lo, product_hi);
    int n = 0;
    for (const auto& e : st().script.usb_entries) {
        if (n >= max) break;
        std::snprintf(list[n++], COMM_ENTRY_SIZE, "%s", e.c_str());
    }
    *count = n;
    return st().script.list_result;
}

int comm_bt_is_available(void) {
    return record("comm_bt_is_available"), st().script.bt_result;
}
int comm_bt_discover(int flags, int cod, int arg) {
    return record("comm_bt_discover", flags, cod, arg), st().script.bt_result;
}
int comm_bt_discover_wait(comm_dev_entry*, int* count) {
    if (count) *count = 0;
    return record("comm_bt_discover_wait"), st().script.bt_result;
}
int comm_bt_discover_cancel(void) {
    return record("comm_bt_discover_cancel"), st().script.bt_result;
}

int comm_net_broadcast_register(comm_broadcast_callback, void*) {
    return record("comm_net_broadcast_register"), st().script.broadcast_result;
}
int comm_net_broadcast_send(const void* frame, int length, const char* address, int port) {
    auto p = static_cast<const unsigned char*>(frame);
    std::string hex;
    static constexpr char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < length; ++i) {
        hex += digits[p[i] >> 4];
        hex += digits[p[i] & 15];
    }
    return record("comm_net_broadcast_send", hex.c_str(), length, address, port),
           st().script.broadcast_result;
}
int comm_net_broadcast_deregister(void) {
    return record("comm_net_broadcast_deregister"), st().script.broadcast_result;
}
