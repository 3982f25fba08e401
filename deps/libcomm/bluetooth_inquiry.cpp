// The Bluetooth inquiry on a thread of its own, for both systems: the system's search
// (comm_bt_search) runs there, and its entries wait for comm_bt_discover_wait.
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm_internal.h"

namespace {

// Never destroyed, so a program may end while an inquiry thread still runs.
struct inquiry_run {
    std::mutex control;  // one discover or wait at a time; never taken by cancel
    std::thread worker;  // under control
    std::mutex lock;     // the entries the worker leaves
    std::vector<std::string> entries;
    std::atomic<bool> cancelled{false};
};

inquiry_run& inquiry() {
    static inquiry_run& r = *new inquiry_run;
    return r;
}

void join_worker(inquiry_run& run) {
    if (run.worker.joinable()) run.worker.join();
}

}  // namespace

// The class given here is not used as a filter: every device that answers is listed, with its
// own class of device in its entry, so an instrument of an unexpected class is still found.
int comm_bt_discover(int, int, int) {
    inquiry_run& run = inquiry();
    std::lock_guard<std::mutex> control(run.control);
    join_worker(run);  // an earlier inquiry nobody waited for
    {
        std::lock_guard<std::mutex> guard(run.lock);
        run.entries.clear();
    }
    run.cancelled = false;
    const int radio = comm_bt_radio();
    if (radio < 0) return -1;
    run.worker = std::thread([radio] {
        inquiry_run& r = inquiry();
        std::vector<std::string> entries = comm_bt_search(radio, r.cancelled);
        std::lock_guard<std::mutex> guard(r.lock);
        r.entries = std::move(entries);
    });
    return 0;
}

int comm_bt_discover_wait(comm_dev_entry* list, int* count) {
    inquiry_run& run = inquiry();
    std::lock_guard<std::mutex> control(run.control);
    join_worker(run);
    std::lock_guard<std::mutex> guard(run.lock);
    int n = 0;
    for (const std::string& e : run.entries) {
        if (list == nullptr || n >= COMM_BT_MAX_ENTRIES) break;
        std::memcpy(list[n], e.c_str(), e.size() + 1);
        ++n;
    }
    if (count != nullptr) *count = n;
    return 0;
}

// Stops the inquiry early; the devices found so far are what comm_bt_discover_wait delivers.
int comm_bt_discover_cancel(void) {
    inquiry().cancelled = true;
    comm_bt_search_cancel();
    return 0;
}
