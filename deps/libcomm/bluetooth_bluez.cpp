// Bluetooth through BlueZ: whether a controller is up, the inquiry, and RFCOMM links.
//
// An RFCOMM link is a non-blocking RFCOMM socket connected to the string's address and channel
// within the string's time-out (finished in handle(), like TCP); once connected it is a plain
// descriptor. A string with a PIN asks for an authenticated link, so the system pairs with the
// device if it has not yet. The PIN itself is the system's business (its Bluetooth agent): when
// the pairing or the channel is refused, the operator is told what to do.
//
// The inquiry (its thread is bluetooth.cpp's) lists every device that answers (at most 32, each
// once) with its own class of device and, where it tells it, its name.
//
// Every BlueZ and socket call goes through the table in bt_api.h.
#if NV_HAVE_BLUEZ

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bt_api.h"
#include "comm_internal.h"

namespace {

using bt_clock = std::chrono::steady_clock;

constexpr int MAX_RESPONSES = 255;  // the most a controller reports
constexpr int INQUIRY_LENGTH = 8;   // x 1.28 s
constexpr int NAME_TIMEOUT_MS = 3000;
constexpr int NAME_SIZE = 249;  // a device name is at most 248 bytes

int real_close_dev(int dd) {
    return hci_close_dev(dd);
}

const comm_bt_api REAL_API = {
    hci_get_route, hci_devinfo, hci_open_dev, real_close_dev, hci_inquiry,  hci_read_remote_name,
    hci_send_cmd,  ::socket,    ::connect,    ::getsockopt,   ::setsockopt,
};

std::atomic<const comm_bt_api*> current_api{&REAL_API};

const comm_bt_api& bt() {
    return *current_api.load();
}

// bdaddr_t holds the address least significant byte first.
bdaddr_t bdaddr_of(const char* address) {
    uint8_t bytes[6] = {};
    comm_bt_address_bytes(address, bytes);
    bdaddr_t a;
    for (int i = 0; i < 6; ++i) a.b[i] = bytes[5 - i];
    return a;
}

void address_text(const bdaddr_t& a, char out[18]) {
    std::snprintf(out, 18, "%02X:%02X:%02X:%02X:%02X:%02X", a.b[5], a.b[4], a.b[3], a.b[2], a.b[1],
                  a.b[0]);
}

// ---- RFCOMM links ------------------------------------------------------------------------

struct bt_link {
    comm_bt_params params;
    comm_link* link = nullptr;
    int fd = -1;
    bool connecting = false;
    bt_clock::time_point deadline;
};

struct refusal {
    int err;
    int kind;
};
constexpr refusal REFUSALS[] = {
    {EHOSTDOWN, COMM_BT_NOT_ANSWERING},     {EHOSTUNREACH, COMM_BT_NOT_ANSWERING},
    {ETIMEDOUT, COMM_BT_NOT_ANSWERING},     {ECONNREFUSED, COMM_BT_CHANNEL_REFUSED},
    {EACCES, COMM_BT_PAIRING_REFUSED},      {EPERM, COMM_BT_PAIRING_REFUSED},
    {EBADE, COMM_BT_PAIRING_REFUSED},       {EKEYREJECTED, COMM_BT_PAIRING_REFUSED},
    {EKEYEXPIRED, COMM_BT_PAIRING_REFUSED}, {EKEYREVOKED, COMM_BT_PAIRING_REFUSED},
    {ENETDOWN, COMM_BT_NO_CONTROLLER},      {ENODEV, COMM_BT_NO_CONTROLLER},
    {EADDRNOTAVAIL, COMM_BT_NO_CONTROLLER}, {EAFNOSUPPORT, COMM_BT_NO_SUPPORT},
    {EPROTONOSUPPORT, COMM_BT_NO_SUPPORT},
};
constexpr comm_bt_advice ADVICE = {
    "Pair it once with the system's Bluetooth tools (bluetoothctl: pair %s%s%s), then connect "
    "again.\n",
    "No Bluetooth controller is up on this computer (switched off, or blocked by rfkill).\n",
    "This system has no Bluetooth serial links (the kernel's RFCOMM support is missing).\n",
};

// A connect that failed: the operator learns what it means and what to do about it.
void refused(bt_link* s, const char* what, int err) {
    int kind = 0;
    for (const refusal& r : REFUSALS)
        if (r.err == err) kind = r.kind;
    comm_bt_refused(s->link, s->params, kind, ADVICE);
    comm_link_failed(s->link, what, err);
}

void close_fd(bt_link* s) {
    if (s->fd >= 0) ::close(s->fd);
    s->fd = -1;
    s->connecting = false;
}

int bt_parse(const char* conn_string, void** state) {
    comm_bt_params p;
    int r = comm_bt_parse(conn_string, &p);
    if (r != 1) return r;
    auto s = new bt_link;
    s->params = p;
    *state = s;
    return 1;
}

void bt_open(void* state, comm_link* link) {
    auto s = static_cast<bt_link*>(state);
    s->link = link;
    s->fd = bt().socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, BTPROTO_RFCOMM);
    if (s->fd < 0) {
        int err = errno;
        s->fd = -1;
        if (err == EAFNOSUPPORT || err == EPROTONOSUPPORT)
            refused(s, "bluetooth socket", err);
        else
            comm_link_failed(link, "bluetooth socket", err);
        return;
    }
    if (s->params.pin[0] != '\0') {
        bt_security security{};
        security.level = BT_SECURITY_MEDIUM;  // authenticated: pairs when there is no key yet
        if (bt().setsockopt(s->fd, SOL_BLUETOOTH, BT_SECURITY, &security, sizeof security) < 0)
            comm_trace("bluetooth security level", errno);
    }
    sockaddr_rc to{};
    to.rc_family = AF_BLUETOOTH;
    to.rc_bdaddr = bdaddr_of(s->params.address);
    to.rc_channel = static_cast<uint8_t>(s->params.channel);
    s->deadline = bt_clock::now() + std::chrono::milliseconds(s->params.timeout_ms);
    if (bt().connect(s->fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        comm_link_opened(link);
    } else if (errno == EINPROGRESS) {
        s->connecting = true;
    } else {
        int err = errno;
        close_fd(s);
        refused(s, "bluetooth connect", err);
    }
}

int bt_poll_fds(void* state, pollfd* fds, int max, int* timeout_ms) {
    auto s = static_cast<bt_link*>(state);
    return comm_socket_poll_fd(s->fd, s->connecting, s->deadline, fds, max, timeout_ms);
}

void bt_handle(void* state, const pollfd* fds, int count) {
    auto s = static_cast<bt_link*>(state);
    short ready = count > 0 ? fds[0].revents : 0;
    if (!s->connecting) {
        if (ready && s->fd >= 0) comm_fd_read(s->link, s->fd);
        return;
    }
    if (ready) {
        int err = 0;
        socklen_t len = sizeof err;
        if (bt().getsockopt(s->fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
        if (err == 0) {
            s->connecting = false;
            comm_link_opened(s->link);
            return;
        }
        close_fd(s);
        refused(s, "bluetooth connect", err);
    } else if (bt_clock::now() >= s->deadline) {
        close_fd(s);
        refused(s, "bluetooth connect time-out", ETIMEDOUT);
    }
}

int bt_write(void* state, const unsigned char* data, int length, int ms) {
    auto s = static_cast<bt_link*>(state);
    return comm_fd_write(s->link, s->fd, data, length, ms, true);
}

void bt_close(void* state) {
    auto s = static_cast<bt_link*>(state);
    close_fd(s);
    delete s;
}

// ---- inquiry -----------------------------------------------------------------------------

// The controller's descriptor while a search runs, for a cancel. Never destroyed, so a program
// may end while an inquiry thread still runs.
std::mutex& controller_lock() {
    static std::mutex& m = *new std::mutex;
    return m;
}
int controller_dd = -1;  // under controller_lock

}  // namespace

const comm_transport comm_bt_transport = {
    "bluetooth", bt_parse, bt_open, bt_poll_fds, bt_handle, bt_write, bt_close, comm_bt_describe,
};

void comm_bt_set_api(const comm_bt_api* api) {
    current_api = api != nullptr ? api : &REAL_API;
}

int comm_bt_is_available(void) {
    int dev_id = bt().get_route(nullptr);  // the first controller that is up
    if (dev_id < 0) return 0;
    hci_dev_info info{};
    if (bt().devinfo(dev_id, &info) < 0) return 0;
    return hci_test_bit(HCI_UP, &info.flags) ? 1 : 0;
}

// The first controller that is up.
int comm_bt_radio(void) {
    const int dev_id = bt().get_route(nullptr);
    if (dev_id < 0) comm_trace("bluetooth: no controller is up", ENODEV);
    return dev_id;
}

std::vector<std::string> comm_bt_search(int dev_id, const std::atomic<bool>& cancelled) {
    int dd = bt().open_dev(dev_id);
    if (dd < 0) comm_trace("bluetooth open controller", errno);
    {
        std::lock_guard<std::mutex> guard(controller_lock());
        controller_dd = dd;
    }
    std::vector<inquiry_info> answers(MAX_RESPONSES);
    inquiry_info* results = answers.data();
    int n = cancelled ? 0
                      : bt().inquiry(dev_id, INQUIRY_LENGTH, MAX_RESPONSES, nullptr, &results,
                                     IREQ_CACHE_FLUSH);
    if (n < 0) {
        comm_trace("bluetooth inquiry", errno);
        n = 0;
    }
    n = std::min(n, MAX_RESPONSES);
    comm_bt_found found;
    for (int i = 0; i < n && !found.full(); ++i) {
        const inquiry_info& info = results[i];
        char address[18];
        address_text(info.bdaddr, address);
        if (!found.first_time(address)) continue;
        char name[NAME_SIZE] = "";
        if (dd >= 0 && !cancelled &&
            bt().read_remote_name(dd, &info.bdaddr, sizeof name, name, NAME_TIMEOUT_MS) < 0)
            name[0] = '\0';
        name[NAME_SIZE - 1] = '\0';
        found.add(address, name,
                  info.dev_class[0] | info.dev_class[1] << 8 | info.dev_class[2] << 16);
    }
    std::lock_guard<std::mutex> guard(controller_lock());
    if (controller_dd >= 0) bt().close_dev(controller_dd);
    controller_dd = -1;
    return found.entries;
}

// The controller is told to cancel the inquiry (and no more names are asked for).
void comm_bt_search_cancel(void) {
    std::lock_guard<std::mutex> guard(controller_lock());
    if (controller_dd >= 0 &&
        bt().send_cmd(controller_dd, OGF_LINK_CTL, OCF_INQUIRY_CANCEL, 0, nullptr) < 0)
        comm_trace("bluetooth inquiry cancel", errno);
}

#endif  // NV_HAVE_BLUEZ
