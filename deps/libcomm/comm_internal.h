// Inside the communication library: the operations every transport provides, the calls by which
// a transport reports to the link core, the reply capture record, and the parsed forms of the
// connection strings. Nothing here is part of the library's contract (libcomm.h is); tests use
// it to reach the pieces that need no I/O.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <atomic>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "comm_sys.h"
#include "libcomm.h"

struct comm_link;  // one link, or the discovery endpoint; owned by the link core

// ---- transports ------------------------------------------------------------------------------
//
// One file per transport (tcp.cpp, serial_posix.cpp, usb.cpp, bluetooth.cpp, discovery.cpp), each
// defining one of these records. A transport keeps its own state record: parse creates it,
// close releases it.
//
// Threads: parse runs on the thread that calls comm_connect; write on any thread, always under
// the link's write lock and only between open and close; close on the I/O thread under the
// write lock (or on the connecting thread for a record that was never opened); every other
// operation on the I/O thread.
struct comm_transport {
    const char* name;  // for debug traces
    // 0 when the string is not of this transport's form, -1 when it is but is malformed, 1 when
    // it is accepted: *state then holds a new record. Null for the discovery endpoint.
    int (*parse)(const char* conn_string, void** state);
    // Starts opening. The outcome is reported with comm_link_opened or comm_link_failed, from
    // here or later from handle().
    void (*open)(void* state, comm_link* link);
    // The descriptors to wait on, at most `max` of them; may lower *timeout_ms (-1 = none) for a
    // deadline of its own (a connect time-out, a USB library's timer).
    int (*poll_fds)(void* state, pollfd* fds, int max, int* timeout_ms);
    // Called after every wait with the descriptors poll_fds gave and their revents, ready or not,
    // so a transport can also check its deadlines here. Reports data, end or failure.
    void (*handle)(void* state, const pollfd* fds, int count);
    // Writes some of the bytes: the number written (> 0), 0 when nothing could be written within
    // `ms`, -1 on an error or when the link is being closed.
    int (*write)(void* state, const unsigned char* data, int length, int ms);
    // Releases the transport and the state record.
    void (*close)(void* state);
    // Optional: a display text for a device list entry of this transport's form. 1 when the
    // entry is of its form (text written, NUL-terminated within `size`), else 0.
    int (*describe)(const char* entry, char* text, int size);
};

constexpr int COMM_MAX_LINK_FDS = 16;  // descriptors one transport may ask to poll

// A transport's parse when its record `State` keeps the string's parsed form in its `params`:
// `parse_string` (comm_serial_parse and the like) makes that form.
template <class State, auto parse_string>
int comm_parse_into(const char* conn_string, void** state) {
    decltype(State::params) p;
    int r = parse_string(conn_string, &p);
    if (r != 1) return r;
    auto s = new State;
    s->params = p;
    *state = s;
    return 1;
}

extern const comm_transport comm_tcp_transport;
extern const comm_transport comm_serial_transport;
extern const comm_transport comm_usb_transport;
extern const comm_transport comm_bt_transport;
extern const comm_transport comm_discovery_transport;

// A transport this build was made without (its library missing) still checks its strings, but
// every open fails on the I/O thread (ERROR, then CLOSED). Its parse makes a comm_absent record
// the state; absent.cpp holds the record's other operations, shared by every such transport.
struct comm_absent {
    const char* name;    // "usb": traced with the reason, and "usb open" with the failure
    const char* reason;  // "this build has no USB support"
};
void comm_absent_open(void* state, comm_link* link);
int comm_absent_poll_fds(void* state, pollfd* fds, int max, int* timeout_ms);
void comm_absent_handle(void* state, const pollfd* fds, int count);
int comm_absent_write(void* state, const unsigned char* data, int length, int ms);
void comm_absent_close(void* state);

// ---- reports from a transport (I/O thread only) -----------------------------------------------

void comm_link_opened(comm_link* link);                                       // raises OPENED
void comm_link_data(comm_link* link, const unsigned char* bytes, int count);  // raises DATA
void comm_link_ended(comm_link* link);  // the peer ended the stream: CLOSED follows
void comm_link_failed(comm_link* link, const char* what, int err);  // ERROR, then CLOSED
// What an operator can do about a failing open (which device, which group or rule): printed
// once through log_error right after the link's ERROR event, so it follows the console's own
// message. The last note given before the failure is kept.
void comm_link_note(comm_link* link, const char* text);
constexpr int COMM_NOTE_SIZE = 512;  // room for any note
// True on the library's I/O thread.
bool comm_on_io_thread(void);
// Called by a transport's close on the I/O thread, for what must outlive its link (a TCP socket
// whose last bytes the peer has yet to take): `transport` finishes it as the I/O loop waits on it
// like on any link, never holding that thread. Its open is called at once with a link record of
// its own, its poll_fds and handle run on every round until it reports comm_link_ended or
// comm_link_failed, then its close; comm_shut waits for that. The link it came from is closed
// already (its CLOSED delivered, its handle gone). False, with `state` still the caller's, off
// the I/O thread or when no record can be made: the caller then finishes at once.
bool comm_link_linger(const comm_transport* transport, void* state);

// The link's read buffer (the rx_size of comm_connect); bytes read into it may be passed to
// comm_link_data.
unsigned char* comm_link_buffer(comm_link* link, int* size);
// A wake-up descriptor (comm_sys.h) that becomes readable once the link starts closing: a writer
// waiting for room polls it too, so a close never waits for a stalled write's time limit.
comm_fd comm_link_cancel_fd(const comm_link* link);

// Reading and writing a descriptor, and the poll entry of a connecting socket: fd_io_posix.cpp on
// Linux, sys_win.cpp on Windows (where every comm_fd is a socket).
//
// One read of up to the buffer's size from a descriptor, reported as data, end or failure.
// Returns the count read, 0 when nothing was there, -1 when the link ended or failed.
int comm_fd_read(comm_link* link, comm_fd fd);
// The poll entry of a socket that connects without blocking (TCP, RFCOMM): writable while
// connecting, readable after, and the poll's time limit shortened to the connect deadline.
int comm_socket_poll_fd(comm_fd fd, bool connecting, std::chrono::steady_clock::time_point deadline,
                        pollfd* fds, int max, int* timeout_ms);
// Writes what the descriptor takes now, waiting up to `ms` for room (or the link's close).
// `socket` selects send() without SIGPIPE. Results as comm_transport::write.
int comm_fd_write(comm_link* link, comm_fd fd, const unsigned char* data, int length, int ms,
                  bool socket);

// Debug trace of a failed system call on standard error, with errno's text; printed only when
// the environment variable NV_COMM_DEBUG is set (never on the operator's console otherwise).
void comm_trace(const char* what, int err);
void comm_trace_text(const char* what, const char* detail);

// ---- internal endpoints ----------------------------------------------------------------------
//
// The discovery socket is driven by the I/O thread like a link but has no handle (its events
// carry handle 0), is never walked by comm_get_data and gets no IDLE events.

// Null when the I/O thread is not running (the state record is then still the caller's).
std::shared_ptr<comm_link> comm_endpoint_start(const comm_transport* transport, void* state,
                                               comm_event_proc proc, void* context, int rx_size);
// Closes the endpoint. Off the I/O thread it returns once its CLOSED event was delivered, so no
// call of its procedure runs any more; on the I/O thread it only asks for the close.
void comm_endpoint_stop(const std::shared_ptr<comm_link>& endpoint);
// An endpoint the library runs at most one of at a time (the discovery socket, the device-list
// callback's). The lock guards only the pointer and is never held while waiting for the I/O
// thread.
struct comm_endpoint_slot {
    std::mutex lock;
    std::shared_ptr<comm_link> endpoint;
};
// Starts an endpoint as comm_endpoint_start does and puts it in the slot, stopping the one it
// replaces. When it cannot be started, the transport's close releases `state` and `context` is
// given the CLOSED event it would have had as an endpoint; -1.
int comm_slot_start(comm_endpoint_slot& slot, const comm_transport* transport, void* state,
                    comm_event_proc proc, void* context, int rx_size);
std::shared_ptr<comm_link> comm_slot_get(comm_endpoint_slot& slot);
// Empties the slot; the caller stops what it held.
std::shared_ptr<comm_link> comm_slot_take(comm_endpoint_slot& slot);
// Calls fn(state, arg) under the link's write lock while its transport record exists; -1 when
// the link is already closed.
int comm_link_locked(comm_link* link, int (*fn)(void* state, void* arg), void* arg);

// ---- reply capture ---------------------------------------------------------------------------

constexpr int COMM_CAPTURE_SLOTS = 3;

struct comm_capture_slot {
    int code = 0;
    unsigned char* buffer = nullptr;  // the hooking caller's, valid until unhook
    int size = 0;
    int length = 0;  // bytes captured, 0 while empty
};

// One per link. The I/O thread fills, the waiting thread reads: everything under `lock`.
struct comm_capture {
    // Set with every captured frame (under `lock`), so a waiter can look without the lock.
    std::atomic<bool> any_filled{false};
    std::mutex lock;
    std::condition_variable filled;
    bool armed = false;
    bool cancelled = false;  // the link closed: no frame can come any more
    comm_capture_slot slots[COMM_CAPTURE_SLOTS];
};

int comm_capture_hook(comm_capture* c, const int codes[COMM_CAPTURE_SLOTS],
                      void* const buffers[COMM_CAPTURE_SLOTS], const int sizes[COMM_CAPTURE_SLOTS]);
// 0 when the frame was copied into a slot, 1 when no armed empty slot of its code could take it.
int comm_capture_offer(comm_capture* c, int code, const void* frame, int length);
// 0 as soon as a slot holds a frame; -1 at the time limit, when nothing is armed or when the
// link closed. `lengths` receives every slot's captured length (0 for none).
int comm_capture_wait(comm_capture* c, int lengths[COMM_CAPTURE_SLOTS], int ms);
void comm_capture_unhook(comm_capture* c);
// Marks the link closed and wakes the waiter; true when the capture was still hooked.
bool comm_capture_cancel(comm_capture* c);

// The capture record of an open link, or of a closed one whose capture is still hooked (its
// waiter may yet collect a reply that came just before the close); null otherwise.
std::shared_ptr<comm_capture> comm_find_capture(int handle);
// Drops a closed link's capture once its waiter unhooked.
void comm_forget_capture(int handle);

// ---- connection strings ----------------------------------------------------------------------
//
// Forms (produced by the comm_make_conn_string_* functions; query keys may come in any order
// and may be left out, taking the default shown):
//   tcp://HOST:PORT?timeout=1000              HOST a name, an IPv4 address or [IPv6]
//   serial:COM3?baud=115200&bits=8&parity=none&stop=1&flow=none
//   serial:/dev/ttyUSB0?baud=115200&...       any absolute path; the last '?' starts the query
//   bt:00:11:22:AA:BB:CC?channel=1&cod=ffe050&pin=1234&timeout=60000&name=NV%2D52
//   USBF:1-4.2:1781/0c44                      USB: 4-character tag, location, vendor, '/'
//   USBF:1-4.2:1781:0/0c44                    product id in hex; the made form adds the argument
// "USB" as the first three characters is reserved for USB.

constexpr int COMM_TEXT_SIZE = COMM_CONN_STRING_SIZE;

struct comm_net_params {
    char host[COMM_TEXT_SIZE];  // without the brackets of an IPv6 literal
    int port;
    int timeout_ms;
};
int comm_net_parse(const char* conn_string, comm_net_params* out);  // 1, 0 or -1 as parse

enum { COMM_PARITY_NONE = 0, COMM_PARITY_ODD = 1, COMM_PARITY_EVEN = 2 };
enum { COMM_FLOW_NONE = 0, COMM_FLOW_RTSCTS = 1, COMM_FLOW_XONXOFF = 2 };

struct comm_serial_params {
    int com_port;               // 1..255, or 0 when `path` names the device
    char path[COMM_TEXT_SIZE];  // empty for a COM port
    int baud;
    int data_bits;
    int stop_bits;
    int parity;
    int flow;
};
int comm_serial_parse(const char* conn_string, comm_serial_params* out);
// The device path of COM port `port` (1..255): the port-th of the serial devices present in
// `dir`, USB adapters first: ttyUSB*, then ttyACM*, then ttyS*, each family in numeric order.
// 0 with the path in `out`, -1 when there is no such device or it does not fit.
int comm_serial_com_path(const char* dir, int port, char* out, int size);
// Where COM ports are looked up (default "/dev"; null restores it). For tests.
void comm_serial_set_device_dir(const char* dir);
// What to tell an operator who may not open the serial device `path`: its group, and how to join
// it. 0, or -1 when it does not fit.
int comm_serial_permission_note(const char* path, char* out, int size);

struct comm_bt_params {
    char address[18];  // "00:11:22:AA:BB:CC"
    char name[COMM_TEXT_SIZE];
    int cod;
    int channel;
    char pin[17];
    int timeout_ms;
};
int comm_bt_parse(const char* conn_string, comm_bt_params* out);
// The display text of a Bluetooth entry (comm_transport::describe).
int comm_bt_describe(const char* entry, char* text, int size);
// The address "00:11:22:AA:BB:CC" as its six bytes, most significant first; false when malformed.
bool comm_bt_address_bytes(const char* address, uint8_t out[6]);
// The text "00:11:22:AA:BB:CC" of an address held least significant byte first, as both systems
// hold it.
void comm_bt_address_text(const uint8_t lsb_first[6], char out[18]);
// An inquiry's entry for one device (COMM_ENTRY_SIZE bytes at `out`), with its own class of
// device and its name, control characters shown as '?' and shortened at a character boundary
// until the entry fits. False when even without a name it does not.
constexpr int COMM_BT_ENTRY_CHANNEL = 1;
constexpr int COMM_BT_ENTRY_TIMEOUT_MS = 60000;
bool comm_bt_entry(const char* address, std::string name, int cod, char* out);
// The devices one inquiry found, as entries: each address once, at most 32.
constexpr int COMM_BT_MAX_ENTRIES = 32;
struct comm_bt_found {
    std::vector<std::string> entries;
    std::vector<std::string> seen;  // every address met, listed or not
    bool full() const { return static_cast<int>(entries.size()) >= COMM_BT_MAX_ENTRIES; }
    // True the first time an address is met (it is then remembered).
    bool first_time(const char* address);
    void add(const char* address, const std::string& name, int cod);
};
// The system's side of an inquiry (bluetooth_bluez.cpp, bluetooth_win.cpp), whose thread
// bluetooth.cpp runs: the radio to search with (-1 when there is none), the search itself (on the
// inquiry's thread, watching `cancelled`) with the entries of the devices it found, and the
// system's part of a cancel.
int comm_bt_radio(void);
std::vector<std::string> comm_bt_search(int radio, const std::atomic<bool>& cancelled);
void comm_bt_search_cancel(void);
// Why a connect was refused, and the note the operator gets for it (none for 0): what each kind
// means is the same everywhere, what to do about it is the system's.
enum {
    COMM_BT_NOT_ANSWERING = 1,
    COMM_BT_CHANNEL_REFUSED,
    COMM_BT_PAIRING_REFUSED,
    COMM_BT_NO_CONTROLLER,
    COMM_BT_NO_SUPPORT
};
struct comm_bt_advice {
    const char* pair;  // a printf format given the address, ", PIN " or "", and the PIN
    const char* no_controller;
    const char* no_support;
};
void comm_bt_refused(comm_link* link, const comm_bt_params& p, int kind,
                     const comm_bt_advice& advice);

struct comm_usb_params {
    char tag[5];                    // "USBF", "USBS", "USBU", ...
    char location[COMM_TEXT_SIZE];  // bus and port path
    int vendor_id;
    int arg;  // -1 in a list entry, which carries none
    int product_id;
};
int comm_usb_parse(const char* conn_string, comm_usb_params* out);
// A device's location "BUS-P1.P2..." from its bus and port numbers ("BUS" alone for none).
int comm_usb_location(int bus, const uint8_t* ports, int count, char* out, int size);
// The display text of a USB entry: bus (on Windows hub), port path and ids, then the product's
// name and serial number when known (null or empty when not).
#ifdef _WIN32
constexpr const char* COMM_USB_PLACE = "hub";
#else
constexpr const char* COMM_USB_PLACE = "bus";
#endif
int comm_usb_display(const comm_usb_params& p, const char* product, const char* serial, char* text,
                     int size);
// "bus 1 port 4.2 (1781:0c44)" for the operator's notes: the display text without "USB ".
std::string comm_usb_words(const comm_usb_params& p);
// The note for an open refused because the device is in use by another program, or is no longer
// where the entry says, or the system will not let this program use it (no permission to open
// it; no WinUSB driver bound to it), then followed by the program's advice
// (comm_usb_set_access_advice); other kinds give none.
enum { COMM_USB_IN_USE = 1, COMM_USB_GONE, COMM_USB_NO_PERMISSION, COMM_USB_NOT_BOUND };
void comm_usb_refused(comm_link* link, const comm_usb_params& p, int kind);
// Starts the device-list callback's endpoint with the transport's record `state` (released by
// the transport's close also on failure), replacing any earlier one: each DATA event the
// transport raises calls `callback` once, on the I/O thread. -1 when it cannot be started.
int comm_usb_watch(const comm_transport* transport, void* state, comm_usb_callback callback,
                   void* arg);
// Stops it, if any; off the I/O thread it returns once no call of the callback runs any more.
void comm_usb_unwatch(void);

// ---- small text helpers shared by the parsers --------------------------------------------------

// A whole decimal number in [lo, hi] (no sign, no blanks).
bool comm_parse_decimal(std::string_view text, long lo, long hi, long* value);
// A whole hexadecimal number of 1..max_digits digits, in [lo, hi].
bool comm_parse_hex(std::string_view text, int max_digits, long lo, long hi, long* value);

// Splits a connection string "PREFIX TARGET[?QUERY]" into its target and query (empty when
// there is none). The query starts at the first '?', or at the last where the target may hold
// one itself (a path). False when the text does not begin with `prefix`.
enum class comm_query_at { first, last };
bool comm_split_link(std::string_view text, std::string_view prefix, comm_query_at at,
                     std::string_view* target, std::string_view* query);

// "key=value&key=value": at most COMM_QUERY_MAX pairs, keys unique and non-empty.
constexpr int COMM_QUERY_MAX = 8;
struct comm_query {
    int count = 0;
    std::string_view key[COMM_QUERY_MAX];
    std::string_view value[COMM_QUERY_MAX];
};
bool comm_query_split(std::string_view text, comm_query* out);
// Every key of the query is one of `known` (a null-terminated list).
bool comm_query_only(const comm_query& query, const char* const* known);
// The value of `key`, or false when the query has none.
bool comm_query_find(const comm_query& query, std::string_view key, std::string_view* value);

// snprintf into a connection-string buffer: 0, or -1 (and an empty `out`) when it does not fit.
int comm_format(char* out, int size, const char* format, ...) __attribute__((format(printf, 3, 4)));
