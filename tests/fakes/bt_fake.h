// Fake Bluetooth radios behind each system's table of calls, with one face for the contract
// tests: answers, radio, CODES, the notes, connected_to, paired_with and the device_ calls. Here
// what both share and the BlueZ one: its route and state, the devices an inquiry finds and their
// names, and RFCOMM "sockets" that are one end of a socket pair (the other end is the
// instrument's), or a pipe that never connects.
#pragma once

#if NV_HAVE_BLUEZ || NV_HAVE_WINBT

#if NV_HAVE_WINBT
#include "bt_win_api.h"
// After the table's header, which brings Winsock.
#else
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bt_api.h"
#include "comm_peers.h"
#endif
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "comm_events.h"

namespace bt_fake {

// How the fake's connect goes: fails or succeeds at once, finishes later, never finishes; or
// the RFCOMM socket cannot even be made.
enum class Connect { now, later, never, no_socket };
// Why a connect is refused, as each system says it.
enum class Refusal { none, not_answering, channel, pairing, no_controller, no_support, other };
// A radio that is not there, down, whose state cannot be read, up, or up as the second.
enum class Radio { off, down, failing, on, second };

// What both fakes keep of a connect. Everything under `lock`.
struct Common {
    std::mutex lock;
    Connect connect = Connect::later;
    int err = 0;  // the failure of the socket call, of the connect, or the connect's outcome
    std::string connected_to;  // "ADDRESS channel N"
};

// Device n's address A5:A4:A3:A2:A1:NN, its bytes last first as both systems keep them.
inline void address_of(int n, uint8_t* b) {
    for (int i = 0; i < 6; ++i) b[i] = static_cast<uint8_t>(i == 0 ? n : 0xA0 + i);
}
inline std::string text_of(const uint8_t* b) {
    char out[18];
    std::snprintf(out, sizeof out, "%02X:%02X:%02X:%02X:%02X:%02X", b[5], b[4], b[3], b[2], b[1],
                  b[0]);
    return out;
}
// The connect's outcome: at once, or in progress (`wait` is the system's code for it).
template <class SetError>
int connect_outcome(Common& bt, SetError set_error, int wait) {
    std::lock_guard<std::mutex> guard(bt.lock);
    set_error(bt.connect == Connect::now ? bt.err : wait);
    return bt.connect == Connect::now && bt.err == 0 ? 0 : -1;
}
// getsockopt(SOL_SOCKET, SO_ERROR): the connect's outcome.
template <class Length>
int so_error(Common& bt, int level, int name, void* value, Length* length) {
    std::lock_guard<std::mutex> guard(bt.lock);
    EXPECT_EQ(level, SOL_SOCKET);
    EXPECT_EQ(name, SO_ERROR);
    std::memcpy(value, &bt.err, sizeof(int));
    *length = sizeof(int);
    return 0;
}
inline std::string connected_to(Common& bt) {
    std::lock_guard<std::mutex> guard(bt.lock);
    return bt.connected_to;
}
// The note for a refused pairing; `how` says how the system pairs.
inline std::string pairing_note(const std::string& address, const std::string& pin,
                                const std::string& how) {
    return "Bluetooth device " + address +
           " refused the pairing (wrong or missing PIN, or no stored key).\nPair it once " + how +
           address + (pin.empty() ? "" : ", PIN " + pin) + "), then connect again.\n";
}

}  // namespace bt_fake

#if NV_HAVE_WINBT
#include "bt_win_fake.h"
#else

namespace bt_fake {

// The controller and the far side of the RFCOMM socket. Everything under `lock`.
struct FakeBt : Common {
    std::condition_variable changed;
    int route = 0;  // the controller's id, or -1 for none
    bool up = true;
    std::vector<inquiry_info> found;
    std::map<std::string, std::string> names;  // by address text
    bool hold_inquiry = false;                 // the inquiry runs until it is cancelled
    bool inquiring = false;
    bool cancel_sent = false;
    int open_devs = 0;
    bool devinfo_fails = false, open_dev_fails = false;
    int inquiry_errno = 0;  // not 0: the inquiry fails with it
    int inquiries = 0;      // inquiries started
    std::vector<int> security_levels;
    int device_fd = -1;  // the instrument's end of the socket pair
    int pipe_end = -1;   // Connect::never: the write end of the pipe whose read end never connects

    ~FakeBt() {
        if (device_fd >= 0) ::close(device_fd);
        if (pipe_end >= 0) ::close(pipe_end);
    }
};

inline FakeBt* fake = nullptr;

inline const comm_bt_api FAKE_API = {
    [](bdaddr_t*) {
        std::lock_guard<std::mutex> guard(fake->lock);
        if (fake->route < 0) errno = ENODEV;
        return fake->route;
    },
    [](int, hci_dev_info* info) {
        std::lock_guard<std::mutex> guard(fake->lock);
        *info = {};
        info->flags = fake->up ? 1u << HCI_UP : 0;
        return fake->devinfo_fails ? -1 : 0;
    },
    [](int) {
        std::lock_guard<std::mutex> guard(fake->lock);
        if (fake->open_dev_fails) {
            errno = EPERM;
            return -1;
        }
        ++fake->open_devs;
        return 99;
    },
    [](int) {
        std::lock_guard<std::mutex> guard(fake->lock);
        --fake->open_devs;
        return 0;
    },
    // An inquiry of 8 x 1.28 s for up to 255 answers, with the cache flushed.
    [](int, int length, int max, const uint8_t* lap, inquiry_info** out, long flags) {
        std::unique_lock<std::mutex> held(fake->lock);
        EXPECT_EQ(std::vector<long>({length, max, lap != nullptr, flags}),
                  std::vector<long>({8, 255, 0, IREQ_CACHE_FLUSH}));
        fake->inquiring = true;
        ++fake->inquiries;
        fake->changed.notify_all();
        if (fake->inquiry_errno) {
            errno = fake->inquiry_errno;
            return -1;
        }
        if (fake->hold_inquiry)
            fake->changed.wait_for(held, CommEvents::LIMIT, [] { return fake->cancel_sent; });
        int n = std::min(max, static_cast<int>(fake->found.size()));
        std::memcpy(*out, fake->found.data(), sizeof(inquiry_info) * static_cast<size_t>(n));
        return n;
    },
    [](int, const bdaddr_t* a, int length, char* name, int timeout_ms) {  // 248 bytes within 3 s
        std::lock_guard<std::mutex> guard(fake->lock);
        EXPECT_EQ(length, 249);
        EXPECT_EQ(timeout_ms, 3000);
        auto it = fake->names.find(text_of(a->b));
        if (it == fake->names.end()) return -1;
        std::snprintf(name, static_cast<size_t>(length), "%s", it->second.c_str());
        return 0;
    },
    [](int, uint16_t ogf, uint16_t ocf, uint8_t, void*) {
        std::lock_guard<std::mutex> guard(fake->lock);
        fake->cancel_sent = ogf == OGF_LINK_CTL && ocf == OCF_INQUIRY_CANCEL;
        fake->changed.notify_all();
        return 0;
    },
    [](int domain, int type, int protocol) {
        std::lock_guard<std::mutex> guard(fake->lock);
        EXPECT_EQ(domain, AF_BLUETOOTH);
        EXPECT_EQ(protocol, BTPROTO_RFCOMM);
        EXPECT_TRUE(type & SOCK_NONBLOCK);
        if (fake->connect == Connect::no_socket) {
            errno = fake->err;
            return -1;
        }
        int fds[2];
        if (fake->connect == Connect::never) {
            if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) < 0) return -1;
            fake->pipe_end = fds[1];
            return fds[0];
        }
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) < 0) return -1;
        fake->device_fd = fds[1];
        return fds[0];
    },
    [](int, const sockaddr* to, socklen_t length) {
        EXPECT_EQ(length, sizeof(sockaddr_rc));
        auto rc = reinterpret_cast<const sockaddr_rc*>(to);
        {
            std::lock_guard<std::mutex> guard(fake->lock);
            fake->connected_to =
                text_of(rc->rc_bdaddr.b) + " channel " + std::to_string(rc->rc_channel);
        }
        return connect_outcome(
            *fake, [](int e) { errno = e; }, EINPROGRESS);
    },
    [](int, int level, int name, void* value, socklen_t* length) {
        return so_error(*fake, level, name, value, length);
    },
    [](int, int level, int name, const void* value, socklen_t) {
        std::lock_guard<std::mutex> guard(fake->lock);
        if (level == SOL_BLUETOOTH && name == BT_SECURITY)
            fake->security_levels.push_back(static_cast<const bt_security*>(value)->level);
        return 0;
    },
};

// A fresh fake for the length of a test.
struct Installed {
    FakeBt bt;
    Installed() {
        fake = &bt;
        comm_bt_set_api(&FAKE_API);
    }
    ~Installed() {
        comm_bt_set_api(nullptr);
        fake = nullptr;
        EXPECT_EQ(bt.open_devs, 0) << "a controller descriptor left open";
    }
};

// Every errno by which BlueZ tells of each.
inline const std::map<Refusal, std::vector<int> > CODES = {
    {Refusal::none, {0}},
    {Refusal::not_answering, {EHOSTDOWN, EHOSTUNREACH, ETIMEDOUT}},
    {Refusal::channel, {ECONNREFUSED}},
    {Refusal::pairing, {EACCES, EPERM, EBADE, EKEYREJECTED, EKEYEXPIRED, EKEYREVOKED}},
    {Refusal::no_controller, {ENETDOWN, ENODEV, EADDRNOTAVAIL}},
    {Refusal::no_support, {EAFNOSUPPORT, EPROTONOSUPPORT}},
    {Refusal::other, {EINVAL, EMFILE}}};

inline std::string pairing_note(const std::string& address, const std::string& pin) {
    return pairing_note(address, pin, "with the system's Bluetooth tools (bluetoothctl: pair ");
}
inline const std::string NO_CONTROLLER_NOTE =
    "No Bluetooth controller is up on this computer (switched off, or blocked by rfkill).\n";
inline const std::string NO_SUPPORT_NOTE =
    "This system has no Bluetooth serial links (the kernel's RFCOMM support is missing).\n";

// A device that answers the inquiry: device n's address, its class and name.
inline void answers(FakeBt& bt, int n, int cod, const std::string& name = "") {
    inquiry_info info{};
    address_of(n, info.bdaddr.b);
    for (int i = 0; i < 3; ++i) info.dev_class[i] = static_cast<uint8_t>(cod >> 8 * i);
    bt.found.push_back(info);
    if (!name.empty()) bt.names[text_of(info.bdaddr.b)] = name;
}
inline void radio(FakeBt& bt, Radio r) {
    bt.route = r == Radio::off ? -1 : r == Radio::second ? 2 : 0;
    bt.up = r != Radio::down;
    bt.devinfo_fails = r == Radio::failing;
}
// Whether the link asked to be paired (BlueZ takes the PIN from the system's agent): the PIN
// it carries, or empty when not asked.
inline std::string paired_with(FakeBt& bt, const std::string& pin) {
    std::lock_guard<std::mutex> guard(bt.lock);
    return bt.security_levels == std::vector<int>{BT_SECURITY_MEDIUM} ? pin : "";
}
inline bool device_write(FakeBt& bt, const std::string& s) {
    return write_all(bt.device_fd, s);
}
inline std::string device_read(FakeBt& bt, size_t n = 0) {
    return read_bytes(bt.device_fd, n);
}
inline void device_close(FakeBt& bt) {
    ::close(bt.device_fd);
    bt.device_fd = -1;
}

}  // namespace bt_fake

#endif  // NV_HAVE_WINBT
#endif  // NV_HAVE_BLUEZ || NV_HAVE_WINBT
