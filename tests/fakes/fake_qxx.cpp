#include "fake_qxx.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace fake_qxx {

State& st() {
    static State s;
    return s;
}
void reset() {
    st() = State{};
}
std::vector<int> codes() {
    std::vector<int> out;
    for (const auto& c : st().calls) out.push_back(c.code);
    return out;
}

}  // namespace fake_qxx

using fake_qxx::st;

namespace {

QXX_message_list found;  // the discovery list, filled as the real parser fills it

int list(const std::vector<std::string>& from, comm_dev_entry* out, int max, int* count) {
    int n = 0;
    for (; n < max && n < static_cast<int>(from.size()); ++n)
        snprintf(out[n], COMM_ENTRY_SIZE, "%s", from[n].c_str());
    if (count) *count = n;
    return 0;
}

}  // namespace

// The entry points that only answer: their result, then their declaration.
#define ANSWERS(result, ...) \
    __VA_ARGS__ {            \
        return result;       \
    }
ANSWERS(0, int QXX_init(QXX_wait_callback, comm_usb_callback, void*))
ANSWERS(st().identified ? st().conn_state : 1, int QXX_get_conn_state_id(int))
ANSWERS(st().bt_available, int QXX_bt_is_available(void))
ANSWERS(0, int comm_usb_set_access_advice(const char*))

int QXX_send_cmd(int handle, int code, const void* request, int request_size, void* reply,
                 int reply_size, int* reply_len, int* param, int* status, int timeout_ms,
                 int wait) {
    auto p = static_cast<const unsigned char*>(request);
    const size_t n = static_cast<size_t>(std::max(request_size, 0));
    // A size without data still goes on the wire: as many bytes, here zeros.
    st().calls.push_back({handle, code,
                          p ? std::vector<unsigned char>(p, p + n) : std::vector<unsigned char>(n),
                          reply_size, timeout_ms, wait});
    fake_qxx::Reply r;
    if (auto& q = st().replies[code]; !q.empty()) {
        r = q.front();
        q.pop_front();
    }
    if (!wait) return r.result;
    if (param) *param = 0;
    if (status) *status = 0;
    if (r.result == 0 && !r.payload.empty() && reply &&
        static_cast<int>(r.payload.size()) <= reply_size) {
        std::memcpy(reply, r.payload.data(), r.payload.size());
        if (reply_len) *reply_len = static_cast<int>(r.payload.size());
    }
    return r.result;
}

// Recorded as one request, the pieces joined as they are on the wire.
int QXX_send_cmd_parts(int handle, int code, const void* head, int head_size, const void* body,
                       int body_size, void* reply, int reply_size, int* reply_len, int* param,
                       int* status, int timeout_ms, int wait) {
    std::vector<unsigned char> joined;
    for (auto [p, n] : {std::pair{head, head_size}, std::pair{body, body_size}})
        if (p && n > 0)
            joined.insert(joined.end(), static_cast<const unsigned char*>(p),
                          static_cast<const unsigned char*>(p) + n);
    return QXX_send_cmd(handle, code, joined.data(), static_cast<int>(joined.size()), reply,
                        reply_size, reply_len, param, status, timeout_ms, wait);
}

int QXX_connect(const char* conn_string, int* handle, QXX_connected_proc on_connected,
                QXX_conn_error_proc, QXX_disconnected_proc on_disconnected, QXX_probe_proc,
                QXX_test_probe_proc, int user) {
    if (conn_string == nullptr || conn_string[0] == '\0') return -1;
    st().connect_strings.push_back(conn_string);
    if (handle) *handle = 7;
    st().on_disconnected = on_disconnected;
    if (on_connected && st().identified) on_connected(7, nullptr, 12, user);
    return 0;
}
int QXX_disconnect(int handle) {
    st().disconnects++;
    if (st().disconnect_result != 0) return st().disconnect_result;
    if (st().on_disconnected) st().on_disconnected(handle, nullptr, 0);
    return 0;
}
void QXX_set_cmd_num_try(int handle, int tries) {
    st().num_tries.emplace_back(handle, tries);
}
int QXX_shut(void) {
    st().shuts++;
    return 0;
}
int QXX_wait_connected(int handle, int ms) {
    st().waits.emplace_back(handle, ms);
    return st().wait_result;
}
int QXX_hook_async_event(int handle, int code, QXX_event_handler handler) {
    st().hooks.emplace_back(handle, code, handler);
    return st().hook_result;
}

int QXX_list_usb_devices(comm_dev_entry* out, int max, int* count) {
    return list(st().usb_devices, out, max, count);
}
// An inquiry finds its devices only once it was started.
int QXX_comm_bt_discover_wait(comm_dev_entry* out, int* count) {
    return list(st().bt_inquiries.empty() ? std::vector<std::string>{} : st().bt_devices, out, 32,
                count);
}
int QXX_comm_bt_discover(int a, int b) {
    st().bt_inquiries.emplace_back(a, b);
    return 0;
}
int comm_get_devid_string(const char* entry, char* text) {
    snprintf(text, COMM_DEVID_SIZE, "dev %s", entry);
    return 0;
}
int QXX_make_serial_conn_string(char* out, int port) {
    snprintf(out, COMM_CONN_STRING_SIZE, "com:%d", port);
    return 0;
}
// As the real one: no host, no string (and the link then refuses the empty string).
int QXX_make_net_conn_string(char* out, const char* host, int port) {
    out[0] = '\0';
    if (host == nullptr || host[0] == '\0') return -1;
    snprintf(out, COMM_CONN_STRING_SIZE, "tcp:%s:%d", host, port);
    return 0;
}
int QXX_make_bt_conn_string(char* out, const char* address, const char* name) {
    snprintf(out, COMM_CONN_STRING_SIZE, "bt:%s:%s", address, name);
    return 0;
}

int QXX_net_broadcast_register(QXX_broadcast_proc callback, void*) {
    std::memset(&found, 0, sizeof found);
    st().broadcast = callback;
    return 0;
}
int QXX_send_broadcast_net_message(const char* address, int port) {
    st().broadcasts.push_back(std::string(address) + ":" + std::to_string(port));
    for (const auto& d : st().datagrams)
        if (st().broadcast) st().broadcast(d.data(), static_cast<int>(d.size()));
    return 0;
}
int QXX_net_broadcast_deregister(void) {
    st().broadcast = nullptr;
    return 0;
}
int QXX_broadcast_list(void* destination) {
    std::memcpy(destination, &found, sizeof found);
    return 0;
}
// Announcement payload: ident, address and name fields of 10, 16 and 40 bytes.
int QXX_broadcast_event_proc(const unsigned char* bytes, int count) {
    if (count < QXX_FRAME_OVERHEAD + QXX_ANNOUNCE_SIZE || found.count >= QXX_NET_DEVICES) return 0;
    if (qxx_frame_code(bytes) != QXX_CODE_ANNOUNCE) return 0;
    const unsigned char* p = bytes + QXX_OFF_PAYLOAD;
    QXX_net_device& row = found.rows[found.count++];
    std::memcpy(row.ident, p, sizeof row.ident);
    std::memcpy(row.address, p + 10, sizeof row.address);
    std::memcpy(row.name, p + 26, sizeof row.name);
    return 0;
}
