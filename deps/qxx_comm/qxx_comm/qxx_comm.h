// The link layer: frames, the receive parser with device identification and event dispatch,
// the command transaction, connection management and network discovery.
//
// The console units call only these QXX_ functions; this unit calls only comm_ and log_
// functions of libcomm.
//
// Threads. QXX_event_proc, and through it the probes, the connection callbacks and the event
// handlers, runs on libcomm's I/O thread. QXX_send_cmd with wait runs on the console thread and
// blocks in the reply capture. Frames handed to handlers and probes are valid only during the
// call.
#pragma once

#include <atomic>
#include <cstdint>

#include "libcomm.h"
#include "qxx_frame.h"

// ---- procedures handed to the link -----------------------------------------------------------

// Sends one identification probe; non-zero means sending failed.
typedef int (*QXX_probe_proc)(int handle, int tries);
// Non-zero when the frame identifies the device; it then has written the type id.
typedef int (*QXX_test_probe_proc)(int handle, const unsigned char* frame, int* type_id, int tries);
typedef int (*QXX_connected_proc)(int handle, void* ctx, int type_id, int user);
typedef int (*QXX_conn_error_proc)(int handle, void* ctx, int user);
typedef int (*QXX_disconnected_proc)(int handle, void* ctx, int user);
// An asynchronous-event handler: the whole frame, payload at offset 12.
typedef int (*QXX_event_handler)(int handle, void* ctx, const unsigned char* frame, int user);
typedef int (*QXX_wait_callback)(int handle, uint16_t code, int arg);
typedef comm_broadcast_callback QXX_broadcast_proc;

// ---- link context ----------------------------------------------------------------------------

constexpr int QXX_MAX_HOOKS = 255;
constexpr int QXX_DEFAULT_HOOK = QXX_MAX_HOOKS - 1;  // index 254: the default handler's entry
constexpr int QXX_MAX_PROBES = 6;  // probes from idle events (one more is sent on open)

struct QXX_hook {
    uint16_t code;
    QXX_event_handler handler;
};

// One per open link: created zero-filled by QXX_connect, released by the link's CLOSED event.
struct QXX_conn_ctx {
    int identified;  // 0 until the test probe accepted a frame
    int user;        // caller's value, passed to every callback and handler
    QXX_rx rx;       // the frame being received
    int probe_tries;
    std::atomic<int> num_try;  // attempts per transaction; read by the console thread
    int type_id;
    QXX_probe_proc probe;
    QXX_test_probe_proc test_probe;
    QXX_connected_proc on_connected;
    QXX_conn_error_proc on_conn_error;
    QXX_disconnected_proc on_disconnected;
    int num_hooks;
    QXX_hook hooks[QXX_MAX_HOOKS];
};

// ---- network discovery list ------------------------------------------------------------------

constexpr int QXX_NET_DEVICES = 20;
constexpr int QXX_ANNOUNCE_SIZE = 66;

// One announcing device. Each field is a bounded copy padded with NULs: a field of full width
// has no terminator.
struct QXX_net_device {
    char ident[10];    // announcement bytes 0..9, also the key for duplicates
    char address[16];  // bytes 10..25
    char name[40];     // bytes 26..65
};
struct QXX_message_list {
    int count;
    QXX_net_device rows[QXX_NET_DEVICES];
};
static_assert(sizeof(QXX_net_device) == 66);
static_assert(sizeof(QXX_message_list) == 1324);

// ---- frames ----------------------------------------------------------------------------------

// Writes a command frame (status 0) into `buffer` and returns its length (payload + 13).
int QXX_make_command(unsigned char* buffer, int code, const void* payload, int payload_len,
                     int param);

// Evaluates what a transaction captured: reply, general error and general status frames with
// their captured lengths (0 = nothing). Returns 0 success, 1 failure, 255 nothing captured.
// Every out pointer may be null.
int QXX_test_response(int handle, const unsigned char* reply, int reply_len,
                      const unsigned char* error, int error_len, const unsigned char* status_frame,
                      int status_len, void* dest, int dest_size, int* payload_len, int* param,
                      int* status, int* kind);

// ---- receive parser and dispatch -------------------------------------------------------------

int QXX_event_proc(int handle, int kind, const unsigned char* bytes, int count, void* context);
int QXX_hook_async_event(int handle, int code, QXX_event_handler handler);
int QXX_broadcast_event(int code, const unsigned char* frame);
int QXX_broadcast_event_proc(const unsigned char* bytes, int count);

// ---- command transaction ---------------------------------------------------------------------

// Result: 0 success, 1 the device refused, 255 no answer in time, else comm_write's result.
int QXX_send_cmd(int handle, int code, const void* request, int request_size, void* reply,
                 int reply_size, int* reply_len, int* param, int* status, int timeout_ms, int wait);
// QXX_send_cmd with the request in two pieces, `head` then `body`, joined on the wire: a large
// payload with a few bytes in front of it goes out without first being copied together.
int QXX_send_cmd_parts(int handle, int code, const void* head, int head_size, const void* body,
                       int body_size, void* reply, int reply_size, int* reply_len, int* param,
                       int* status, int timeout_ms, int wait);
// What the calling thread's last transaction made of the answer it waited for, for a caller that
// reports why a device refused: the answer's status byte (-1 when nothing was captured, or the
// request was only written) and its kind (1 the reply, 2 the general error reply, 0 a general
// status reply or nothing). Either pointer may be null.
void QXX_last_answer(int* status, int* kind);
void QXX_set_cmd_num_try(int handle, int count);
int QXX_get_conn_state_id(int handle);
int QXX_idle_wait(int handle, int code, int arg);

// ---- connection management -------------------------------------------------------------------

int QXX_init(QXX_wait_callback wait_callback, comm_usb_callback list_changed, void* arg);
int QXX_shut(void);
int QXX_connect(const char* conn_string, int* handle, QXX_connected_proc on_connected,
                QXX_conn_error_proc on_conn_error, QXX_disconnected_proc on_disconnected,
                QXX_probe_proc probe, QXX_test_probe_proc test_probe, int user);
int QXX_wait_connected(int handle, int ms);
int QXX_disconnect(int handle);

constexpr int QXX_USB_VENDOR = 0x1781;
constexpr int QXX_USB_PRODUCT_FIRST = 0x0C44;
constexpr int QXX_USB_PRODUCT_LAST = 0x0C4D;

int QXX_list_usb_devices(comm_dev_entry* list, int max, int* count);
int QXX_make_usb_conn_string(char* out, const char* entry, int arg);
int QXX_make_serial_conn_string(char* out, int port);
int QXX_make_serial_path_conn_string(char* out, const char* path);
int QXX_make_net_conn_string(char* out, const char* host, int port);
int QXX_make_bt_conn_string(char* out, const char* address, const char* name);
int QXX_bt_is_available(void);
int QXX_comm_bt_discover(int first, int second);
int QXX_comm_bt_discover_wait(comm_dev_entry* list, int* count);
int QXX_comm_bt_discover_cancel(void);

int QXX_net_broadcast_register(QXX_broadcast_proc callback, void* arg);
int QXX_send_broadcast_net_message(const char* address, int port);
int QXX_net_broadcast_deregister(void);
int QXX_net_broadcast_reset_list(void);
int QXX_broadcast_list(void* destination);  // copies all 1324 bytes of the list
