// The link layer: command frames and their evaluation, the receive parser with device
// identification and event dispatch, the command transaction, connection management and
// network discovery. Everything below talks to the transports only through libcomm.
#include "qxx_comm.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

// The request-size check guards the transmit buffer, so it stays on in release builds too.
#undef NDEBUG
#include <cassert>

namespace {

// Capture buffers of one transaction: the reply, and the general error and status replies.
constexpr int REPLY_CAPTURE_SIZE = 65535;
constexpr int GENERAL_CAPTURE_SIZE = 1024;

// What every link is opened with: read chunk and idle period (the probe interval).
constexpr int LINK_RX_CHUNK = 4096;
constexpr int LINK_IDLE_MS = 200;

constexpr int SERIAL_BAUD = 115200;
constexpr int SERIAL_DATA_BITS = 8;
constexpr int SERIAL_STOP_BITS = 1;
constexpr int NET_CONNECT_MS = 1000;
constexpr int BT_COD = 0xFFE050;
constexpr int BT_CHANNEL = 1;
constexpr const char* BT_PIN = "0000";
constexpr int BT_TIMEOUT_MS = 60000;

// USB entries begin with a four-character tag and end in '/' and the product id in hexadecimal.
constexpr int USB_TAG_SIZE = 4;
constexpr const char* USB_TAG_FULL = "USBF";
constexpr const char* USB_TAG_SERIAL = "USBS";
constexpr const char* USB_TAG_UPDATE = "USBU";

// Announcement payload layout: the same 66 bytes as a list row.
constexpr int ANNOUNCE_IDENT_OFF = 0;
constexpr int ANNOUNCE_ADDRESS_OFF = 10;
constexpr int ANNOUNCE_NAME_OFF = 26;

// Set by QXX_init, cleared by QXX_shut; read by whichever thread asks QXX_idle_wait.
std::atomic<QXX_wait_callback> wait_callback{nullptr};

// The discovery list. Written on libcomm's thread by the discovery callback while the console
// sleeps; read by the console only after the callback was deregistered.
QXX_message_list message_list;

// A link's context is released by its CLOSED event on libcomm's thread, while the console thread
// may just have found it in the link walk (a disconnect during a command). The walk and every
// use of what it found hold this lock, and so does the release: a found context stays alive
// until its finder is done with it. libcomm has already dropped the link from its walk when
// CLOSED arrives, so no walk that starts after the release can find the context. Only ever
// taken innermost (libcomm's own lock is taken inside it, never the other way round).
std::mutex context_lock;

// The context of the open link with this handle, or null. The walk always runs to the end.
// Called with context_lock held; the result is valid until it is released.
QXX_conn_ctx* find_link(int handle) {
    QXX_conn_ctx* found = nullptr;
    comm_data_cntr iter{};
    comm_data_cntr_init(&iter);
    int h = 0;
    void* context = nullptr;
    while (comm_get_data(&iter, &h, &context) != 0) {
        if (h == handle && found == nullptr) found = static_cast<QXX_conn_ctx*>(context);
    }
    return found;
}

// Copies one announcement field: at most `width` bytes, of which only `avail` exist in the
// frame, stopping at the first NUL. The destination is already zero-filled.
void copy_field(char* dst, int width, const unsigned char* src, int avail) {
    int n = std::clamp(avail, 0, width);
    for (int i = 0; i < n && src[i] != '\0'; ++i) dst[i] = static_cast<char>(src[i]);
}

// ---- link events ---------------------------------------------------------------------------

int on_opened(int handle, QXX_conn_ctx* ctx) {
    if (ctx->probe && ctx->probe(handle, ctx->probe_tries) != 0) return -1;
    return 0;
}

// Probes an unidentified device on the first idle events; after that gives up and releases
// the waiter in QXX_wait_connected. On an identified link, idle ends any half-received frame.
int on_idle(int handle, QXX_conn_ctx* ctx) {
    if (ctx->identified) {
        ctx->rx.count = 0;
        return 0;
    }
    if (ctx->probe_tries < QXX_MAX_PROBES) {
        if (ctx->probe && ctx->probe(handle, ctx->probe_tries) != 0) return -1;
        ctx->probe_tries++;
        return 0;
    }
    comm_signal_connected(handle);
    return -1;
}

void call_handlers(int handle, QXX_conn_ctx* ctx, const unsigned char* frame) {
    const uint16_t code = static_cast<uint16_t>(qxx_frame_code(frame));
    const int n = std::min(ctx->num_hooks, QXX_MAX_HOOKS);
    for (int i = 0; i < n; ++i) {
        const QXX_hook& hook = ctx->hooks[i];
        if (hook.code == code && hook.handler != nullptr) {
            hook.handler(handle, ctx, frame, ctx->user);
            return;
        }
    }
    const QXX_hook& fallback = ctx->hooks[QXX_DEFAULT_HOOK];
    if (fallback.code == QXX_CODE_DEFAULT && fallback.handler != nullptr)
        fallback.handler(handle, ctx, frame, ctx->user);
}

// A complete, checked frame of `length` bytes: in the bytes just read, or in ctx->rx.buf when
// it came in pieces. Either way it is valid for this call only.
void on_frame(int handle, QXX_conn_ctx* ctx, const unsigned char* frame, int length) {
    const int code = qxx_frame_code(frame);
    if (QXX_broadcast_event(code, frame) == 0) return;
    if (!ctx->identified && ctx->test_probe != nullptr &&
        ctx->test_probe(handle, frame, &ctx->type_id, ctx->probe_tries) != 0) {
        ctx->identified = 1;
        if (ctx->on_connected) ctx->on_connected(handle, ctx, ctx->type_id, ctx->user);
        comm_signal_connected(handle);
    }
    call_handlers(handle, ctx, frame);
    // Every frame goes to the reply capture too, handled or not: a transaction may wait on it.
    comm_fill_rsp_buff(handle, code, frame, length);
}

int on_data(int handle, QXX_conn_ctx* ctx, const unsigned char* bytes, int count) {
    if (bytes == nullptr) return 0;
    for (int at = 0; at < count;) {
        int used = 0, length = 0;
        const unsigned char* frame = nullptr;
        const int complete = qxx_rx_next(&ctx->rx, bytes + at, count - at, &used, &frame, &length);
        at += used;
        if (!complete) continue;
        on_frame(handle, ctx, frame, length);
        ctx->rx.count = 0;
    }
    return 0;
}

}  // namespace

// ---- frames --------------------------------------------------------------------------------

int QXX_make_command(unsigned char* buffer, int code, const void* payload, int payload_len,
                     int param) {
    return qxx_build_frame(buffer, code, payload, payload_len, param, 0);
}

int QXX_test_response(int, const unsigned char* reply, int reply_len, const unsigned char* error,
                      int error_len, const unsigned char* status_frame, int status_len, void* dest,
                      int dest_size, int* payload_len, int* param, int* status, int* kind) {
    // The reply wins over the general error reply, which wins over the general status reply.
    const unsigned char* frame = nullptr;
    int frame_len = 0;
    int frame_kind = 0;
    if (reply_len != 0 && reply != nullptr) {
        frame = reply;
        frame_len = reply_len;
        frame_kind = 1;
    } else if (error_len != 0 && error != nullptr) {
        frame = error;
        frame_len = error_len;
        frame_kind = 2;
    } else if (status_len != 0 && status_frame != nullptr) {
        frame = status_frame;
        frame_len = status_len;
    }
    if (kind) *kind = frame_kind;
    if (frame == nullptr) return 255;

    const int frame_status = qxx_frame_status(frame);
    if (param) *param = qxx_frame_param(frame);
    if (status) *status = frame_status;
    if (frame_kind == 1 && frame_status == 0) {
        const int size = frame_len - QXX_FRAME_OVERHEAD;
        if (size > 0 && dest != nullptr && size <= dest_size) {
            std::memcpy(dest, frame + QXX_OFF_PAYLOAD, size);
            if (payload_len) *payload_len = size;
        }
    }
    return (frame_kind == 2 || frame_status != 0) ? 1 : 0;
}

// ---- receive parser and dispatch -----------------------------------------------------------

int QXX_event_proc(int handle, int kind, const unsigned char* bytes, int count, void* context) {
    auto* ctx = static_cast<QXX_conn_ctx*>(context);
    if (ctx == nullptr) return 0;
    switch (kind & 0xFF) {
        case COMM_EVENT_OPENED:
            return on_opened(handle, ctx);
        case COMM_EVENT_ERROR:
            if (ctx->on_conn_error) ctx->on_conn_error(handle, ctx, ctx->user);
            return 0;
        case COMM_EVENT_CLOSED:
            // The last event of the link: the context is released here and never seen again.
            if (ctx->on_disconnected) ctx->on_disconnected(handle, ctx, ctx->user);
            {
                std::lock_guard<std::mutex> guard(context_lock);
                delete ctx;
            }
            return 0;
        case COMM_EVENT_DATA:
            return on_data(handle, ctx, bytes, count);
        case COMM_EVENT_IDLE:
            return on_idle(handle, ctx);
        default:
            return 0;
    }
}

int QXX_hook_async_event(int handle, int code, QXX_event_handler handler) {
    std::lock_guard<std::mutex> guard(context_lock);
    QXX_conn_ctx* ctx = find_link(handle);
    if (ctx == nullptr) return 0;
    const uint16_t code16 = static_cast<uint16_t>(code);
    for (int i = 0; i < std::min(ctx->num_hooks, QXX_MAX_HOOKS); ++i) {
        if (ctx->hooks[i].code == code16 && ctx->hooks[i].handler == handler) return 0;
    }
    // The last entry doubles as the default handler's: 254 specific handlers and the default,
    // or 255 specific handlers.
    if (ctx->num_hooks >= QXX_MAX_HOOKS ||
        (ctx->num_hooks == QXX_DEFAULT_HOOK && ctx->hooks[QXX_DEFAULT_HOOK].code != 0))
        return -1;
    if (code16 == QXX_CODE_DEFAULT) {
        ctx->hooks[QXX_DEFAULT_HOOK] = QXX_hook{code16, handler};
    } else {
        ctx->hooks[ctx->num_hooks] = QXX_hook{code16, handler};
        ctx->num_hooks++;
    }
    return 0;
}

int QXX_broadcast_event(int code, const unsigned char* frame) {
    if (static_cast<uint16_t>(code) != QXX_CODE_ANNOUNCE || frame == nullptr) return 1;
    // Only the payload bytes the frame really holds are read; missing ones count as NUL.
    const unsigned char* payload = frame + QXX_OFF_PAYLOAD;
    const int avail = std::min(qxx_frame_payload_size(frame), QXX_ANNOUNCE_SIZE);
    QXX_net_device row{};
    copy_field(row.ident, sizeof row.ident, payload + ANNOUNCE_IDENT_OFF,
               avail - ANNOUNCE_IDENT_OFF);
    copy_field(row.address, sizeof row.address, payload + ANNOUNCE_ADDRESS_OFF,
               avail - ANNOUNCE_ADDRESS_OFF);
    copy_field(row.name, sizeof row.name, payload + ANNOUNCE_NAME_OFF, avail - ANNOUNCE_NAME_OFF);

    const int listed = std::clamp(message_list.count, 0, QXX_NET_DEVICES);
    for (int i = 0; i < listed; ++i) {
        if (std::memcmp(message_list.rows[i].ident, row.ident, sizeof row.ident) == 0) return 0;
    }
    // A full list keeps its first twenty devices.
    if (listed < QXX_NET_DEVICES) {
        message_list.rows[listed] = row;
        message_list.count = listed + 1;
    }
    return 0;
}

int QXX_broadcast_event_proc(const unsigned char* bytes, int count) {
    // Each datagram is parsed on its own with a context that lives for this call only: no
    // probe, no handlers, handle 0 (which reaches no capture).
    QXX_conn_ctx ctx{};
    return QXX_event_proc(0, COMM_EVENT_DATA, bytes, count, &ctx);
}

// ---- command transaction -------------------------------------------------------------------

namespace {

// What this thread's last transaction made of the answer it waited for: its status byte (-1 when
// none was captured) and its kind (1 reply, 2 general error reply, 0 status reply or nothing).
thread_local int last_status = -1;
thread_local int last_kind = 0;

// The transaction itself, for a request of a valid size in one or two pieces.
int transaction(int handle, int code, const void* head, int head_size, const void* body,
                int body_size, void* reply, int reply_size, int* reply_len, int* param, int* status,
                int timeout_ms, int wait) {
    int attempts = 1;
    {
        std::lock_guard<std::mutex> guard(context_lock);
        if (const QXX_conn_ctx* ctx = find_link(handle))
            attempts = std::max(ctx->num_try.load(), 1);
    }

    std::array<unsigned char, QXX_TX_BUFFER_SIZE> frame;
    std::array<unsigned char, REPLY_CAPTURE_SIZE> reply_cap;
    std::array<unsigned char, GENERAL_CAPTURE_SIZE> error_cap;
    std::array<unsigned char, GENERAL_CAPTURE_SIZE> status_cap;
    const int frame_len =
        qxx_build_command(frame.data(), code, head, head_size, body, body_size, timeout_ms);
    const int reply_code = static_cast<uint16_t>(code + QXX_REPLY_OFFSET);

    int done = wait ? 0 : 1;
    int result = 0;
    last_status = -1;
    last_kind = 0;
    for (int made = 0; made < attempts; ++made) {
        // Armed before the write so no answer is missed, and armed afresh for every repeat so
        // that the status reply of the previous attempt is not taken for this one's answer.
        if (wait) {
            comm_hook_response(handle, reply_code, reply_cap.data(), REPLY_CAPTURE_SIZE,
                               QXX_CODE_ERROR, error_cap.data(), GENERAL_CAPTURE_SIZE,
                               QXX_CODE_STATUS, status_cap.data(), GENERAL_CAPTURE_SIZE);
        }
        result = comm_write(handle, frame.data(), frame_len, 0, timeout_ms);
        if (result == 0 && wait) {
            int got_reply = 0, got_error = 0, got_status = 0;
            comm_wait_response(handle, &got_reply, &got_error, &got_status, timeout_ms);
            int answer_status = -1;
            result = QXX_test_response(handle, reply_cap.data(), got_reply, error_cap.data(),
                                       got_error, status_cap.data(), got_status, reply, reply_size,
                                       reply_len, param, &answer_status, &done);
            if (answer_status >= 0 && status) *status = answer_status;
            last_status = answer_status;
            last_kind = done;
        }
        if (result != 0 || done != 0) break;
    }
    if (wait) comm_unhook_response(handle);
    return result;
}

}  // namespace

int QXX_send_cmd(int handle, int code, const void* request, int request_size, void* reply,
                 int reply_size, int* reply_len, int* param, int* status, int timeout_ms,
                 int wait) {
    const int inbuff_size = request_size;
#include "qxx_size_assert.inc"
    return transaction(handle, code, request, request_size, nullptr, 0, reply, reply_size,
                       reply_len, param, status, timeout_ms, wait);
}

int QXX_send_cmd_parts(int handle, int code, const void* head, int head_size, const void* body,
                       int body_size, void* reply, int reply_size, int* reply_len, int* param,
                       int* status, int timeout_ms, int wait) {
    const int inbuff_size = head_size < 0 || body_size < 0 ? -1 : head_size + body_size;
    assert(inbuff_size >= 0 && inbuff_size < (UINT16_MAX - 1) &&
           "Invalid data size for QXX frame!");
    return transaction(handle, code, head, head_size, body, body_size, reply, reply_size, reply_len,
                       param, status, timeout_ms, wait);
}

void QXX_last_answer(int* status, int* kind) {
    if (status) *status = last_status;
    if (kind) *kind = last_kind;
}

void QXX_set_cmd_num_try(int handle, int count) {
    std::lock_guard<std::mutex> guard(context_lock);
    if (QXX_conn_ctx* ctx = find_link(handle)) ctx->num_try.store(count);
}

int QXX_get_conn_state_id(int handle) {
    return comm_get_state(handle);
}

int QXX_idle_wait(int handle, int code, int arg) {
    QXX_wait_callback callback = wait_callback.load();
    return callback ? callback(handle, static_cast<uint16_t>(code), arg) : 0;
}

// ---- connection management -----------------------------------------------------------------

int QXX_init(QXX_wait_callback wait_cb, comm_usb_callback list_changed, void* arg) {
    if (comm_init() != 0) return -1;
    wait_callback.store(wait_cb);
    return comm_usb_register(list_changed, arg);
}

int QXX_shut(void) {
    comm_usb_deregister();
    comm_shut();
    wait_callback.store(nullptr);
    return 0;
}

int QXX_connect(const char* conn_string, int* handle, QXX_connected_proc on_connected,
                QXX_conn_error_proc on_conn_error, QXX_disconnected_proc on_disconnected,
                QXX_probe_proc probe, QXX_test_probe_proc test_probe, int user) {
    if (conn_string == nullptr || conn_string[0] == '\0') return -1;
    auto* ctx = new (std::nothrow) QXX_conn_ctx();
    if (ctx == nullptr) return -1;
    ctx->user = user;
    ctx->probe = probe;
    ctx->test_probe = test_probe;
    ctx->on_connected = on_connected;
    ctx->on_conn_error = on_conn_error;
    ctx->on_disconnected = on_disconnected;
    ctx->num_try.store(1);

    int local_handle = 0;
    if (comm_connect(handle ? handle : &local_handle, conn_string, QXX_event_proc, LINK_RX_CHUNK,
                     LINK_IDLE_MS, ctx) != 0) {
        delete ctx;
        return -1;
    }
    // From here the context belongs to the link; its CLOSED event releases it.
    return 0;
}

int QXX_wait_connected(int handle, int ms) {
    return comm_wait_connected(handle, ms);
}

int QXX_disconnect(int handle) {
    return comm_disconnect(handle);
}

int QXX_list_usb_devices(comm_dev_entry* list, int max, int* count) {
    int local_count = 0;
    int* n = count ? count : &local_count;
    const int result =
        comm_list_devices_usb(0, list, max, n, "", "", QXX_USB_VENDOR, QXX_USB_VENDOR,
                              QXX_USB_PRODUCT_FIRST, QXX_USB_PRODUCT_LAST);
    if (list == nullptr) return result;
    // The listing tags every entry alike; the first product id is the full-function device.
    const int entries = std::clamp(*n, 0, std::max(max, 0));
    for (int i = 0; i < entries; ++i) {
        char* entry = list[i];
        const size_t len = strnlen(entry, COMM_ENTRY_SIZE);
        if (len == COMM_ENTRY_SIZE) continue;  // no terminator: not an entry we can read
        const char* slash = std::strrchr(entry, '/');
        if (slash == nullptr) continue;
        if (std::strtoul(slash + 1, nullptr, 16) == QXX_USB_PRODUCT_FIRST)
            std::memcpy(entry, USB_TAG_FULL, USB_TAG_SIZE);
    }
    return result;
}

int QXX_make_usb_conn_string(char* out, const char* entry, int arg) {
    if (entry == nullptr) return -1;
    int product = 0;
    if (std::strncmp(entry, USB_TAG_FULL, USB_TAG_SIZE) == 0 ||
        std::strncmp(entry, USB_TAG_SERIAL, USB_TAG_SIZE) == 0) {
        product = QXX_USB_PRODUCT_FIRST;
    } else if (std::strncmp(entry, USB_TAG_UPDATE, USB_TAG_SIZE) == 0) {
        product = QXX_USB_PRODUCT_FIRST + 1;
    } else {
        return -1;
    }
    return comm_make_conn_string_usb(out, entry, arg, QXX_USB_VENDOR, product);
}

int QXX_make_serial_conn_string(char* out, int port) {
    return comm_make_conn_string_serial(out, static_cast<uint16_t>(port), SERIAL_BAUD,
                                        SERIAL_DATA_BITS, SERIAL_STOP_BITS, 0, 0);
}

int QXX_make_serial_path_conn_string(char* out, const char* path) {
    return comm_make_conn_string_serial_path(out, path, SERIAL_BAUD, SERIAL_DATA_BITS,
                                             SERIAL_STOP_BITS, 0, 0);
}

int QXX_make_net_conn_string(char* out, const char* host, int port) {
    return comm_make_conn_string_net(out, host, static_cast<uint16_t>(port), NET_CONNECT_MS);
}

int QXX_make_bt_conn_string(char* out, const char* address, const char* name) {
    return comm_make_conn_string_bt(out, address, name, BT_COD, BT_CHANNEL, BT_PIN, BT_TIMEOUT_MS);
}

int QXX_bt_is_available(void) {
    return comm_bt_is_available();
}

int QXX_comm_bt_discover(int first, int second) {
    return comm_bt_discover(first, BT_COD, second);
}

int QXX_comm_bt_discover_wait(comm_dev_entry* list, int* count) {
    return comm_bt_discover_wait(list, count);
}

int QXX_comm_bt_discover_cancel(void) {
    return comm_bt_discover_cancel();
}

// ---- network discovery ---------------------------------------------------------------------

int QXX_net_broadcast_register(QXX_broadcast_proc callback, void* arg) {
    message_list = QXX_message_list{};
    return comm_net_broadcast_register(callback, arg);
}

int QXX_send_broadcast_net_message(const char* address, int port) {
    std::array<unsigned char, QXX_FRAME_OVERHEAD> frame{};
    const int len =
        QXX_make_command(frame.data(), QXX_CODE_DISCOVER, nullptr, 0, QXX_DISCOVER_PARAM);
    return comm_net_broadcast_send(frame.data(), len, address, port);
}

int QXX_net_broadcast_deregister(void) {
    return comm_net_broadcast_deregister();
}

int QXX_net_broadcast_reset_list(void) {
    message_list = QXX_message_list{};
    return 0;
}

int QXX_broadcast_list(void* destination) {
    if (destination != nullptr) std::memcpy(destination, &message_list, sizeof message_list);
    return 0;
}
