// Serial links on Linux, through POSIX termios, raw mode (the string's form and its makers are
// in serial_string.cpp). A COM number is looked up when the link opens: COMn is the n-th serial
// device present in the device directory, USB adapters first (ttyUSB*, then ttyACM*, then ttyS*),
// each family in numeric order. A path names any terminal device, a pseudo-terminal included.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "comm_internal.h"

namespace {

constexpr int MAX_COM_PORT = 255;

struct baud_rate {
    int value;
    speed_t code;
};
constexpr baud_rate BAUD_RATES[] = {
    {1200, B1200},       {2400, B2400},       {4800, B4800},       {9600, B9600},
    {19200, B19200},     {38400, B38400},     {57600, B57600},     {115200, B115200},
    {230400, B230400},   {460800, B460800},   {500000, B500000},   {576000, B576000},
    {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {3000000, B3000000}, {4000000, B4000000},
};

// The COM families in mapping order.
constexpr std::string_view FAMILIES[] = {"ttyUSB", "ttyACM", "ttyS"};

std::mutex dir_lock;
std::string device_dir = "/dev";

const baud_rate* find_baud(long value) {
    for (const baud_rate& b : BAUD_RATES)
        if (b.value == value) return &b;
    return nullptr;
}

struct serial_state {
    comm_link* link = nullptr;
    comm_serial_params params;
    int fd = -1;
};

// Raw mode with the string's settings. -1 with errno set on failure.
int configure(int fd, const comm_serial_params& p) {
    termios t;
    if (tcgetattr(fd, &t) < 0) return -1;
    cfmakeraw(&t);
    speed_t speed = find_baud(p.baud)->code;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    constexpr tcflag_t SIZES[] = {CS5, CS6, CS7, CS8};
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= SIZES[p.data_bits - 5] | CLOCAL | CREAD;
    if (p.parity != COMM_PARITY_NONE) t.c_cflag |= PARENB;
    if (p.parity == COMM_PARITY_ODD) t.c_cflag |= PARODD;
    if (p.stop_bits == 2) t.c_cflag |= CSTOPB;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (p.flow == COMM_FLOW_RTSCTS) t.c_cflag |= CRTSCTS;
    if (p.flow == COMM_FLOW_XONXOFF) t.c_iflag |= IXON | IXOFF;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) < 0) return -1;
    // Bytes that arrived before the link was opened belong to nobody.
    tcflush(fd, TCIOFLUSH);
    return 0;
}

constexpr auto serial_parse = comm_parse_into<serial_state, comm_serial_parse>;

void serial_open(void* state, comm_link* link) {
    auto s = static_cast<serial_state*>(state);
    s->link = link;
    char path[COMM_TEXT_SIZE];
    if (s->params.com_port > 0) {
        std::string dir;
        {
            std::lock_guard<std::mutex> guard(dir_lock);
            dir = device_dir;
        }
        if (comm_serial_com_path(dir.c_str(), s->params.com_port, path, sizeof path) < 0) {
            comm_link_failed(link, "serial: no device for this COM port", ENODEV);
            return;
        }
    } else {
        std::snprintf(path, sizeof path, "%s", s->params.path);
    }
    s->fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (s->fd < 0) {
        int err = errno;
        if (err == EACCES || err == EPERM) {
            char note[COMM_NOTE_SIZE];
            comm_serial_permission_note(path, note, sizeof note);
            comm_link_note(link, note);
        }
        comm_link_failed(link, "serial open", err);
        return;
    }
    if (!isatty(s->fd)) {
        comm_link_failed(link, "serial: not a terminal", ENOTTY);
        return;
    }
    if (configure(s->fd, s->params) < 0) {
        comm_link_failed(link, "serial termios", errno);
        return;
    }
    // Another program opening the same port would steal bytes; pseudo-terminals may refuse this.
    if (ioctl(s->fd, TIOCEXCL) < 0) comm_trace("serial TIOCEXCL", errno);
    comm_link_opened(link);
}

int serial_poll_fds(void* state, pollfd* fds, int max, int*) {
    auto s = static_cast<serial_state*>(state);
    if (s->fd < 0 || max < 1) return 0;
    fds[0] = {s->fd, POLLIN, 0};
    return 1;
}

void serial_handle(void* state, const pollfd* fds, int count) {
    auto s = static_cast<serial_state*>(state);
    if (count > 0 && fds[0].revents) comm_fd_read(s->link, s->fd);
}

int serial_write(void* state, const unsigned char* data, int length, int ms) {
    auto s = static_cast<serial_state*>(state);
    return comm_fd_write(s->link, s->fd, data, length, ms, false);
}

void serial_close(void* state) {
    auto s = static_cast<serial_state*>(state);
    if (s->fd >= 0) ::close(s->fd);
    delete s;
}

}  // namespace

int comm_serial_permission_note(const char* path, char* out, int size) {
    struct stat st;
    group entry;
    group* found = nullptr;
    char buffer[1024];
    if (::stat(path, &st) == 0) getgrgid_r(st.st_gid, &entry, buffer, sizeof buffer, &found);
    if (found != nullptr && st.st_gid != 0)
        return comm_format(out, size,
                           "No permission to open %s (it belongs to the group %s).\n"
                           "Add your user to that group (sudo usermod -aG %s $USER) and log in "
                           "again.\n",
                           path, found->gr_name, found->gr_name);
    return comm_format(out, size,
                       "No permission to open %s.\nAsk for read and write access to it (serial "
                       "ports usually belong to the group dialout).\n",
                       path);
}

const comm_transport comm_serial_transport = {
    "serial",      serial_parse, serial_open,  serial_poll_fds,
    serial_handle, serial_write, serial_close, nullptr,
};

int comm_serial_com_path(const char* dir, int port, char* out, int size) {
    if (dir == nullptr || port < 1 || port > MAX_COM_PORT) return -1;
    struct device {
        size_t family;
        long number;
        std::string name;
    };
    std::vector<device> found;
    DIR* d = opendir(dir);
    if (d == nullptr) {
        comm_trace("serial device directory", errno);
        return -1;
    }
    while (dirent* e = readdir(d)) {
        std::string_view name(e->d_name);
        for (size_t f = 0; f < std::size(FAMILIES); ++f) {
            long number;
            if (name.substr(0, FAMILIES[f].size()) == FAMILIES[f] &&
                comm_parse_decimal(name.substr(FAMILIES[f].size()), 0, 999999, &number)) {
                found.push_back({f, number, std::string(name)});
                break;
            }
        }
    }
    closedir(d);
    std::sort(found.begin(), found.end(), [](const device& a, const device& b) {
        if (a.family != b.family) return a.family < b.family;
        if (a.number != b.number) return a.number < b.number;
        return a.name < b.name;
    });
    if (static_cast<size_t>(port) > found.size()) return -1;
    return comm_format(out, size, "%s/%s", dir, found[static_cast<size_t>(port) - 1].name.c_str());
}

void comm_serial_set_device_dir(const char* dir) {
    std::lock_guard<std::mutex> guard(dir_lock);
    device_dir = dir != nullptr ? dir : "/dev";
}
