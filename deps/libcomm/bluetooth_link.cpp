// RFCOMM links, on every system with Bluetooth (the system calls are in bluetooth_bluez.cpp and
// bluetooth_win.cpp, see bt_socket.h).
//
// An RFCOMM link is a non-blocking RFCOMM socket connected to the string's address and channel
// within the string's time-out (finished in handle(), like TCP); once connected it is a plain
// socket the I/O thread polls. A string with a PIN asks for an authenticated link, so the device
// is paired on the way if it is not yet. When the pairing or the channel is refused, the operator
// is told what to do.
#include "bt_socket.h"

namespace {

using bt_clock = std::chrono::steady_clock;

int refusal_kind(int err) {
    int kind = 0;
    for (int i = 0; i < BT_SOCKET_REFUSAL_COUNT; ++i)
        if (BT_SOCKET_REFUSALS[i].err == err) kind = BT_SOCKET_REFUSALS[i].kind;
    return kind;
}

// A connect that failed: the operator learns what it means and what to do about it.
void refused(bt_link* s, const char* what, int err) {
    comm_bt_refused(s->link, s->params, refusal_kind(err), BT_SOCKET_ADVICE);
    comm_link_failed(s->link, what, err);
}

void close_fd(bt_link* s) {
    bt_socket_stop_pairing(s);
    bt_socket_close(s->fd);
    s->fd = COMM_NO_FD;
    s->connecting = false;
}

void established(bt_link* s) {
    s->connecting = false;
    bt_socket_stop_pairing(s);
    comm_link_opened(s->link);
}

constexpr auto bt_parse = comm_parse_into<bt_link, comm_bt_parse>;

void bt_open(void* state, comm_link* link) {
    auto s = static_cast<bt_link*>(state);
    s->link = link;
    int err = 0;
    const char* setup = nullptr;
    s->fd = bt_socket_open(&err, &setup);
    if (s->fd == COMM_NO_FD) {
        if (setup != nullptr)
            comm_link_failed(link, setup, err);
        else if (refusal_kind(err) == COMM_BT_NO_SUPPORT)
            refused(s, "bluetooth socket", err);
        else
            comm_link_failed(link, "bluetooth socket", err);
        return;
    }
    if (s->params.pin[0] != '\0') bt_socket_authenticate(s);
    s->deadline = bt_clock::now() + std::chrono::milliseconds(s->params.timeout_ms);
    int r = bt_socket_connect(s->fd, s->params, &err);
    if (r == 1) {
        established(s);
    } else if (r == 0) {
        s->connecting = true;
    } else {
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
    const short ready = count > 0 ? fds[0].revents : 0;
    if (!s->connecting) {
        if (ready && s->fd != COMM_NO_FD) comm_fd_read(s->link, s->fd);
        return;
    }
    if (ready) {
        int err = bt_socket_connect_result(s->fd);
        if (err == 0) {
            established(s);
            return;
        }
        close_fd(s);
        refused(s, "bluetooth connect", err);
    } else if (bt_clock::now() >= s->deadline) {
        close_fd(s);
        refused(s, "bluetooth connect time-out", BT_SOCKET_TIMED_OUT);
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

}  // namespace

const comm_transport comm_bt_transport = {
    "bluetooth", bt_parse, bt_open, bt_poll_fds, bt_handle, bt_write, bt_close, comm_bt_describe,
};
