// Serial links on Windows: "serial:COMn" opens \\.\COMn, the system's own COM port n (no
// mapping), raw at the string's settings (115200 8N1 by the makers' default); a path form opens
// the path as it stands. The string's form and its makers are in serial_string.cpp.
//
// The I/O thread waits on sockets only (WSAPoll), so a reader thread of the link's own reads the
// port (overlapped) and passes every byte on through a loopback TCP connection, whose far end is
// what the I/O thread polls. Writes go straight to the port, overlapped, a piece the line carries
// well within the write's time limit at a time, and give up at once when the link closes.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "comm_win.h"

namespace {

constexpr DWORD READ_GAP_MS = 1;    // a read returns once no byte came for this long
constexpr int WRITE_SLICE_MS = 20;  // a waiting write looks for the link's close this often

struct serial_state {
    comm_link* link = nullptr;
    comm_serial_params params;
    HANDLE port = INVALID_HANDLE_VALUE;
    HANDLE stop = nullptr;         // set when the link closes: the reader ends
    HANDLE write_done = nullptr;   // the overlapped write's event
    SOCKET feed = INVALID_SOCKET;  // the reader thread sends on it
    SOCKET rx = INVALID_SOCKET;    // the I/O thread polls and reads it
    std::thread reader;
    std::atomic<DWORD> read_error{0};  // why the reader ended, 0 for a stop
};

// A connected pair of loopback TCP sockets: `rx` non-blocking for the I/O thread, `feed`
// blocking for the reader thread.
bool socket_pair(SOCKET* rx, SOCKET* feed) {
    SOCKET listener = comm_win_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP, false);
    if (listener == INVALID_SOCKET) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    *feed = *rx = INVALID_SOCKET;
    bool ok =
        bind(listener, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 &&
        listen(listener, 1) == 0 &&
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) == 0 &&
        (*feed = comm_win_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP, false)) != INVALID_SOCKET &&
        connect(*feed, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 &&
        (*rx = accept(listener, nullptr, nullptr)) != INVALID_SOCKET;
    if (!ok) comm_trace("serial socket pair", WSAGetLastError());
    closesocket(listener);
    u_long on = 1;
    BOOL nodelay = TRUE;
    if (ok) {
        ok = ioctlsocket(*rx, FIONBIO, &on) == 0;
        SetHandleInformation(reinterpret_cast<HANDLE>(*rx), HANDLE_FLAG_INHERIT, 0);
        setsockopt(*feed, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&nodelay),
                   sizeof nodelay);
    }
    if (!ok) {
        comm_win_close_socket(*rx);
        comm_win_close_socket(*feed);
        *rx = *feed = INVALID_SOCKET;
    }
    return ok;
}

bool send_all(SOCKET s, const char* data, DWORD length) {
    while (length > 0) {
        int n = send(s, data, static_cast<int>(length), 0);
        if (n <= 0) return false;
        data += n;
        length -= static_cast<DWORD>(n);
    }
    return true;
}

// The reader thread: reads whatever arrives and feeds it on, until the link stops or the port
// fails. Closing the feed tells the I/O thread.
void read_port(serial_state* s) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    char buffer[4096];
    DWORD error = ov.hEvent ? 0 : GetLastError();
    while (error == 0) {
        ResetEvent(ov.hEvent);
        DWORD got = 0;
        if (!ReadFile(s->port, buffer, sizeof buffer, &got, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING) {
                error = GetLastError();
                break;
            }
            HANDLE both[2] = {ov.hEvent, s->stop};
            if (WaitForMultipleObjects(2, both, FALSE, INFINITE) != WAIT_OBJECT_0) {
                CancelIoEx(s->port, &ov);
                GetOverlappedResult(s->port, &ov, &got, TRUE);
                break;
            }
            if (!GetOverlappedResult(s->port, &ov, &got, FALSE)) {
                error = GetLastError();
                break;
            }
        }
        if (got > 0 && !send_all(s->feed, buffer, got)) break;  // the link is closing
        if (WaitForSingleObject(s->stop, 0) == WAIT_OBJECT_0) break;
    }
    s->read_error = error;
    if (ov.hEvent) CloseHandle(ov.hEvent);
    shutdown(s->feed, SD_SEND);
}

// Raw mode with the string's settings; false with GetLastError() set on failure.
bool configure(HANDLE port, const comm_serial_params& p) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) return false;
    dcb.BaudRate = static_cast<DWORD>(p.baud);
    dcb.ByteSize = static_cast<BYTE>(p.data_bits);
    dcb.Parity = p.parity == COMM_PARITY_ODD    ? ODDPARITY
                 : p.parity == COMM_PARITY_EVEN ? EVENPARITY
                                                : NOPARITY;
    dcb.StopBits = p.stop_bits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = p.parity != COMM_PARITY_NONE;
    dcb.fOutxCtsFlow = p.flow == COMM_FLOW_RTSCTS;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = dcb.fInX = p.flow == COMM_FLOW_XONXOFF;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = p.flow == COMM_FLOW_RTSCTS ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(port, &dcb)) return false;
    // A read waits for the first byte as long as it takes (the reader's stop ends it), then
    // returns once the line was quiet for READ_GAP_MS. (The settings that return at once when
    // bytes are there, MAXDWORD, MAXDWORD and a constant, never complete under Wine.)
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = READ_GAP_MS;
    if (!SetCommTimeouts(port, &t)) return false;
    // Bytes that arrived before the link was opened belong to nobody.
    PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
    return true;
}

constexpr auto serial_parse = comm_parse_into<serial_state, comm_serial_parse>;

void serial_open(void* state, comm_link* link) {
    auto s = static_cast<serial_state*>(state);
    s->link = link;
    char path[COMM_TEXT_SIZE + 8];
    if (s->params.com_port > 0)
        std::snprintf(path, sizeof path, "\\\\.\\COM%d", s->params.com_port);
    else
        std::snprintf(path, sizeof path, "%s", s->params.path);
    s->port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
    if (s->port == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        if (err == ERROR_ACCESS_DENIED || err == ERROR_SHARING_VIOLATION) {
            char note[COMM_NOTE_SIZE];
            comm_format(note, sizeof note,
                        "%s is in use by another program. Close that program and connect "
                        "again.\n",
                        path + 4);
            comm_link_note(link, note);
        }
        comm_link_failed(link, "serial open", static_cast<int>(err));
        return;
    }
    if (!configure(s->port, s->params)) {
        comm_link_failed(link, "serial settings", static_cast<int>(GetLastError()));
        return;
    }
    s->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    s->write_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (s->stop == nullptr || s->write_done == nullptr) {
        comm_link_failed(link, "serial events", static_cast<int>(GetLastError()));
        return;
    }
    if (!socket_pair(&s->rx, &s->feed)) {
        comm_link_failed(link, "serial socket pair", WSAGetLastError());
        return;
    }
    s->reader = std::thread(read_port, s);
    comm_link_opened(link);
}

int serial_poll_fds(void* state, pollfd* fds, int max, int*) {
    auto s = static_cast<serial_state*>(state);
    if (s->rx == INVALID_SOCKET || max < 1) return 0;
    fds[0] = {s->rx, POLLIN, 0};
    return 1;
}

void serial_handle(void* state, const pollfd* fds, int count) {
    auto s = static_cast<serial_state*>(state);
    if (count < 1 || fds[0].revents == 0) return;
    int size = 0;
    unsigned char* buffer = comm_link_buffer(s->link, &size);
    int n = recv(s->rx, reinterpret_cast<char*>(buffer), size, 0);
    if (n > 0) {
        comm_link_data(s->link, buffer, n);
    } else if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) {
        // The reader ended: the port failed (a USB adapter pulled out, say).
        DWORD err = s->read_error;
        comm_link_failed(s->link, "serial read", err ? static_cast<int>(err) : ERROR_GEN_FAILURE);
    }
}

int serial_write(void* state, const unsigned char* data, int length, int ms) {
    auto s = static_cast<serial_state*>(state);
    // What the line carries in half the time limit (10 bits a byte), at least 64 bytes.
    long long fits = static_cast<long long>(s->params.baud) / 10 * (ms > 0 ? ms : 1) / 2000;
    DWORD piece = static_cast<DWORD>(std::min<long long>(length, std::max<long long>(64, fits)));
    OVERLAPPED ov{};
    ov.hEvent = s->write_done;
    ResetEvent(ov.hEvent);
    DWORD done = 0;
    if (WriteFile(s->port, data, piece, &done, &ov)) return static_cast<int>(done);
    if (GetLastError() != ERROR_IO_PENDING) {
        comm_trace("serial write", static_cast<int>(GetLastError()));
        return -1;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(ms > 0 ? ms : 0);
    bool closing = false;
    for (;;) {
        int left = comm_win_ms_left(deadline);
        if (WaitForSingleObject(ov.hEvent, static_cast<DWORD>(std::min(left, WRITE_SLICE_MS))) ==
            WAIT_OBJECT_0)
            break;
        pollfd cancel = {comm_link_cancel_fd(s->link), POLLIN, 0};
        closing = WSAPoll(&cancel, 1, 0) > 0 && (cancel.revents & POLLIN);
        if (closing || left <= 0) {
            CancelIoEx(s->port, &ov);
            break;
        }
    }
    if (!GetOverlappedResult(s->port, &ov, &done, TRUE) && done == 0) {
        DWORD err = GetLastError();
        if (closing) return -1;
        if (err == ERROR_OPERATION_ABORTED) return 0;  // no progress within the time limit
        comm_trace("serial write", static_cast<int>(err));
        return -1;
    }
    if (closing) return -1;
    return static_cast<int>(done);
}

void serial_close(void* state) {
    auto s = static_cast<serial_state*>(state);
    if (s->stop) SetEvent(s->stop);
    if (s->reader.joinable()) {
        // A reader blocked in send (the I/O thread no longer reads) lets go once rx closes.
        comm_win_close_socket(s->rx);
        s->rx = INVALID_SOCKET;
        s->reader.join();
    }
    comm_win_close_socket(s->rx);
    comm_win_close_socket(s->feed);
    if (s->port != INVALID_HANDLE_VALUE) CloseHandle(s->port);
    if (s->stop) CloseHandle(s->stop);
    if (s->write_done) CloseHandle(s->write_done);
    delete s;
}

}  // namespace

const comm_transport comm_serial_transport = {
    "serial",      serial_parse, serial_open,  serial_poll_fds,
    serial_handle, serial_write, serial_close, nullptr,
};
