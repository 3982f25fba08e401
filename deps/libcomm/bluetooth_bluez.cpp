// Bluetooth through BlueZ: whether a controller is up, the inquiry, and the RFCOMM sockets under
// the links of bluetooth_link.cpp (see bt_socket.h).
//
// A link that asks to authenticate has the system pair with the device if it has not yet. The
// PIN itself is the system's business (its Bluetooth agent): when the pairing or the channel is
// refused, the operator is told what to do.
//
// The inquiry (its thread is bluetooth.cpp's) lists every device that answers (at most 32, each
// once) with its own class of device and, where it tells it, its name.
//
// Every BlueZ and socket call goes through the table in bt_api.h.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bt_api.h"
#include "bt_socket.h"

namespace {

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

// ---- RFCOMM sockets (the link is bluetooth_link.cpp's) -----------------------------------

constexpr bt_refusal REFUSALS[] = {
    {EHOSTDOWN, COMM_BT_NOT_ANSWERING},     {EHOSTUNREACH, COMM_BT_NOT_ANSWERING},
    {ETIMEDOUT, COMM_BT_NOT_ANSWERING},     {ECONNREFUSED, COMM_BT_CHANNEL_REFUSED},
    {EACCES, COMM_BT_PAIRING_REFUSED},      {EPERM, COMM_BT_PAIRING_REFUSED},
    {EBADE, COMM_BT_PAIRING_REFUSED},       {EKEYREJECTED, COMM_BT_PAIRING_REFUSED},
    {EKEYEXPIRED, COMM_BT_PAIRING_REFUSED}, {EKEYREVOKED, COMM_BT_PAIRING_REFUSED},
    {ENETDOWN, COMM_BT_NO_CONTROLLER},      {ENODEV, COMM_BT_NO_CONTROLLER},
    {EADDRNOTAVAIL, COMM_BT_NO_CONTROLLER}, {EAFNOSUPPORT, COMM_BT_NO_SUPPORT},
    {EPROTONOSUPPORT, COMM_BT_NO_SUPPORT},
};

// ---- inquiry -----------------------------------------------------------------------------

// The controller's descriptor while a search runs, for a cancel. Never destroyed, so a program
// may end while an inquiry thread still runs.
std::mutex& controller_lock() {
    static std::mutex& m = *new std::mutex;
    return m;
}
int controller_dd = -1;  // under controller_lock

}  // namespace

const bt_refusal* const BT_SOCKET_REFUSALS = REFUSALS;
const int BT_SOCKET_REFUSAL_COUNT = static_cast<int>(std::size(REFUSALS));
const comm_bt_advice BT_SOCKET_ADVICE = {
    "Pair it once with the system's Bluetooth tools (bluetoothctl: pair %s%s%s), then connect "
    "again.\n",
    "No Bluetooth controller is up on this computer (switched off, or blocked by rfkill).\n",
    "This system has no Bluetooth serial links (the kernel's RFCOMM support is missing).\n",
};
const int BT_SOCKET_TIMED_OUT = ETIMEDOUT;

comm_fd bt_socket_open(int* err, const char**) {
    int fd = bt().socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, BTPROTO_RFCOMM);
    if (fd < 0) *err = errno;
    return fd < 0 ? COMM_NO_FD : fd;
}

// The system pairs with the device when there is no key yet; the PIN is its Bluetooth agent's.
void bt_socket_authenticate(bt_link* s) {
    bt_security security{};
    security.level = BT_SECURITY_MEDIUM;
    if (bt().setsockopt(s->fd, SOL_BLUETOOTH, BT_SECURITY, &security, sizeof security) < 0)
        comm_trace("bluetooth security level", errno);
}

int bt_socket_connect(comm_fd fd, const comm_bt_params& p, int* err) {
    sockaddr_rc to{};
    to.rc_family = AF_BLUETOOTH;
    to.rc_bdaddr = bdaddr_of(p.address);
    to.rc_channel = static_cast<uint8_t>(p.channel);
    if (bt().connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return 1;
    if (errno == EINPROGRESS) return 0;
    *err = errno;
    return -1;
}

int bt_socket_connect_result(comm_fd fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (bt().getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
    return err;
}

void bt_socket_stop_pairing(bt_link*) {}

void bt_socket_close(comm_fd fd) {
    if (fd >= 0) ::close(fd);
}

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
        comm_bt_address_text(info.bdaddr.b, address);
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
