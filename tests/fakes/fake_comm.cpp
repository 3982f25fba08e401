#include "fake_comm.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace fake_comm {
namespace {

std::mutex lock;

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
    std::snprintf(out, COMM_CONN_STRING_SIZE, "%s", call.c_str());
    return 0;
}

bool find(int handle, Link* link) {
    std::lock_guard<std::mutex> g(lock);
    auto it = st().links.find(handle);
    if (it == st().links.end()) return false;
    *link = it->second;
    return true;
}

}  // namespace

State& st() {
    static State s;
    return s;
}
void reset() {
    std::lock_guard<std::mutex> g(lock);
    st() = State{};
}

int raise(int handle, int kind, const Bytes& bytes) {
    Link link;
    if (!find(handle, &link)) return -2;
    return link.proc(handle, kind, bytes.empty() ? nullptr : bytes.data(),
                     static_cast<int>(bytes.size()), link.context);
}
int deliver(int handle, const Bytes& bytes) {
    return raise(handle, COMM_EVENT_DATA, bytes);
}

int close(int handle) {
    Link link;
    if (!find(handle, &link)) return -2;
    {
        std::lock_guard<std::mutex> g(lock);
        st().links.erase(handle);
        st().slots.erase(handle);
    }
    return link.proc(handle, COMM_EVENT_CLOSED, nullptr, 0, link.context);
}

void* context_of(int handle) {
    Link link;
    return find(handle, &link) ? link.context : nullptr;
}
std::vector<int> open_handles() {
    std::lock_guard<std::mutex> g(lock);
    std::vector<int> out;
    for (const auto& l : st().links) out.push_back(l.first);
    return out;
}

}  // namespace fake_comm

using fake_comm::made;
using fake_comm::record;
using fake_comm::st;

// The entry points that only answer: their result, then their declaration.
#define ANSWERS(result, ...) \
    __VA_ARGS__ {            \
        return result;       \
    }
ANSWERS(0, int comm_init(void))
ANSWERS(0, int comm_usb_register(comm_usb_callback, void*))
ANSWERS(0, int comm_usb_deregister(void))
ANSWERS(0, int comm_shut(void))
ANSWERS(0, int comm_wait_connected(int, int))
ANSWERS(0, int comm_signal_connected(int))
ANSWERS(COMM_STATE_CONNECTED, int comm_get_state(int))
ANSWERS(0, int comm_disconnect(int))
ANSWERS(0, int comm_bt_is_available(void))
ANSWERS(0, int comm_bt_discover_cancel(void))
ANSWERS(0, int comm_net_broadcast_register(comm_broadcast_callback, void*))
ANSWERS(0, int comm_net_broadcast_deregister(void))

// Recorded with the receive buffer's size and the idle time the link is opened with.
int comm_connect(int* handle, const char* conn, comm_event_proc proc, int rx_size, int idle_ms,
                 void* context) {
    record("comm_connect", conn, rx_size, idle_ms);
    std::lock_guard<std::mutex> g(fake_comm::lock);
    if (st().connect_result != 0) return st().connect_result;
    *handle = st().next_handle++;
    st().links[*handle] = {proc, context};
    return 0;
}

int comm_data_cntr_init(comm_data_cntr* iter) {
    iter->next_handle = 0;
    return 0;
}
int comm_get_data(comm_data_cntr* iter, int* handle, void** context) {
    std::unique_lock<std::mutex> g(fake_comm::lock);
    auto it = st().links.upper_bound(iter->next_handle);
    if (it == st().links.end()) {
        std::function<void()> walk_end = st().walk_end;
        g.unlock();
        if (walk_end) walk_end();
        return 0;
    }
    *handle = iter->next_handle = it->first;
    *context = it->second.context;
    return 1;
}

int comm_write(int handle, const void* data, int length, int flags, int ms) {
    auto p = static_cast<const unsigned char*>(data);
    fake_comm::Write w{handle, fake_comm::Bytes(p, p + length), flags, ms};
    std::function<void(const fake_comm::Write&)> responder;
    {
        std::lock_guard<std::mutex> g(fake_comm::lock);
        st().writes.push_back(w);
        responder = st().responder;
    }
    if (responder) responder(w);
    return st().write_result;
}

int comm_hook_response(int handle, int code1, void* buf1, int size1, int code2, void* buf2,
                       int size2, int code3, void* buf3, int size3) {
    std::lock_guard<std::mutex> g(fake_comm::lock);
    st().hooks.push_back({code1, size1, code2, size2, code3, size3});
    auto b = [](void* p) { return static_cast<unsigned char*>(p); };
    st().slots[handle] = {
        {code1, b(buf1), size1, 0}, {code2, b(buf2), size2, 0}, {code3, b(buf3), size3, 0}};
    return 0;
}
int comm_fill_rsp_buff(int handle, int code, const void* frame, int length) {
    auto p = static_cast<const unsigned char*>(frame);
    std::lock_guard<std::mutex> g(fake_comm::lock);
    st().fills.emplace_back(handle, fake_comm::Bytes(p, p + length));
    if (handle == 0 || !st().slots.count(handle)) return 0;
    for (fake_comm::Slot& s : st().slots[handle]) {
        if (s.code == code && s.len == 0 && length <= s.size) {
            std::memcpy(s.buf, frame, length);
            s.len = length;
            break;
        }
    }
    return 0;
}
// Answers at once with what the slots hold.
int comm_wait_response(int handle, int* len1, int* len2, int* len3, int ms) {
    std::lock_guard<std::mutex> g(fake_comm::lock);
    st().waits.push_back(ms);
    std::vector<fake_comm::Slot> slots = st().slots[handle];
    slots.resize(3);
    int* out[3] = {len1, len2, len3};
    for (int i = 0; i < 3; ++i)
        if (out[i]) *out[i] = slots[i].len;
    return slots[0].len != 0 || slots[1].len != 0 || slots[2].len != 0 ? 0 : 1;
}
int comm_unhook_response(int handle) {
    std::lock_guard<std::mutex> g(fake_comm::lock);
    st().unhooks++;
    st().slots.erase(handle);
    return 0;
}

int comm_make_conn_string_usb(char* out, const char* device, int arg, int vendor, int product) {
    return made(out, record("usb", device, arg, vendor, product));
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

int comm_list_devices_usb(int flags, comm_dev_entry* list, int max, int* count,
                          const char* manufacturer, const char* product, int vendor_lo,
                          int vendor_hi, int product_lo, int product_hi) {
    record("comm_list_devices_usb", flags, max, manufacturer, product, vendor_lo, vendor_hi,
           product_lo, product_hi);
    int n = 0;
    for (; n < max && n < static_cast<int>(st().usb_entries.size()); ++n)
        std::snprintf(list[n], COMM_ENTRY_SIZE, "%s", st().usb_entries[n].c_str());
    *count = n;
    return 0;
}

int comm_bt_discover(int flags, int cod, int arg) {
    return record("comm_bt_discover", flags, cod, arg), 0;
}
int comm_bt_discover_wait(comm_dev_entry*, int* count) {
    if (count) *count = 0;
    return 0;
}

// Recorded with the frame in hexadecimal.
int comm_net_broadcast_send(const void* frame, int length, const char* address, int port) {
    auto p = static_cast<const unsigned char*>(frame);
    std::string hex;
    for (int i = 0; i < length; ++i)
        hex += "0123456789ABCDEF"[p[i] >> 4], hex += "0123456789ABCDEF"[p[i] & 15];
    return record("comm_net_broadcast_send", hex.c_str(), length, address, port), 0;
}
