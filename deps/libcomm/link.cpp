// The link core: handles, the one I/O thread and the delivery of every event.
//
// The I/O thread waits (poll) on a wake-up descriptor (comm_sys.h) and on the descriptors of every
// link and of the discovery endpoint. Other threads never touch a transport's descriptors except to
// write (under the link's write lock); they hand new links and close requests to the I/O thread and
// wake it. Events are delivered only on the I/O thread, one at a time, with no lock held, so an
// event procedure may call any function of the library.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "comm_internal.h"

using comm_clock = std::chrono::steady_clock;

namespace {

enum class phase : int { opening, open, closing, closed };
enum class ending { none, ended, failed };

constexpr int DEFAULT_RX_SIZE = 4096;
constexpr int MAX_RX_SIZE = 1 << 20;

}  // namespace

struct comm_link {
    int handle = 0;  // 0 for an internal endpoint
    const comm_transport* transport = nullptr;
    void* state = nullptr;  // the transport's record; null once closed (changed under write_lock)
    comm_event_proc proc = nullptr;
    void* context = nullptr;
    int idle_ms = 0;
    comm_fd cancel_fd = COMM_NO_FD;

    std::atomic<phase> stage{phase::opening};
    std::atomic<bool> close_requested{false};
    std::mutex write_lock;
    std::shared_ptr<comm_capture> capture = std::make_shared<comm_capture>();

    // I/O thread only.
    std::vector<unsigned char> rx;
    bool started = false;
    bool lingering = false;  // what a closed link left to finish (comm_link_linger)
    ending end = ending::none;
    std::string note;  // for the operator, printed after ERROR
    // Since the last byte arrived or the last event call returned, whichever came later: a link
    // is idle when it was quiet, not when an event procedure (its own or another link's) was
    // busy.
    comm_clock::time_point quiet_since;

    // Guarded by the core's lock.
    bool in_event = false;        // its event procedure runs now
    bool signal_pending = false;  // comm_signal_connected during that call
    bool signalled = false;
    bool failed = false;  // an event call returned -1: never connected again
    bool connected = false;
    bool closed = false;            // transport gone, handle unknown
    bool closed_delivered = false;  // its CLOSED call has returned

    ~comm_link() { comm_wake_close(cancel_fd); }
};

namespace {

struct Core {
    std::mutex life;  // serialises comm_init and comm_shut

    std::mutex lock;
    std::condition_variable changed;                  // a link was signalled, failed or closed
    std::map<int, std::shared_ptr<comm_link>> links;  // open handles, in handle order
    // Captures still hooked when their link closed: a reply that arrived just before the close
    // stays readable by its waiter until it unhooks.
    std::map<int, std::shared_ptr<comm_capture>> closed_captures;
    // Links out of `links` whose CLOSED is still being delivered: a disconnect asked for now
    // waits for that delivery instead of failing as if the handle were unknown.
    std::map<int, std::shared_ptr<comm_link>> closing;
    std::vector<std::shared_ptr<comm_link>> pending;  // not yet taken by the I/O thread
    // What the closes of this round left to finish (comm_link_linger). I/O thread only.
    std::vector<std::shared_ptr<comm_link>> lingerers;
    bool running = false;
    bool stopping = false;
    comm_fd wake_fd = COMM_NO_FD;
    std::thread io;
};

// Never destroyed: a program that ends without comm_shut must not abort in the destructor of a
// running std::thread.
Core& core() {
    static Core& c = *new Core;
    return c;
}

// Handles count on across comm_shut and comm_init: never reused within a run.
std::atomic<int> next_handle{1};

thread_local bool on_io_thread = false;

void wake(comm_fd fd) {
    if (fd != COMM_NO_FD) comm_wake_signal(fd);
}

// Calls the link's event procedure and applies its result and any comm_signal_connected made
// during the call.
int deliver(comm_link* l, int kind, const unsigned char* bytes, int count) {
    if (l->proc == nullptr) return 0;
    Core& c = core();
    {
        std::lock_guard<std::mutex> guard(c.lock);
        l->in_event = true;
        l->signal_pending = false;
    }
    int result = l->proc(l->handle, kind, bytes, count, l->context);
    std::lock_guard<std::mutex> guard(c.lock);
    l->in_event = false;
    if (result < 0) {
        l->failed = true;
        l->connected = false;
    }
    if (l->signal_pending) {
        l->signal_pending = false;
        l->signalled = true;
        l->connected = !l->failed;
    }
    c.changed.notify_all();
    return result;
}

// ERROR (after a failure), the transport's close, then CLOSED. Writers are woken first so a
// stalled write lets go of the write lock.
void finish(const std::shared_ptr<comm_link>& l) {
    Core& c = core();
    l->stage = phase::closing;
    comm_wake_signal(l->cancel_fd);
    if (l->end == ending::failed) {
        deliver(l.get(), COMM_EVENT_ERROR, nullptr, 0);
        if (!l->note.empty()) log_error("%s", l->note.c_str());
    }
    {
        std::lock_guard<std::mutex> guard(l->write_lock);
        if (l->state != nullptr) l->transport->close(l->state);
        l->state = nullptr;
        l->stage = phase::closed;
        // No writer can reach the transport any more (state is null under this lock): the
        // link holds no descriptor from here on, whoever still holds the record.
        comm_wake_close(l->cancel_fd);
        l->cancel_fd = COMM_NO_FD;
    }
    {
        std::lock_guard<std::mutex> guard(c.lock);
        if (l->handle > 0) c.links.erase(l->handle);
        if (l->handle > 0) c.closing[l->handle] = l;
        // Still reachable by a waiter that collects a reply which came just before the close.
        if (l->handle > 0) c.closed_captures[l->handle] = l->capture;
        l->closed = true;
        l->connected = false;
        c.changed.notify_all();
    }
    deliver(l.get(), COMM_EVENT_CLOSED, nullptr, 0);
    // The waiter of a transaction wakes only now: whatever it reports comes after the link's
    // CLOSED was handled, so the console already knows the device is gone. An unhooked capture
    // is forgotten before comm_disconnect returns, so the handle is gone for its caller.
    if (!comm_capture_cancel(l->capture.get()) && l->handle > 0) comm_forget_capture(l->handle);
    {
        std::lock_guard<std::mutex> guard(c.lock);
        l->closed_delivered = true;
        if (l->handle > 0) c.closing.erase(l->handle);
        c.changed.notify_all();
    }
}

// A write that failed because its link is going away returns once the link's CLOSED was
// delivered (bounded), so the caller sees the same picture as the event handlers. On the I/O
// thread the close is still to come: no waiting there.
void await_closed(const std::shared_ptr<comm_link>& l) {
    if (on_io_thread) return;
    Core& c = core();
    std::unique_lock<std::mutex> held(c.lock);
    c.changed.wait_for(held, std::chrono::milliseconds(1000), [&] { return l->closed_delivered; });
}

int ceil_ms(comm_clock::duration d) {
    if (d <= comm_clock::duration::zero()) return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// A link whose transport finished its close (comm_link_linger): only its end or, once the library
// stops, nothing else closes it.
bool ends_now(const comm_link& l, bool stop) {
    if (l.lingering) return l.end != ending::none;
    return stop || l.close_requested || l.end != ending::none;
}

// Bytes that came while event procedures ran are read before the link may count as idle: a link
// with bytes waiting is not quiet, however long it has been since its last DATA.
void read_waiting(comm_link* l) {
    pollfd fds[COMM_MAX_LINK_FDS];
    int timeout = -1;
    int n = l->transport->poll_fds(l->state, fds, COMM_MAX_LINK_FDS, &timeout);
    n = std::clamp(n, 0, COMM_MAX_LINK_FDS);
    for (int i = 0; i < n; ++i) fds[i].revents = 0;
    if (n > 0 && comm_poll(fds, static_cast<size_t>(n), 0) > 0)
        l->transport->handle(l->state, fds, n);
}

bool idle_due(const comm_link* l, comm_clock::time_point now) {
    return l->stage == phase::open && l->idle_ms > 0 && !l->close_requested &&
           l->end == ending::none && now - l->quiet_since >= std::chrono::milliseconds(l->idle_ms);
}

void io_loop(comm_fd wake_fd) {
    on_io_thread = true;
    Core& c = core();
    std::vector<std::shared_ptr<comm_link>> active;
    std::vector<pollfd> fds;
    std::vector<int> first, count;

    for (;;) {
        bool stop;
        {
            std::lock_guard<std::mutex> guard(c.lock);
            for (auto& l : c.pending) active.push_back(std::move(l));
            c.pending.clear();
            stop = c.stopping;
        }
        for (size_t i = 0; i < active.size(); ++i) {
            comm_link* l = active[i].get();
            if (l->started || stop || l->close_requested) continue;
            l->started = true;
            l->transport->open(l->state, l);
        }
        // Links that ended, failed or were asked to close; all of them when stopping. What their
        // closes leave to finish joins the loop, and keeps it running until it is done.
        for (size_t i = 0; i < active.size();) {
            if (ends_now(*active[i], stop)) {
                auto keep = active[i];
                active.erase(active.begin() + static_cast<long>(i));
                finish(keep);
            } else {
                ++i;
            }
        }
        for (auto& l : c.lingerers) active.push_back(std::move(l));
        c.lingerers.clear();
        if (stop && active.empty()) break;

        fds.assign(1, pollfd{wake_fd, POLLIN, 0});
        first.assign(active.size(), 0);
        count.assign(active.size(), 0);
        int timeout = -1;
        auto now = comm_clock::now();
        for (size_t i = 0; i < active.size(); ++i) {
            comm_link* l = active[i].get();
            first[i] = static_cast<int>(fds.size());
            fds.resize(fds.size() + COMM_MAX_LINK_FDS);
            int n = l->transport->poll_fds(l->state, &fds[first[i]], COMM_MAX_LINK_FDS, &timeout);
            n = std::clamp(n, 0, COMM_MAX_LINK_FDS);
            fds.resize(static_cast<size_t>(first[i] + n));
            count[i] = n;
            if (l->stage == phase::open && l->idle_ms > 0) {
                int left = ceil_ms(l->quiet_since + std::chrono::milliseconds(l->idle_ms) - now);
                if (timeout < 0 || left < timeout) timeout = left;
            }
        }
        for (auto& p : fds) p.revents = 0;
        if (comm_poll(fds.data(), fds.size(), timeout) < 0) continue;
        if (fds[0].revents & POLLIN) comm_wake_drain(wake_fd);
        for (size_t i = 0; i < active.size(); ++i) {
            comm_link* l = active[i].get();
            if (l->close_requested || l->end != ending::none) continue;
            l->transport->handle(l->state, count[i] ? &fds[first[i]] : nullptr, count[i]);
        }
        for (auto& lp : active) {
            comm_link* l = lp.get();
            if (!idle_due(l, comm_clock::now())) continue;
            read_waiting(l);
            if (!idle_due(l, comm_clock::now())) continue;
            deliver(l, COMM_EVENT_IDLE, nullptr, 0);
            l->quiet_since = comm_clock::now();
        }
    }
}

const comm_transport* const link_transports[] = {&comm_tcp_transport, &comm_serial_transport,
                                                 &comm_usb_transport, &comm_bt_transport};

std::shared_ptr<comm_link> find_link(int handle) {
    Core& c = core();
    std::lock_guard<std::mutex> guard(c.lock);
    auto it = c.links.find(handle);
    return it == c.links.end() ? nullptr : it->second;
}

std::shared_ptr<comm_link> new_link(const comm_transport* t, void* state, comm_event_proc proc,
                                    void* context, int rx_size, int idle_ms) {
    auto l = std::make_shared<comm_link>();
    l->cancel_fd = comm_wake_open();
    if (l->cancel_fd == COMM_NO_FD) return nullptr;
    l->transport = t;
    l->state = state;
    l->proc = proc;
    l->context = context;
    l->idle_ms = idle_ms > 0 ? idle_ms : 0;
    l->rx.resize(
        static_cast<size_t>(rx_size <= 0 ? DEFAULT_RX_SIZE : std::min(rx_size, MAX_RX_SIZE)));
    return l;
}

// Asks the I/O thread to close the link; off that thread, waits until CLOSED was delivered.
void request_close(const std::shared_ptr<comm_link>& l, std::unique_lock<std::mutex>& held) {
    Core& c = core();
    l->close_requested = true;
    wake(c.wake_fd);
    if (on_io_thread) return;
    c.changed.wait(held, [&] { return l->closed_delivered; });
}

}  // namespace

// ---- reports from transports -----------------------------------------------------------------

void comm_link_opened(comm_link* l) {
    if (l->stage != phase::opening || l->close_requested || l->end != ending::none) return;
    l->stage = phase::open;
    deliver(l, COMM_EVENT_OPENED, nullptr, 0);
    l->quiet_since = comm_clock::now();
}

void comm_link_data(comm_link* l, const unsigned char* bytes, int count) {
    if (l->stage != phase::open || l->close_requested || l->end != ending::none || count <= 0)
        return;
    deliver(l, COMM_EVENT_DATA, bytes, count);
    l->quiet_since = comm_clock::now();
}

void comm_link_ended(comm_link* l) {
    if (l->end == ending::none) l->end = ending::ended;
}

void comm_link_failed(comm_link* l, const char* what, int err) {
    comm_trace(what, err);
    if (l->end == ending::none) l->end = ending::failed;
}

void comm_link_note(comm_link* l, const char* text) {
    l->note = text;
}

bool comm_on_io_thread(void) {
    return on_io_thread;
}

bool comm_link_linger(const comm_transport* transport, void* state) {
    if (!on_io_thread) return false;
    auto l = new_link(transport, state, nullptr, nullptr, 1, 0);
    if (!l) return false;
    l->lingering = true;
    l->started = true;
    l->stage = phase::closing;
    transport->open(state, l.get());
    core().lingerers.push_back(std::move(l));
    return true;
}

unsigned char* comm_link_buffer(comm_link* l, int* size) {
    *size = static_cast<int>(l->rx.size());
    return l->rx.data();
}

comm_fd comm_link_cancel_fd(const comm_link* l) {
    return l->cancel_fd;
}

int comm_link_locked(comm_link* l, int (*fn)(void* state, void* arg), void* arg) {
    std::lock_guard<std::mutex> guard(l->write_lock);
    if (l->state == nullptr) return -1;
    return fn(l->state, arg);
}

void comm_trace(const char* what, int err) {
    char text[256];
    comm_trace_text(what, comm_error_text(err, text, sizeof text));
}

void comm_trace_text(const char* what, const char* detail) {
    // Read at every trace (they are rare), so a test can switch it.
    if (std::getenv("NV_COMM_DEBUG") != nullptr)
        std::fprintf(stderr, "libcomm: %s: %s\n", what, detail);
}

// ---- endpoints -------------------------------------------------------------------------------

std::shared_ptr<comm_link> comm_endpoint_start(const comm_transport* t, void* state,
                                               comm_event_proc proc, void* context, int rx_size) {
    auto l = new_link(t, state, proc, context, rx_size, 0);
    if (!l) return nullptr;
    Core& c = core();
    std::lock_guard<std::mutex> guard(c.lock);
    if (!c.running || c.stopping) return nullptr;
    c.pending.push_back(l);
    wake(c.wake_fd);
    return l;
}

void comm_endpoint_stop(const std::shared_ptr<comm_link>& endpoint) {
    if (!endpoint) return;
    std::unique_lock<std::mutex> held(core().lock);
    if (endpoint->closed_delivered) return;
    request_close(endpoint, held);
}

int comm_slot_start(comm_endpoint_slot& slot, const comm_transport* t, void* state,
                    comm_event_proc proc, void* context, int rx_size) {
    auto endpoint = comm_endpoint_start(t, state, proc, context, rx_size);
    if (!endpoint) {
        t->close(state);
        proc(0, COMM_EVENT_CLOSED, nullptr, 0, context);
        return -1;
    }
    std::shared_ptr<comm_link> replaced;
    {
        std::lock_guard<std::mutex> guard(slot.lock);
        replaced = std::move(slot.endpoint);
        slot.endpoint = endpoint;
    }
    comm_endpoint_stop(replaced);  // only when two threads started one at once
    return 0;
}

std::shared_ptr<comm_link> comm_slot_get(comm_endpoint_slot& slot) {
    std::lock_guard<std::mutex> guard(slot.lock);
    return slot.endpoint;
}

std::shared_ptr<comm_link> comm_slot_take(comm_endpoint_slot& slot) {
    std::lock_guard<std::mutex> guard(slot.lock);
    return std::move(slot.endpoint);
}

std::shared_ptr<comm_capture> comm_find_capture(int handle) {
    if (handle <= 0) return nullptr;
    if (auto l = find_link(handle)) return l->capture;
    std::lock_guard<std::mutex> guard(core().lock);
    auto it = core().closed_captures.find(handle);
    return it != core().closed_captures.end() ? it->second : nullptr;
}

void comm_forget_capture(int handle) {
    std::lock_guard<std::mutex> guard(core().lock);
    core().closed_captures.erase(handle);
}

// ---- library lifetime ------------------------------------------------------------------------

int comm_init(void) {
    Core& c = core();
    std::lock_guard<std::mutex> life(c.life);
    std::lock_guard<std::mutex> guard(c.lock);
    if (c.running) return 0;
    c.wake_fd = comm_wake_open();
    if (c.wake_fd == COMM_NO_FD) return -1;
    c.running = true;
    c.stopping = false;
    c.io = std::thread(io_loop, c.wake_fd);
    return 0;
}

int comm_shut(void) {
    if (on_io_thread) return -1;  // the thread cannot join itself
    Core& c = core();
    std::lock_guard<std::mutex> life(c.life);
    {
        std::lock_guard<std::mutex> guard(c.lock);
        if (!c.running) return 0;
        c.stopping = true;
        wake(c.wake_fd);
    }
    c.io.join();
    std::lock_guard<std::mutex> guard(c.lock);
    comm_wake_close(c.wake_fd);
    c.wake_fd = COMM_NO_FD;
    c.running = false;
    c.stopping = false;
    return 0;
}

// ---- links -----------------------------------------------------------------------------------

int comm_connect(int* handle, const char* conn_string, comm_event_proc proc, int rx_size,
                 int idle_ms, void* context) {
    if (handle == nullptr || conn_string == nullptr) return -1;
    const comm_transport* t = nullptr;
    void* state = nullptr;
    for (const comm_transport* candidate : link_transports) {
        int r = candidate->parse(conn_string, &state);
        if (r < 0) return -1;
        if (r > 0) {
            t = candidate;
            break;
        }
    }
    if (t == nullptr) return -1;
    auto l = new_link(t, state, proc, context, rx_size, idle_ms);
    if (!l) {
        t->close(state);
        return -1;
    }
    Core& c = core();
    std::lock_guard<std::mutex> guard(c.lock);
    int h = next_handle.load();
    if (!c.running || c.stopping || h == INT_MAX) {
        l->state = nullptr;
        t->close(state);
        return -1;
    }
    next_handle = h + 1;
    l->handle = h;
    *handle = h;
    c.links.emplace(h, l);
    c.pending.push_back(l);
    wake(c.wake_fd);
    return 0;
}

int comm_signal_connected(int handle) {
    Core& c = core();
    std::lock_guard<std::mutex> guard(c.lock);
    auto it = c.links.find(handle);
    if (it == c.links.end()) return -1;
    comm_link* l = it->second.get();
    if (on_io_thread && l->in_event) {
        l->signal_pending = true;  // takes effect when the event call returns, with its result
        return 0;
    }
    l->signalled = true;
    l->connected = !l->failed;
    c.changed.notify_all();
    return 0;
}

int comm_wait_connected(int handle, int ms) {
    Core& c = core();
    std::unique_lock<std::mutex> held(c.lock);
    auto it = c.links.find(handle);
    if (it == c.links.end()) return -1;
    std::shared_ptr<comm_link> l = it->second;
    auto settled = [&] { return l->signalled || l->failed || l->closed; };
    // On the I/O thread nothing can change while it waits: answer at once.
    if (!on_io_thread)
        c.changed.wait_for(held, std::chrono::milliseconds(std::max(ms, 0)), settled);
    return l->signalled && !l->closed ? 0 : -1;
}

int comm_get_state(int handle) {
    Core& c = core();
    std::lock_guard<std::mutex> guard(c.lock);
    auto it = c.links.find(handle);
    if (it == c.links.end()) return COMM_STATE_NONE;
    return it->second->connected ? COMM_STATE_CONNECTED : COMM_STATE_OPEN;
}

int comm_disconnect(int handle) {
    Core& c = core();
    std::unique_lock<std::mutex> held(c.lock);
    auto it = c.links.find(handle);
    if (it == c.links.end()) {
        // Closing already (the peer went away): done once its CLOSED was delivered.
        auto closing = c.closing.find(handle);
        if (closing == c.closing.end()) return -1;
        std::shared_ptr<comm_link> l = closing->second;
        if (!on_io_thread) c.changed.wait(held, [&] { return l->closed_delivered; });
        return 0;
    }
    std::shared_ptr<comm_link> l = it->second;
    request_close(l, held);
    return 0;
}

int comm_data_cntr_init(comm_data_cntr* iter) {
    if (iter == nullptr) return -1;
    iter->next_handle = 1;
    return 0;
}

int comm_get_data(comm_data_cntr* iter, int* handle, void** context) {
    if (iter == nullptr) return 0;
    Core& c = core();
    std::lock_guard<std::mutex> guard(c.lock);
    auto it = c.links.lower_bound(std::max(iter->next_handle, 1));
    if (it == c.links.end()) return 0;
    if (handle) *handle = it->first;
    if (context) *context = it->second->context;
    iter->next_handle = it->first == INT_MAX ? INT_MAX : it->first + 1;
    return 1;
}

int comm_write(int handle, const void* data, int length, int, int ms) {
    if (length < 0 || (length > 0 && data == nullptr)) return -1;
    auto l = find_link(handle);
    if (!l) return -1;
    bool going = false;
    {
        std::lock_guard<std::mutex> guard(l->write_lock);
        if (l->stage == phase::opening) return -1;  // not open yet: nothing is going away
        going = l->stage != phase::open || l->state == nullptr;
        auto bytes = static_cast<const unsigned char*>(data);
        for (int done = 0; !going && done < length;) {
            int n = l->transport->write(l->state, bytes + done, length - done, ms);
            if (n == 0) {
                comm_trace_text(l->transport->name, "write made no progress in time");
                return -1;
            }
            if (n < 0) {  // the transport broke: its link is about to close
                going = true;
                break;
            }
            done += n;
        }
        if (!going) return 0;
    }
    await_closed(l);
    return -1;
}

// ---- device texts ----------------------------------------------------------------------------

int comm_get_devid_string(const char* entry, char* text) {
    if (entry == nullptr || text == nullptr) return -1;
    for (const comm_transport* t : link_transports)
        if (t->describe != nullptr && t->describe(entry, text, COMM_DEVID_SIZE) == 1) return 0;
    // Any other text is shown as it is, bounded, with control characters made visible.
    int n = 0;
    for (; entry[n] != '\0' && n < COMM_ENTRY_SIZE && n < COMM_DEVID_SIZE - 1; ++n) {
        auto ch = static_cast<unsigned char>(entry[n]);
        text[n] = ch < 0x20 || ch == 0x7f ? '?' : entry[n];
    }
    text[n] = '\0';
    return 0;
}
