// libcomm: transports, links, reply capture, device listing, discovery and the console log.
//
// The whole contract of the library is in this header. Every function returns 0 for success
// unless its comment says otherwise.
//
// Threads. comm_init starts one I/O thread. Every call of a link's event procedure and of the
// discovery callback happens on that thread, never two at once. All other functions may be
// called from any thread.
//
// Handles are positive integers counted from 1 and never reused within a run. 0 is never a link.
#pragma once

#include <cstddef>

// ---- link events ---------------------------------------------------------------------------

// Kinds passed to a link's event procedure.
enum {
    COMM_EVENT_OPENED = 1,  // the transport is open; bytes may be written now
    COMM_EVENT_ERROR = 2,   // the transport failed (open refused, read/write error); CLOSED follows
    COMM_EVENT_CLOSED = 3,  // the link is closed; the last event of the link
    COMM_EVENT_DATA = 5,    // bytes arrived, split however the transport split them
    COMM_EVENT_IDLE = 6,    // an idle period passed in which no byte arrived
};

// Link states answered by comm_get_state.
enum {
    COMM_STATE_NONE = 0,       // no such link, or it is closed
    COMM_STATE_OPEN = 1,       // transport open (or opening), not signalled connected
    COMM_STATE_CONNECTED = 2,  // comm_signal_connected was called and its event call returned 0
};

// The event procedure of a link. `bytes` is valid only during the call (DATA only, else null).
// Returning -1 marks the link failed: its state is then never COMM_STATE_CONNECTED.
typedef int (*comm_event_proc)(int handle, int kind, const unsigned char* bytes, int count,
                               void* context);

// Called (on the I/O thread) when the list of USB devices changes.
typedef int (*comm_usb_callback)(void* arg);

// Called (on the I/O thread) for every datagram received on the discovery socket.
// `bytes` is valid only during the call.
typedef int (*comm_broadcast_callback)(const unsigned char* bytes, int count);

// Device list entries (USB listing, Bluetooth inquiry) are NUL-terminated texts that serve
// directly as connection strings.
constexpr int COMM_ENTRY_SIZE = 128;
typedef char comm_dev_entry[COMM_ENTRY_SIZE];

// Size of a connection string buffer and of a display text from comm_get_devid_string.
constexpr int COMM_CONN_STRING_SIZE = 128;
constexpr int COMM_DEVID_SIZE = 256;

// ---- library lifetime ----------------------------------------------------------------------

int comm_init(void);  // starts the I/O thread; non-zero on failure
int comm_usb_register(comm_usb_callback callback, void* arg);
int comm_usb_deregister(void);
// What the operator is to do when the system will not let the program use a USB device (no
// permission to open it; on Windows, no WinUSB driver bound to it): the program's own advice,
// printed after the library's line that names the device. Null or "": none. The text is kept,
// not copied.
int comm_usb_set_access_advice(const char* text);
int comm_shut(void);  // closes every link (each gets CLOSED), stops and joins the I/O thread

// ---- links ---------------------------------------------------------------------------------

// Parses the connection string at once: a malformed or unknown one returns -1 with no event.
// Otherwise stores the new handle in *handle, returns 0, and the I/O thread opens the
// transport: OPENED on success, ERROR then CLOSED on failure. `rx_size` is the read chunk,
// `idle_ms` the idle period after which IDLE is raised.
int comm_connect(int* handle, const char* conn_string, comm_event_proc proc, int rx_size,
                 int idle_ms, void* context);

// Waits until comm_signal_connected's event call has returned (0), or the time limit passes,
// or the link failed or closed (non-zero).
int comm_wait_connected(int handle, int ms);
int comm_signal_connected(int handle);
int comm_get_state(int handle);

// Closes the link. From any thread but the I/O thread it returns only after the link's CLOSED
// event was delivered. Non-zero for an unknown or already closed handle.
int comm_disconnect(int handle);

// Walks the open links: comm_get_data yields one link (returns 1) per call, 0 at the end.
struct comm_data_cntr {
    int next_handle;
};
int comm_data_cntr_init(comm_data_cntr* iter);
int comm_get_data(comm_data_cntr* iter, int* handle, void** context);

// Writes every byte to the transport. `ms` bounds the time without progress. Non-zero on an
// unknown or closed link, a transport error or a stall. Callable from any thread.
int comm_write(int handle, const void* data, int length, int flags, int ms);

// ---- reply capture -------------------------------------------------------------------------

// Arms three capture slots (code, buffer, size) on the link; the buffers must stay valid until
// comm_unhook_response.
int comm_hook_response(int handle, int code1, void* buf1, int size1, int code2, void* buf2,
                       int size2, int code3, void* buf3, int size3);
// Offered every complete frame by the receiver: copies it into the armed, still empty slot of
// its code if it fits, and wakes the waiter.
int comm_fill_rsp_buff(int handle, int code, const void* frame, int length);
// Returns as soon as any slot holds a frame, or at the time limit (non-zero), writing each
// slot's captured length (0 for none) through the non-null pointers.
int comm_wait_response(int handle, int* len1, int* len2, int* len3, int ms);
int comm_unhook_response(int handle);

// ---- connection strings (out buffer of COMM_CONN_STRING_SIZE first) -------------------------

int comm_make_conn_string_usb(char* out, const char* device, int arg, int vendor_id,
                              int product_id);
int comm_make_conn_string_serial(char* out, int port, int baud, int data_bits, int stop_bits,
                                 int parity, int flow);
int comm_make_conn_string_serial_path(char* out, const char* path, int baud, int data_bits,
                                      int stop_bits, int parity, int flow);
int comm_make_conn_string_net(char* out, const char* host, int port, int connect_timeout_ms);
int comm_make_conn_string_bt(char* out, const char* address, const char* name, int cod, int channel,
                             const char* pin, int timeout_ms);

// ---- device listing and discovery ----------------------------------------------------------

int comm_list_devices_usb(int flags, comm_dev_entry* list, int max, int* count,
                          const char* manufacturer, const char* product, int vendor_lo,
                          int vendor_hi, int product_lo, int product_hi);
// Writes a readable display text of a list entry into `text` (COMM_DEVID_SIZE bytes).
int comm_get_devid_string(const char* entry, char* text);

int comm_bt_is_available(void);  // non-zero: a Bluetooth controller is present and up
int comm_bt_discover(int flags, int cod, int arg);
int comm_bt_discover_wait(comm_dev_entry* list, int* count);  // at most 32 entries
int comm_bt_discover_cancel(void);

int comm_net_broadcast_register(comm_broadcast_callback callback, void* arg);
int comm_net_broadcast_send(const void* frame, int length, const char* address, int port);
// Closes the discovery socket; does not return while the callback runs.
int comm_net_broadcast_deregister(void);

// ---- console log ---------------------------------------------------------------------------
//
// log_write and log_append print to standard output, log_error to standard error. One lock;
// every call is written whole and flushed at once. A category never registered prints nothing.

int log_addlevel(const char* category, int flags, int level, int reserved1, int reserved2,
                 const char* prefix);
int log_seterror(int flags, int level, int reserved1, int reserved2, const char* prefix);
int log_setlevel(const char* category, int level);
int log_write(const char* category, const char* format, ...) __attribute__((format(printf, 2, 3)));
int log_append(const char* category, const char* format, ...) __attribute__((format(printf, 2, 3)));
int log_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Redirects the log, for tests: every printed piece goes to `sink` (is_error 1 for log_error)
// instead of the standard streams. A null sink restores them.
typedef void (*log_sink_proc)(int is_error, const char* text, size_t length, void* user);
void log_set_sink(log_sink_proc sink, void* user);
// Forgets every category and the error level (tests start from a clean log).
void log_reset(void);
