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
    std::map<int, Link> links;
    std::map<int, std::array<Slot, 3>> slots;  // armed slots per handle
    std::vector<Write> writes;
    std::vector<Hook> hooks;
    int unhooks = 0;
    int waits = 0;
    std::vector<Fill> fills;
    std::map<int, int> signals;
    std::vector<std::string> calls;
    comm_broadcast_callback broadcast = nullptr;
};

std::mutex lock;
std::condition_variable changed;

State& st() {
    static State s;
    return s;
}

std::string text(const char* s) {
    return s ? s : "(null)";
}

void record(std::string call) {
    std::lock_guard<std::mutex> g(lock);
    st().calls.push_back(std::move(call));
}

// Writes a recognisable connection string, as the real makers write theirs.
void make_out(char* out, const std::string& call) {
    if (out) std::snprintf(out, COMM_CONN_STRING_SIZE, "%s", call.c_str());
}

}  // namespace

void reset() {
    std::lock_guard<std::mutex> g(lock);
    st() = State{};
}
Script& script() {
    return st().script;
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

int close(int handle) {
    int r = raise(handle, COMM_EVENT_CLOSED);
    std::lock_guard<std::mutex> g(lock);
    st().links.erase(handle);
    st().slots.erase(handle);
    return r;
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

std::vector<Write> writes() {
    std::lock_guard<std::mutex> g(lock);
    return st().writes;
}
std::vector<Hook> hooks() {
    std::lock_guard<std::mutex> g(lock);
    return st().hooks;
}
int unhooks() {
    std::lock_guard<std::mutex> g(lock);
    return st().unhooks;
}
int waits() {
    std::lock_guard<std::mutex> g(lock);
    return st().waits;
}
std::vector<Fill> fills() {
    std::lock_guard<std::mutex> g(lock);
    return st().fills;
}
int signals(int handle) {
    std::lock_guard<std::mutex> g(lock);
    auto it = st().signals.find(handle);
    return it == st().signals.end() ? 0 : it->second;
}
std::vector<std::string> calls() {
    std::lock_guard<std::mutex> g(lock);
    return st().calls;
}
comm_broadcast_callback broadcast_callback() {
    std::lock_guard<std::mutex> g(lock);
    return st().broadcast;
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
    record("comm_init()");
    return st().script.init_result;
}
int comm_usb_register(comm_usb_callback, void* arg) {
    record("comm_usb_register(" + std::to_string(reinterpret_cast<uintptr_t>(arg)) + ")");
    return st().script.usb_register_result;
}
int comm_usb_deregister(void) {
    record("comm_usb_deregister()");
    return 0;
}
int comm_shut(void) {
    record("comm_shut()");
    return 0;
}

// ---- links ---------------------------------------------------------------------------------

int comm_connect(int* handle, const char* conn_string, comm_event_proc proc, int rx_size,
                 int idle_ms, void* context) {
    record("comm_connect(" + text(conn_string) + "," + std::to_string(rx_size) + "," +
           std::to_string(idle_ms) + ")");
    std::lock_guard<std::mutex> g(lock);
    if (st().script.connect_result != 0) return st().script.connect_result;
    int h = st().script.next_handle++;
    st().links[h] = Link{h, text(conn_string), proc, rx_size, idle_ms, context};
    *handle = h;
    return 0;
}

int comm_wait_connected(int handle, int ms) {
    record("comm_wait_connected(" + std::to_string(handle) + "," + std::to_string(ms) + ")");
    return st().script.wait_connected_result;
}

int comm_signal_connected(int handle) {
    std::lock_guard<std::mutex> g(lock);
    st().signals[handle]++;
    return 0;
}

int comm_get_state(int handle) {
    record("comm_get_state(" + std::to_string(handle) + ")");
    return st().script.state;
}

int comm_disconnect(int handle) {
    record("comm_disconnect(" + std::to_string(handle) + ")");
    return st().script.disconnect_result;
}

int comm_data_cntr_init(comm_data_cntr* iter) {
    iter->next_handle = 0;
    return 0;
}

int comm_get_data(comm_data_cntr* iter, int* handle, void** context) {
    std::lock_guard<std::mutex> g(lock);
    auto it = st().links.upper_bound(iter->next_handle);
    if (it == st().links.end()) return 0;
    iter->next_handle = it->first;
    *handle = it->first;
    *context = it->second.context;
    return 1;
}

int comm_write(int handle, const void* data, int length, int flags, int ms) {
    Write w{handle, {}, flags, ms};
    auto p = static_cast<const unsigned char*>(data);
    w.bytes.assign(p, p + length);
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
    st().waits++;
    auto captured = [handle] {
        auto it = st().slots.find(handle);
        if (it == st().slots.end()) return false;
        for (const Slot& s : it->second)
            if (s.len != 0) return true;
        return false;
    };
    if (st().script.blocking_wait) changed.wait_for(g, std::chrono::milliseconds(ms), captured);
    const bool got = captured();
    int* out[3] = {len1, len2, len3};
    auto it = st().slots.find(handle);
    for (int i = 0; i < 3; ++i)
        if (out[i]) *out[i] = it == st().slots.end() ? 0 : it->second[i].len;
    return got ? 0 : 1;
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
    char ids[32];
    std::snprintf(ids, sizeof ids, "%d,0x%04X,0x%04X", arg, vendor_id, product_id);
    std::string call = "usb(" + text(device) + "," + ids + ")";
    record(call);
    make_out(out, call);
    return st().script.make_result;
}

int comm_make_conn_string_serial(char* out, int port, int baud, int data_bits, int stop_bits,
                                 int parity, int flow) {
    std::string call = "serial(" + std::to_string(port) + "," + std::to_string(baud) + "," +
                       std::to_string(data_bits) + "," + std::to_string(stop_bits) + "," +
                       std::to_string(parity) + "," + std::to_string(flow) + ")";
    record(call);
    make_out(out, call);
    return st().script.make_result;
}

int comm_make_conn_string_serial_path(char* out, const char* path, int baud, int data_bits,
                                      int stop_bits, int parity, int flow) {
    std::string call = "serial_path(" + text(path) + "," + std::to_string(baud) + "," +
                       std::to_string(data_bits) + "," + std::to_string(stop_bits) + "," +
                       std::to_string(parity) + "," + std::to_string(flow) + ")";
    record(call);
    make_out(out, call);
    return st().script.make_result;
}

int comm_make_conn_string_net(char* out, const char* host, int port, int connect_timeout_ms) {
    std::string call = "net(" + text(host) + "," + std::to_string(port) + "," +
                       std::to_string(connect_timeout_ms) + ")";
    record(call);
    make_out(out, call);
    return st().script.make_result;
}

int comm_make_conn_string_bt(char* out, const char* address, const char* name, int cod, int channel,
                             const char* pin, int timeout_ms) {
    char c[16];
    std::snprintf(c, sizeof c, "0x%X", cod);
    std::string call = "bt(" + text(address) + "," + text(name) + "," + c + "," +
                       std::to_string(channel) + "," + text(pin) + "," +
                       std::to_string(timeout_ms) + ")";
    record(call);
    make_out(out, call);
    return st().script.make_result;
}

// ---- device listing and discovery ----------------------------------------------------------

int comm_list_devices_usb(int flags, comm_dev_entry* list, int max, int* count,
                          const char* manufacturer, const char* product, int vendor_lo,
                          int vendor_hi, int product_lo, int product_hi) {
    char args[96];
    std::snprintf(args, sizeof args, "%d,%d,\"%s\",\"%s\",0x%04X,0x%04X,0x%04X,0x%04X", flags, max,
                  text(manufacturer).c_str(), text(product).c_str(), vendor_lo, vendor_hi,
                  product_lo, product_hi);
    record(std::string("comm_list_devices_usb(") + args + ")");
    int n = 0;
    for (const auto& e : st().script.usb_entries) {
        if (n >= max) break;
        std::snprintf(list[n++], COMM_ENTRY_SIZE, "%s", e.c_str());
    }
    *count = n;
    return st().script.list_result;
}

int comm_bt_is_available(void) {
    record("comm_bt_is_available()");
    return st().script.bt_result;
}
int comm_bt_discover(int flags, int cod, int arg) {
    char c[64];
    std::snprintf(c, sizeof c, "comm_bt_discover(%d,0x%X,%d)", flags, cod, arg);
    record(c);
    return st().script.bt_result;
}
int comm_bt_discover_wait(comm_dev_entry*, int* count) {
    record("comm_bt_discover_wait()");
    if (count) *count = 0;
    return st().script.bt_result;
}
int comm_bt_discover_cancel(void) {
    record("comm_bt_discover_cancel()");
    return st().script.bt_result;
}

int comm_net_broadcast_register(comm_broadcast_callback callback, void*) {
    record("comm_net_broadcast_register()");
    std::lock_guard<std::mutex> g(lock);
    st().broadcast = callback;
    return st().script.broadcast_result;
}

int comm_net_broadcast_send(const void* frame, int length, const char* address, int port) {
    auto p = static_cast<const unsigned char*>(frame);
    std::string hex;
    char b[4];
    for (int i = 0; i < length; ++i) {
        std::snprintf(b, sizeof b, "%02X", p[i]);
        hex += b;
    }
    record("comm_net_broadcast_send(" + hex + "," + std::to_string(length) + "," + text(address) +
           "," + std::to_string(port) + ")");
    return st().script.broadcast_result;
}

int comm_net_broadcast_deregister(void) {
    record("comm_net_broadcast_deregister()");
    std::lock_guard<std::mutex> g(lock);
    st().broadcast = nullptr;
    return st().script.broadcast_result;
}
