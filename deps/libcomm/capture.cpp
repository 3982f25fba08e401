// Reply capture: up to three armed slots per link. The I/O thread offers every complete frame,
// the thread that hooked waits on a condition variable, so a reply wakes its waiter at once.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "comm_internal.h"

int comm_capture_hook(comm_capture* c, const int codes[COMM_CAPTURE_SLOTS],
                      void* const buffers[COMM_CAPTURE_SLOTS],
                      const int sizes[COMM_CAPTURE_SLOTS]) {
    std::lock_guard<std::mutex> guard(c->lock);
    if (c->cancelled) return -1;
    for (int i = 0; i < COMM_CAPTURE_SLOTS; ++i) {
        comm_capture_slot& s = c->slots[i];
        // A slot without a buffer stays disarmed: nothing can ever be copied into it.
        bool usable = buffers[i] != nullptr && sizes[i] > 0;
        s.code = codes[i];
        s.buffer = usable ? static_cast<unsigned char*>(buffers[i]) : nullptr;
        s.size = usable ? sizes[i] : 0;
        s.length = 0;
    }
    c->armed = true;
    c->any_filled.store(false, std::memory_order_relaxed);
    return 0;
}

int comm_capture_offer(comm_capture* c, int code, const void* frame, int length) {
    if (frame == nullptr || length <= 0) return 1;
    std::lock_guard<std::mutex> guard(c->lock);
    if (!c->armed) return 1;
    for (comm_capture_slot& s : c->slots) {
        if (s.buffer == nullptr || s.code != code || s.length != 0 || length > s.size) continue;
        std::memcpy(s.buffer, frame, static_cast<size_t>(length));
        s.length = length;
        c->any_filled.store(true, std::memory_order_release);
        c->filled.notify_all();
        return 0;
    }
    return 1;
}

// On a fast link a reply comes within tens of microseconds of the request (a 48,000-byte
// block within about a hundred): looking for it that long, giving the processor away between
// looks, spares the waiter a wake-up from sleep, which costs as much again on a virtual machine.
// A slow link's waiter sleeps after this short while.
constexpr auto CAPTURE_SPIN = std::chrono::microseconds(300);

int comm_capture_wait(comm_capture* c, int lengths[COMM_CAPTURE_SLOTS], int ms) {
    auto spin_end = std::chrono::steady_clock::now() + CAPTURE_SPIN;
    while (!c->any_filled.load(std::memory_order_acquire) &&
           std::chrono::steady_clock::now() < spin_end)
        std::this_thread::yield();
    std::unique_lock<std::mutex> held(c->lock);
    auto any = [c] {
        return std::any_of(std::begin(c->slots), std::end(c->slots),
                           [](const comm_capture_slot& s) { return s.length > 0; });
    };
    c->filled.wait_for(held, std::chrono::milliseconds(std::max(ms, 0)),
                       [&] { return any() || !c->armed || c->cancelled; });
    for (int i = 0; i < COMM_CAPTURE_SLOTS; ++i) lengths[i] = c->armed ? c->slots[i].length : 0;
    return c->armed && any() ? 0 : -1;
}

void comm_capture_unhook(comm_capture* c) {
    std::lock_guard<std::mutex> guard(c->lock);
    c->armed = false;
    for (comm_capture_slot& s : c->slots) s = comm_capture_slot{};
    c->filled.notify_all();
}

bool comm_capture_cancel(comm_capture* c) {
    std::lock_guard<std::mutex> guard(c->lock);
    c->cancelled = true;
    c->filled.notify_all();
    return c->armed;
}

bool comm_capture_armed(comm_capture* c) {
    std::lock_guard<std::mutex> guard(c->lock);
    return c->armed;
}

// ---- the library's functions -----------------------------------------------------------------

int comm_hook_response(int handle, int code1, void* buf1, int size1, int code2, void* buf2,
                       int size2, int code3, void* buf3, int size3) {
    auto c = comm_find_capture(handle);
    if (!c) return -1;
    const int codes[] = {code1, code2, code3};
    void* const buffers[] = {buf1, buf2, buf3};
    const int sizes[] = {size1, size2, size3};
    return comm_capture_hook(c.get(), codes, buffers, sizes);
}

int comm_fill_rsp_buff(int handle, int code, const void* frame, int length) {
    // Handle 0 is the discovery parse: its frames belong to no link and reach no capture.
    auto c = comm_find_capture(handle);
    if (!c) return -1;
    return comm_capture_offer(c.get(), code, frame, length);
}

int comm_wait_response(int handle, int* len1, int* len2, int* len3, int ms) {
    int lengths[COMM_CAPTURE_SLOTS] = {0, 0, 0};
    int result = -1;
    if (auto c = comm_find_capture(handle)) result = comm_capture_wait(c.get(), lengths, ms);
    if (len1) *len1 = lengths[0];
    if (len2) *len2 = lengths[1];
    if (len3) *len3 = lengths[2];
    return result;
}

int comm_unhook_response(int handle) {
    auto c = comm_find_capture(handle);
    if (!c) return -1;
    comm_capture_unhook(c.get());
    comm_forget_capture(handle);
    return 0;
}
