#include "fake_qxx.h"

#include <cstring>
#include <deque>
#include <map>

namespace fake_qxx {
namespace {

struct State {
    std::vector<Call> calls;
    std::map<int, std::deque<Reply>> script;
    std::function<Reply(const Call&)> responder;
    Link link;
    std::vector<std::string> connect_strings;
    std::vector<std::string> broadcasts;
    std::vector<std::pair<int, QXX_event_handler>> hooks;
    int disconnects = 0;
    QXX_disconnected_proc on_disconnected = nullptr;
    QXX_broadcast_proc broadcast = nullptr;
};

State& st() {
    static State s;
    return s;
}

}  // namespace

void reset() { st() = State{}; }
const std::vector<Call>& calls() { return st().calls; }
std::vector<int> codes() {
    std::vector<int> out;
    for (const auto& c : st().calls) out.push_back(c.code);
    return out;
}
void push_reply(int code, const Reply& reply) { st().script[code].push_back(reply); }
void set_responder(std::function<Reply(const Call&)> responder) {
    st().responder = std::move(responder);
}
Link& link() { return st().link; }
const std::vector<std::string>& connect_strings() { return st().connect_strings; }
int disconnects() { return st().disconnects; }
const std::vector<std::string>& broadcasts() { return st().broadcasts; }
const std::vector<std::pair<int, QXX_event_handler>>& hooks() { return st().hooks; }

}  // namespace fake_qxx

using namespace fake_qxx;

int QXX_send_cmd(int handle, int code, const void* request, int request_size, void* reply,
                 int reply_size, int* reply_len, int* param, int* status, int timeout_ms,
                 int wait) {
    Call call{handle, code, {}, reply_size, timeout_ms, wait};
    if (request && request_size > 0) {
        auto p = static_cast<const unsigned char*>(request);
        call.request.assign(p, p + request_size);
    }
    st().calls.push_back(call);
    Reply r;
    auto& q = st().script[code];
    if (!q.empty()) {
        r = q.front();
        q.pop_front();
    } else if (st().responder) {
        r = st().responder(call);
    }
    if (!wait) return r.result;
    if (param) *param = r.param;
    if (status) *status = r.status;
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

void QXX_set_cmd_num_try(int, int) {}
int QXX_get_conn_state_id(int) { return st().link.state; }
int QXX_idle_wait(int, int, int) { return 0; }
int QXX_init(QXX_wait_callback, comm_usb_callback, void*) { return 0; }
int QXX_shut(void) { return 0; }

int QXX_connect(const char* conn_string, int* handle, QXX_connected_proc on_connected,
                QXX_conn_error_proc, QXX_disconnected_proc on_disconnected, QXX_probe_proc,
                QXX_test_probe_proc, int user) {
    if (conn_string == nullptr || conn_string[0] == '\0') return -1;
    st().connect_strings.push_back(conn_string);
    if (st().link.connect_result != 0) return st().link.connect_result;
    if (handle) *handle = st().link.handle;
    st().on_disconnected = on_disconnected;
    if (st().link.identify && on_connected)
        on_connected(st().link.handle, nullptr, 12, user);
    return 0;
}

int QXX_wait_connected(int, int) { return st().link.wait_result; }

int QXX_disconnect(int handle) {
    st().disconnects++;
    if (st().link.disconnect_result != 0) return st().link.disconnect_result;
    if (st().on_disconnected) st().on_disconnected(handle, nullptr, 0);
    return 0;
}

int QXX_hook_async_event(int, int code, QXX_event_handler handler) {
    st().hooks.emplace_back(code, handler);
    return 0;
}

int QXX_list_usb_devices(comm_dev_entry* list, int max, int* count) {
    int n = 0;
    for (const auto& d : st().link.usb_devices) {
        if (n >= max) break;
        snprintf(list[n++], COMM_ENTRY_SIZE, "%s", d.c_str());
    }
    if (count) *count = n;
    return 0;
}

int comm_get_devid_string(const char* entry, char* text) {
    snprintf(text, COMM_DEVID_SIZE, "dev %s", entry);
    return 0;
}

int QXX_make_usb_conn_string(char* out, const char* entry, int) {
    snprintf(out, COMM_CONN_STRING_SIZE, "%s", entry);
    return 0;
}
int QXX_make_serial_conn_string(char* out, int port) {
    snprintf(out, COMM_CONN_STRING_SIZE, "com:%d", port);
    return 0;
}
int QXX_make_serial_path_conn_string(char* out, const char* path) {
    snprintf(out, COMM_CONN_STRING_SIZE, "serial:%s", path);
    return 0;
}
int QXX_make_net_conn_string(char* out, const char* host, int port) {
    snprintf(out, COMM_CONN_STRING_SIZE, "tcp:%s:%d", host, port);
    return 0;
}
int QXX_make_bt_conn_string(char* out, const char* address, const char* name) {
    snprintf(out, COMM_CONN_STRING_SIZE, "bt:%s:%s", address, name);
    return 0;
}
int QXX_bt_is_available(void) { return st().link.bt_available; }
int QXX_comm_bt_discover(int, int) { return 0; }
int QXX_comm_bt_discover_wait(comm_dev_entry* list, int* count) {
    int n = 0;
    for (const auto& d : st().link.bt_devices) {
        if (n >= 32) break;
        snprintf(list[n++], COMM_ENTRY_SIZE, "%s", d.c_str());
    }
    if (count) *count = n;
    return 0;
}
int QXX_comm_bt_discover_cancel(void) { return 0; }

namespace {
QXX_message_list fake_list;
}

int QXX_net_broadcast_register(QXX_broadcast_proc callback, void*) {
    std::memset(&fake_list, 0, sizeof fake_list);
    st().broadcast = callback;
    return 0;
}
int QXX_send_broadcast_net_message(const char* address, int port) {
    st().broadcasts.push_back(std::string(address) + ":" + std::to_string(port));
    for (const auto& d : st().link.datagrams)
        if (st().broadcast) st().broadcast(d.data(), static_cast<int>(d.size()));
    return 0;
}
int QXX_net_broadcast_deregister(void) {
    st().broadcast = nullptr;
    return 0;
}
int QXX_net_broadcast_reset_list(void) {
    std::memset(&fake_list, 0, sizeof fake_list);
    return 0;
}
int QXX_broadcast_list(void* destination) {
    std::memcpy(destination, &fake_list, sizeof fake_list);
    return 0;
}
// Announcements reach the fake list the way the real parser fills it.
int QXX_broadcast_event_proc(const unsigned char* bytes, int count) {
    if (count < QXX_FRAME_OVERHEAD + QXX_ANNOUNCE_SIZE) return 0;
    if (qxx_frame_code(bytes) != QXX_CODE_ANNOUNCE) return 0;
    if (fake_list.count >= QXX_NET_DEVICES) return 0;
    const unsigned char* p = bytes + QXX_OFF_PAYLOAD;
    QXX_net_device& row = fake_list.rows[fake_list.count++];
    strncpy(row.ident, reinterpret_cast<const char*>(p), sizeof row.ident);
    strncpy(row.address, reinterpret_cast<const char*>(p + 10), sizeof row.address);
    strncpy(row.name, reinterpret_cast<const char*>(p + 26), sizeof row.name);
    return 0;
}
int QXX_make_command(unsigned char* buffer, int code, const void* payload, int payload_len,
                     int param) {
    return qxx_build_frame(buffer, code, payload, payload_len, param, 0);
}
