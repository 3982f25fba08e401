// USB through libusb-1.0: the device listing, display texts, bulk links and hot-plug.
//
// A link has a libusb context of its own, so the I/O thread polls exactly that link's libusb
// descriptors and handles its events without disturbing another link. It finds the device by
// location and ids, takes the first interface with a bulk IN and a bulk OUT endpoint (or the
// interface the string's argument names), detaches a kernel driver bound to it (and gives it
// back at close) and claims it. Two bulk IN transfers are kept in flight.
//
// Threads. A transfer's callback runs on whichever thread handles the context's events: the I/O
// thread, or a writer that has to drive them itself (a write from the I/O thread, or a writer
// whose transfer must come back after a cancel). Callbacks therefore only queue the transfer and
// wake the I/O thread; data is delivered from handle(), outside libusb's event handling, so an
// event procedure may write at once.
//
// Every libusb call goes through the table in usb_api.h.
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "comm_internal.h"
#include "usb_api.h"

namespace {

using usb_clock = std::chrono::steady_clock;

constexpr const char* ENTRY_TAG = "USBS";
constexpr int IN_TRANSFERS = 2;
constexpr int MAX_PORTS = 7;  // the deepest port path USB allows
// A cancelled transfer comes back within a few milliseconds; these bound the wait for it.
constexpr int DRAIN_ROUNDS = 50;
constexpr int DRAIN_SLICE_US = 100000;
constexpr int STRING_SIZE = 128;  // a string descriptor holds at most 126 characters

int real_init(libusb_context** ctx) {
#if LIBUSB_API_VERSION >= 0x0100010A
    return libusb_init_context(ctx, nullptr, 0);
#else
    return libusb_init(ctx);
#endif
}

// Older libusb declares the events and flags with their enum types.
int real_hotplug_register(libusb_context* ctx, int events, int flags, int vendor_id, int product_id,
                          int dev_class, libusb_hotplug_callback_fn fn, void* user_data,
                          libusb_hotplug_callback_handle* handle) {
    return libusb_hotplug_register_callback(ctx, static_cast<libusb_hotplug_event>(events),
                                            static_cast<libusb_hotplug_flag>(flags), vendor_id,
                                            product_id, dev_class, fn, user_data, handle);
}

const comm_usb_api REAL_API = {
    real_init,
    libusb_exit,
    libusb_get_device_list,
    libusb_free_device_list,
    libusb_get_device_descriptor,
    libusb_get_bus_number,
    libusb_get_port_numbers,
    libusb_get_active_config_descriptor,
    libusb_free_config_descriptor,
    libusb_open,
    libusb_close,
    libusb_get_string_descriptor_ascii,
    libusb_kernel_driver_active,
    libusb_detach_kernel_driver,
    libusb_attach_kernel_driver,
    libusb_claim_interface,
    libusb_release_interface,
    libusb_clear_halt,
    libusb_alloc_transfer,
    libusb_free_transfer,
    libusb_submit_transfer,
    libusb_cancel_transfer,
    libusb_get_pollfds,
    libusb_free_pollfds,
    libusb_get_next_timeout,
    libusb_handle_events_timeout_completed,
    libusb_has_capability,
    real_hotplug_register,
    libusb_hotplug_deregister_callback,
};

std::atomic<const comm_usb_api*> current_api{&REAL_API};

const comm_usb_api& usb() {
    return *current_api.load();
}

struct usb_errno {
    int code, err;
};
constexpr usb_errno USB_ERRNOS[] = {
    {LIBUSB_ERROR_IO, EIO},
    {LIBUSB_ERROR_INVALID_PARAM, EINVAL},
    {LIBUSB_ERROR_ACCESS, EACCES},
    {LIBUSB_ERROR_NO_DEVICE, ENODEV},
    {LIBUSB_ERROR_NOT_FOUND, ENOENT},
    {LIBUSB_ERROR_BUSY, EBUSY},
    {LIBUSB_ERROR_TIMEOUT, ETIMEDOUT},
    {LIBUSB_ERROR_OVERFLOW, EOVERFLOW},
    {LIBUSB_ERROR_PIPE, EPIPE},
    {LIBUSB_ERROR_INTERRUPTED, EINTR},
    {LIBUSB_ERROR_NO_MEM, ENOMEM},
    {LIBUSB_ERROR_NOT_SUPPORTED, ENOTSUP},
};

int errno_of(int code) {
    for (const usb_errno& e : USB_ERRNOS)
        if (e.code == code) return e.err;
    return EIO;
}

void signal_fd(int fd) {
    uint64_t one = 1;
    if (::write(fd, &one, sizeof one) < 0 && errno != EAGAIN) comm_trace("usb wake-up", errno);
}

void drain_fd(int fd) {
    uint64_t value;
    if (::read(fd, &value, sizeof value) < 0 && errno != EAGAIN) comm_trace("usb wake-up", errno);
}

timeval timeval_of_ms(long ms) {
    timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return tv;
}

// Lowers the I/O thread's poll time-out to libusb's next deadline, when it has one.
void lower_timeout(libusb_context* ctx, int* timeout_ms) {
    timeval tv{};
    if (usb().get_next_timeout(ctx, &tv) != 1) return;
    long long ms = static_cast<long long>(tv.tv_sec) * 1000 + (tv.tv_usec + 999) / 1000;
    int limit = ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
    if (*timeout_ms < 0 || limit < *timeout_ms) *timeout_ms = limit;
}

// Appends libusb's descriptors to `fds` after the first `n`; returns the new count.
int add_pollfds(libusb_context* ctx, pollfd* fds, int n, int max) {
    const libusb_pollfd** list = usb().get_pollfds(ctx);
    for (int i = 0; list != nullptr && list[i] != nullptr && n < max; ++i)
        fds[n++] = {list[i]->fd, list[i]->events, 0};
    if (list != nullptr) usb().free_pollfds(list);
    return n;
}

// ---- one context and its device list, for the length of a call -------------------------------

struct usb_session {
    libusb_context* ctx = nullptr;
    int error = 0;
    usb_session() {
        error = usb().init(&ctx);
        if (error != 0) ctx = nullptr;
    }
    ~usb_session() {
        if (ctx != nullptr) usb().exit(ctx);
    }
    usb_session(const usb_session&) = delete;
    usb_session& operator=(const usb_session&) = delete;
};

struct device_list {
    libusb_device** devices = nullptr;
    ssize_t count = 0;
    explicit device_list(libusb_context* ctx) {
        count = usb().get_device_list(ctx, &devices);
        if (count < 0) devices = nullptr;
    }
    ~device_list() {
        if (devices != nullptr) usb().free_device_list(devices, 1);
    }
    device_list(const device_list&) = delete;
    device_list& operator=(const device_list&) = delete;
};

struct device_place {
    int bus = 0;
    std::vector<uint8_t> ports;
    char location[COMM_TEXT_SIZE] = "";
};

bool place_of(libusb_device* dev, device_place* out) {
    uint8_t ports[MAX_PORTS];
    int n = usb().get_port_numbers(dev, ports, MAX_PORTS);
    if (n < 0) n = 0;
    out->bus = usb().get_bus_number(dev);
    out->ports.assign(ports, ports + n);
    return comm_usb_location(out->bus, ports, n, out->location, sizeof out->location) == 0;
}

// The device at the entry's location with the entry's ids, or null.
libusb_device* find_device(const device_list& list, const comm_usb_params& p) {
    for (ssize_t i = 0; i < list.count; ++i) {
        libusb_device_descriptor desc{};
        device_place place;
        if (usb().get_device_descriptor(list.devices[i], &desc) != 0 ||
            desc.idVendor != p.vendor_id || desc.idProduct != p.product_id ||
            !place_of(list.devices[i], &place))
            continue;
        if (std::strcmp(place.location, p.location) == 0) return list.devices[i];
    }
    return nullptr;
}

// A string descriptor as printable text; empty when the device has none or refuses.
std::string string_of(libusb_device_handle* handle, uint8_t index) {
    if (index == 0) return "";
    unsigned char text[STRING_SIZE];
    int n = usb().get_string_descriptor_ascii(handle, index, text, sizeof text);
    if (n <= 0) return "";
    std::string out(reinterpret_cast<const char*>(text), static_cast<size_t>(std::min(n, 126)));
    for (char& ch : out)
        if (static_cast<unsigned char>(ch) < 0x20 || static_cast<unsigned char>(ch) >= 0x7f)
            ch = '?';
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

struct device_strings {
    std::string manufacturer, product, serial;
    bool read = false;  // the device could be opened
};

device_strings strings_of(libusb_device* dev, const libusb_device_descriptor& desc) {
    device_strings s;
    libusb_device_handle* handle = nullptr;
    int r = usb().open(dev, &handle);
    if (r != 0) {
        comm_trace("usb open for its names", errno_of(r));
        return s;
    }
    s.manufacturer = string_of(handle, desc.iManufacturer);
    s.product = string_of(handle, desc.iProduct);
    s.serial = string_of(handle, desc.iSerialNumber);
    s.read = true;
    usb().close(handle);
    return s;
}

// ---- a link ------------------------------------------------------------------------------

struct usb_link {
    comm_usb_params params;
    comm_link* link = nullptr;
    libusb_context* ctx = nullptr;
    libusb_device_handle* handle = nullptr;
    int interface_number = -1;
    unsigned char ep_in = 0;
    unsigned char ep_out = 0;
    int in_size = 0;  // bytes per IN transfer: whole packets, at most the link's read size
    bool claimed = false;
    bool reattach = false;  // a kernel driver was detached and gets the interface back
    bool failed = false;    // I/O thread: reported, nothing more is submitted
    int wake_fd = -1;       // eventfd: an IN transfer came back
    int write_fd = -1;      // eventfd: the OUT transfer came back

    std::vector<libusb_transfer*> in;
    std::vector<std::unique_ptr<unsigned char[]>> in_buffers;

    std::mutex lock;                        // the callbacks may run on a writer's thread
    std::deque<libusb_transfer*> returned;  // IN transfers back, in the order they came
    int outstanding = 0;                    // IN transfers submitted and not back yet

    // The one OUT transfer (writes are serialised by the link's write lock).
    libusb_transfer* out = nullptr;
    std::atomic<bool> out_done{true};
    bool out_lost = false;  // it did not come back from a cancel: writing is over
};

void LIBUSB_CALL in_returned(libusb_transfer* t) {
    auto s = static_cast<usb_link*>(t->user_data);
    {
        std::lock_guard<std::mutex> guard(s->lock);
        s->returned.push_back(t);
        --s->outstanding;
    }
    signal_fd(s->wake_fd);
}

void LIBUSB_CALL out_returned(libusb_transfer* t) {
    auto s = static_cast<usb_link*>(t->user_data);
    s->out_done = true;
    signal_fd(s->write_fd);
}

int submit_in(usb_link* s, libusb_transfer* t) {
    {
        std::lock_guard<std::mutex> guard(s->lock);
        ++s->outstanding;
    }
    int r = usb().submit_transfer(t);
    if (r != 0) {
        std::lock_guard<std::mutex> guard(s->lock);
        --s->outstanding;
    }
    return r;
}

int outstanding_of(usb_link* s) {
    std::lock_guard<std::mutex> guard(s->lock);
    return s->outstanding;
}

// Handles events until `done` holds or the rounds run out; false when it never held.
template <typename Pred>
bool drive_until(libusb_context* ctx, Pred done) {
    for (int round = 0; !done() && round < DRAIN_ROUNDS; ++round) {
        timeval tv{0, DRAIN_SLICE_US};
        usb().handle_events_timeout_completed(ctx, &tv, nullptr);
    }
    return done();
}

void fail(usb_link* s, const char* what, int code) {
    s->failed = true;
    comm_link_failed(s->link, what, errno_of(code));
}

// An open refused: the operator learns what to do where there is something to do.
void refuse(usb_link* s, const char* what, int code) {
    if (code == LIBUSB_ERROR_ACCESS) {
        comm_usb_refused(s->link, s->params, COMM_USB_NO_PERMISSION);
    } else if (code == LIBUSB_ERROR_BUSY) {
        comm_usb_refused(s->link, s->params, COMM_USB_IN_USE);
    } else if (code == LIBUSB_ERROR_NO_DEVICE || code == LIBUSB_ERROR_NOT_FOUND) {
        comm_usb_refused(s->link, s->params, COMM_USB_GONE);
    }
    fail(s, what, code);
}

constexpr auto usb_parse = comm_parse_into<usb_link, comm_usb_parse>;

// Picks the interface: the one the string names, or the first with bulk IN and bulk OUT.
int choose_interface(usb_link* s, libusb_device* dev) {
    libusb_config_descriptor* config = nullptr;
    int r = usb().get_active_config_descriptor(dev, &config);
    if (r != 0) return r;
    r = LIBUSB_ERROR_NOT_FOUND;
    for (int i = 0; i < config->bNumInterfaces && r != 0; ++i) {
        const libusb_interface& iface = config->interface[i];
        if (iface.num_altsetting < 1) continue;
        const libusb_interface_descriptor& alt = iface.altsetting[0];
        if (s->params.arg >= 0 && alt.bInterfaceNumber != s->params.arg) continue;
        unsigned char in = 0, out = 0;
        int packet = 0;
        for (int e = 0; e < alt.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& ep = alt.endpoint[e];
            if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK)
                continue;
            if ((ep.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN) {
                if (in == 0) {
                    in = ep.bEndpointAddress;
                    packet = ep.wMaxPacketSize & 0x7FF;
                }
            } else if (out == 0) {
                out = ep.bEndpointAddress;
            }
        }
        if (in == 0 || out == 0) continue;
        s->interface_number = alt.bInterfaceNumber;
        s->ep_in = in;
        s->ep_out = out;
        int rx = 0;
        comm_link_buffer(s->link, &rx);
        packet = std::max(packet, 8);
        s->in_size = std::max(packet, rx / packet * packet);
        r = 0;
    }
    usb().free_config_descriptor(config);
    return r;
}

int claim(usb_link* s) {
    int r = usb().kernel_driver_active(s->handle, s->interface_number);
    if (r == 1) {
        r = usb().detach_kernel_driver(s->handle, s->interface_number);
        if (r != 0 && r != LIBUSB_ERROR_NOT_FOUND) return r;
        s->reattach = r == 0;
    } else if (r < 0 && r != LIBUSB_ERROR_NOT_SUPPORTED) {
        comm_trace("usb kernel driver query", errno_of(r));
    }
    r = usb().claim_interface(s->handle, s->interface_number);
    if (r == 0) s->claimed = true;
    return r;
}

int start_reading(usb_link* s) {
    for (int i = 0; i < IN_TRANSFERS; ++i) {
        libusb_transfer* t = usb().alloc_transfer(0);
        if (t == nullptr) return LIBUSB_ERROR_NO_MEM;
        s->in.push_back(t);
        s->in_buffers.emplace_back(new unsigned char[static_cast<size_t>(s->in_size)]);
        libusb_fill_bulk_transfer(t, s->handle, s->ep_in, s->in_buffers.back().get(), s->in_size,
                                  in_returned, s, 0);
    }
    s->out = usb().alloc_transfer(0);
    if (s->out == nullptr) return LIBUSB_ERROR_NO_MEM;
    for (libusb_transfer* t : s->in) {
        int r = submit_in(s, t);
        if (r != 0) return r;
    }
    return 0;
}

void usb_open(void* state, comm_link* link) {
    auto s = static_cast<usb_link*>(state);
    s->link = link;
    s->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    s->write_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (s->wake_fd < 0 || s->write_fd < 0) {
        s->failed = true;
        comm_link_failed(link, "usb eventfd", errno);
        return;
    }
    int r = usb().init(&s->ctx);
    if (r != 0) {
        s->ctx = nullptr;
        fail(s, "usb init", r);
        return;
    }
    {
        device_list list(s->ctx);
        if (list.count < 0) {
            fail(s, "usb device list", static_cast<int>(list.count));
            return;
        }
        libusb_device* dev = find_device(list, s->params);
        if (dev == nullptr) {
            refuse(s, "usb: no such device", LIBUSB_ERROR_NO_DEVICE);
            return;
        }
        r = usb().open(dev, &s->handle);
        if (r != 0) {
            s->handle = nullptr;
            refuse(s, "usb open", r);
            return;
        }
        r = choose_interface(s, dev);
    }
    if (r != 0) {
        comm_trace_text("usb", "the device has no interface with bulk IN and OUT endpoints");
        fail(s, "usb interface", r);
        return;
    }
    r = claim(s);
    if (r != 0) {
        refuse(s, "usb claim interface", r);
        return;
    }
    r = start_reading(s);
    if (r != 0) {
        fail(s, "usb read submit", r);
        return;
    }
    comm_link_opened(link);
}

int usb_poll_fds(void* state, pollfd* fds, int max, int* timeout_ms) {
    auto s = static_cast<usb_link*>(state);
    if (s->handle == nullptr || s->failed || max < 1) return 0;
    fds[0] = {s->wake_fd, POLLIN, 0};
    int n = add_pollfds(s->ctx, fds, 1, max);
    lower_timeout(s->ctx, timeout_ms);
    return n;
}

// One IN transfer back: its bytes are delivered and it goes out again. False once the link
// failed.
bool take_back(usb_link* s, libusb_transfer* t) {
    switch (t->status) {
        case LIBUSB_TRANSFER_COMPLETED:
            if (t->actual_length > 0) comm_link_data(s->link, t->buffer, t->actual_length);
            break;
        case LIBUSB_TRANSFER_TIMED_OUT:
            break;
        case LIBUSB_TRANSFER_CANCELLED:
            return true;  // only while closing
        case LIBUSB_TRANSFER_STALL: {
            int r = usb().clear_halt(s->handle, s->ep_in);
            if (r != 0) {
                fail(s, "usb read: endpoint halted", r);
                return false;
            }
            break;
        }
        case LIBUSB_TRANSFER_NO_DEVICE:
            fail(s, "usb read: the device is gone", LIBUSB_ERROR_NO_DEVICE);
            return false;
        case LIBUSB_TRANSFER_OVERFLOW:
            fail(s, "usb read", LIBUSB_ERROR_OVERFLOW);
            return false;
        default:
            fail(s, "usb read", LIBUSB_ERROR_IO);
            return false;
    }
    int r = submit_in(s, t);
    if (r != 0) {
        fail(s, "usb read submit", r);
        return false;
    }
    return true;
}

void usb_handle(void* state, const pollfd*, int) {
    auto s = static_cast<usb_link*>(state);
    if (s->handle == nullptr || s->failed) return;
    drain_fd(s->wake_fd);
    timeval zero{0, 0};
    int r = usb().handle_events_timeout_completed(s->ctx, &zero, nullptr);
    if (r != 0 && r != LIBUSB_ERROR_INTERRUPTED && r != LIBUSB_ERROR_TIMEOUT)
        comm_trace("usb events", errno_of(r));
    for (;;) {
        libusb_transfer* t;
        {
            std::lock_guard<std::mutex> guard(s->lock);
            if (s->returned.empty()) return;
            t = s->returned.front();
            s->returned.pop_front();
        }
        if (!take_back(s, t)) return;
    }
}

enum class out_wait { back, timed_out, closing };

// Waits for the OUT transfer. On the I/O thread nobody else handles this link's events, so
// they are handled here; elsewhere the I/O thread handles them and the callback wakes us.
out_wait wait_out(usb_link* s, int ms) {
    const auto deadline = usb_clock::now() + std::chrono::milliseconds(ms > 0 ? ms : 0);
    while (!s->out_done) {
        auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - usb_clock::now()).count();
        if (left <= 0) return out_wait::timed_out;
        if (left > INT_MAX) left = INT_MAX;
        if (comm_on_io_thread()) {
            timeval tv = timeval_of_ms(left);
            usb().handle_events_timeout_completed(s->ctx, &tv, nullptr);
            continue;
        }
        pollfd p[2] = {{s->write_fd, POLLIN, 0}, {comm_link_cancel_fd(s->link), POLLIN, 0}};
        int r = ::poll(p, 2, static_cast<int>(left));
        if (r < 0 && errno != EINTR) {
            comm_trace("usb poll for write", errno);
            return out_wait::closing;
        }
        if (p[0].revents & POLLIN) drain_fd(s->write_fd);
        if ((p[1].revents & POLLIN) && !s->out_done) return out_wait::closing;
    }
    return out_wait::back;
}

int usb_write(void* state, const unsigned char* data, int length, int ms) {
    auto s = static_cast<usb_link*>(state);
    if (s->handle == nullptr || s->out == nullptr || s->out_lost) return -1;
    drain_fd(s->write_fd);
    // The buffer is only read for an OUT transfer, and the transfer is back before we return.
    // A frame whose length is a multiple of the packet size still ends in a short packet.
    libusb_fill_bulk_transfer(s->out, s->handle, s->ep_out, const_cast<unsigned char*>(data),
                              length, out_returned, s, 0);
    s->out->flags = LIBUSB_TRANSFER_ADD_ZERO_PACKET;
    s->out_done = false;
    int r = usb().submit_transfer(s->out);
    if (r != 0) {
        s->out_done = true;
        comm_trace("usb write submit", errno_of(r));
        return -1;
    }
    out_wait how = wait_out(s, ms);
    if (how != out_wait::back) {
        usb().cancel_transfer(s->out);
        if (!drive_until(s->ctx, [s] { return s->out_done.load(); })) {
            comm_trace_text("usb", "a cancelled write did not come back");
            s->out_lost = true;
            return -1;
        }
    }
    const libusb_transfer* t = s->out;
    switch (t->status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return t->actual_length;
        case LIBUSB_TRANSFER_CANCELLED:
        case LIBUSB_TRANSFER_TIMED_OUT:
            // What went out before the cancel is progress; none at all is a stall.
            return how == out_wait::closing ? -1 : t->actual_length;
        case LIBUSB_TRANSFER_STALL:
            usb().clear_halt(s->handle, s->ep_out);
            comm_trace("usb write: endpoint halted", EPIPE);
            return -1;
        default:
            comm_trace("usb write", t->status == LIBUSB_TRANSFER_NO_DEVICE ? ENODEV : EIO);
            return -1;
    }
}

void usb_close(void* state) {
    auto s = static_cast<usb_link*>(state);
    if (s->handle != nullptr) {
        for (libusb_transfer* t : s->in) usb().cancel_transfer(t);  // those back answer NOT_FOUND
        if (!s->out_done) usb().cancel_transfer(s->out);
        if (!drive_until(s->ctx, [s] { return outstanding_of(s) == 0 && s->out_done; }))
            comm_trace_text("usb", "transfers still pending at close");
        if (s->claimed) usb().release_interface(s->handle, s->interface_number);
        if (s->reattach) usb().attach_kernel_driver(s->handle, s->interface_number);
        usb().close(s->handle);
    }
    if (s->ctx != nullptr) usb().exit(s->ctx);
    // Closed and exited, the library holds none of the transfers any more.
    for (libusb_transfer* t : s->in) usb().free_transfer(t);
    if (s->out != nullptr) usb().free_transfer(s->out);
    if (s->wake_fd >= 0) ::close(s->wake_fd);
    if (s->write_fd >= 0) ::close(s->write_fd);
    delete s;
}

int usb_describe(const char* entry, char* text, int size) {
    comm_usb_params p;
    if (comm_usb_parse(entry, &p) != 1) return 0;
    device_strings names;
    usb_session session;
    if (session.ctx != nullptr) {
        device_list list(session.ctx);
        libusb_device_descriptor desc{};
        libusb_device* dev = find_device(list, p);
        if (dev != nullptr && usb().get_device_descriptor(dev, &desc) == 0)
            names = strings_of(dev, desc);
    }
    // Keep the names short enough that the location and ids always fit.
    names.product.resize(std::min<size_t>(names.product.size(), 64));
    names.serial.resize(std::min<size_t>(names.serial.size(), 64));
    comm_usb_display(p, names.product.c_str(), names.serial.c_str(), text, size);
    return 1;
}

// ---- hot-plug ------------------------------------------------------------------------------
//
// The device-list callback's endpoint (usb.cpp) with a libusb context of its own: libusb reports
// arrivals and removals while the I/O thread handles that context's events; the registered
// callback is then called once per round of changes, on the I/O thread, outside libusb's event
// handling.

struct hotplug_state {
    libusb_context* ctx = nullptr;
    libusb_hotplug_callback_handle handle = 0;
    comm_link* link = nullptr;
    int changes = 0;  // I/O thread: counted during event handling
};

int LIBUSB_CALL hotplug_changed(libusb_context*, libusb_device*, libusb_hotplug_event, void* user) {
    ++static_cast<hotplug_state*>(user)->changes;
    return 0;
}

void hotplug_open(void* state, comm_link* link) {
    static_cast<hotplug_state*>(state)->link = link;
    comm_link_opened(link);
}

int hotplug_poll_fds(void* state, pollfd* fds, int max, int* timeout_ms) {
    auto s = static_cast<hotplug_state*>(state);
    int n = add_pollfds(s->ctx, fds, 0, max);
    lower_timeout(s->ctx, timeout_ms);
    return n;
}

void hotplug_handle(void* state, const pollfd* fds, int count) {
    auto s = static_cast<hotplug_state*>(state);
    // Asked after every wait of the I/O thread: libusb is called only when one of its
    // descriptors is ready or its own deadline has come, not for every frame on another link.
    bool due = false;
    for (int i = 0; i < count && !due; ++i) due = fds[i].revents != 0;
    timeval next{};
    if (!due && usb().get_next_timeout(s->ctx, &next) == 1)
        due = next.tv_sec == 0 && next.tv_usec == 0;
    if (!due) return;
    timeval zero{0, 0};
    usb().handle_events_timeout_completed(s->ctx, &zero, nullptr);
    if (s->changes == 0) return;
    s->changes = 0;
    const unsigned char changed = 1;
    comm_link_data(s->link, &changed, 1);
}

int hotplug_write(void*, const unsigned char*, int, int) {
    return -1;
}

void hotplug_close(void* state) {
    auto s = static_cast<hotplug_state*>(state);
    usb().hotplug_deregister_callback(s->ctx, s->handle);
    usb().exit(s->ctx);
    delete s;
}

const comm_transport hotplug_transport = {
    "usb hot-plug", nullptr,       hotplug_open,  hotplug_poll_fds,
    hotplug_handle, hotplug_write, hotplug_close, nullptr,
};

// An entry found by the listing, with what it is sorted by.
struct listed {
    device_place place;
    int vendor, product;
};

bool text_matches(const char* wanted, const std::string& actual) {
    return wanted == nullptr || wanted[0] == '\0' || actual == wanted;
}

}  // namespace

const comm_transport comm_usb_transport = {
    "usb", usb_parse, usb_open, usb_poll_fds, usb_handle, usb_write, usb_close, usb_describe,
};

void comm_usb_set_api(const comm_usb_api* api) {
    current_api = api != nullptr ? api : &REAL_API;
}

int comm_list_devices_usb(int, comm_dev_entry* list, int max, int* count, const char* manufacturer,
                          const char* product, int vendor_lo, int vendor_hi, int product_lo,
                          int product_hi) {
    if (count != nullptr) *count = 0;
    if (max < 0 || (max > 0 && list == nullptr)) return -1;
    usb_session session;
    if (session.ctx == nullptr) {
        // No USB on this machine (no usbfs, say): there is simply nothing to list.
        comm_trace("usb init", errno_of(session.error));
        return 0;
    }
    device_list devices(session.ctx);
    if (devices.count < 0) {
        comm_trace("usb device list", errno_of(static_cast<int>(devices.count)));
        return -1;
    }
    std::vector<listed> found;
    for (ssize_t i = 0; i < devices.count; ++i) {
        libusb_device* dev = devices.devices[i];
        libusb_device_descriptor desc{};
        if (usb().get_device_descriptor(dev, &desc) != 0) continue;
        if (desc.idVendor < vendor_lo || desc.idVendor > vendor_hi || desc.idProduct < product_lo ||
            desc.idProduct > product_hi)
            continue;
        if (!text_matches(manufacturer, "") || !text_matches(product, "")) {
            device_strings names = strings_of(dev, desc);
            if (!text_matches(manufacturer, names.manufacturer) ||
                !text_matches(product, names.product))
                continue;
        }
        listed entry;
        if (!place_of(dev, &entry.place)) continue;
        entry.vendor = desc.idVendor;
        entry.product = desc.idProduct;
        found.push_back(entry);
    }
    // By bus, then port path: the same instruments list the same way every time.
    std::sort(found.begin(), found.end(), [](const listed& a, const listed& b) {
        if (a.place.bus != b.place.bus) return a.place.bus < b.place.bus;
        return a.place.ports < b.place.ports;
    });
    int n = 0;
    for (const listed& e : found) {
        if (n >= max) break;
        if (comm_format(list[n], COMM_ENTRY_SIZE, "%s:%s:%04x/%04x", ENTRY_TAG, e.place.location,
                        e.vendor, e.product) == 0)
            ++n;
    }
    if (count != nullptr) *count = n;
    return 0;
}

int comm_usb_register(comm_usb_callback callback, void* arg) {
    comm_usb_unwatch();  // a second registration replaces the first
    if (callback == nullptr) return 0;
    if (!usb().has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        comm_trace_text("usb", "no hot-plug notification on this platform");
        return 0;
    }
    auto s = new hotplug_state;
    int r = usb().init(&s->ctx);
    if (r != 0) {
        comm_trace("usb init for hot-plug", errno_of(r));  // no USB here: nothing will change
        delete s;
        return 0;
    }
    r = usb().hotplug_register_callback(
        s->ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, 0,
        LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
        hotplug_changed, s, &s->handle);
    if (r != 0) {
        comm_trace("usb hot-plug registration", errno_of(r));
        usb().exit(s->ctx);
        delete s;
        return -1;
    }
    return comm_usb_watch(&hotplug_transport, s, callback, arg);
}

int comm_usb_deregister(void) {
    comm_usb_unwatch();
    return 0;
}
