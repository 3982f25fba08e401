// nv-service's system calls on Linux: see svc_sys.h.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

#include "svc_sys.h"

namespace {

// The families of serial devices, in the order the COM numbers count them.
constexpr const char* PORT_FAMILIES[] = {"ttyUSB", "ttyACM", "ttyS"};

std::string env(const char* name) {
    const char* v = getenv(name);
    return v != nullptr ? v : "";
}

// ttyS ports the kernel keeps for hardware that is not there report type 0.
bool present(const std::string& node) {
    if (node.rfind("ttyS", 0) != 0) return true;
    std::ifstream type("/sys/class/tty/" + node + "/type");
    int value = 0;
    return (type >> value) && value != 0;
}

// The number after a family's prefix, for the order ttyS2 before ttyS10.
long number_of(const std::string& node, size_t prefix) {
    return std::strtol(node.c_str() + prefix, nullptr, 10);
}

// This user's entry of the user database (getpwuid's own buffer is shared by every thread).
bool own_entry(passwd* pw, std::vector<char>* buffer) {
    buffer->resize(16384);
    passwd* found = nullptr;
    return getpwuid_r(geteuid(), pw, buffer->data(), buffer->size(), &found) == 0 &&
           found != nullptr;
}

}  // namespace

std::string svc_host_name() {
    char name[HOST_NAME_MAX + 1] = "";
    if (gethostname(name, sizeof name) != 0) return "";
    name[HOST_NAME_MAX] = '\0';
    return name;
}

std::string svc_user_name() {
    passwd pw{};
    std::vector<char> buffer;
    if (own_entry(&pw, &buffer) && pw.pw_name != nullptr) return pw.pw_name;
    const std::string user = env("USER");
    return user.empty() ? std::to_string(geteuid()) : user;
}

std::string svc_default_record() {
    std::string state = env("XDG_STATE_HOME");
    if (state.empty() || state[0] != '/') {
        std::string home = env("HOME");
        if (home.empty() || home[0] != '/') {
            passwd pw{};
            std::vector<char> buffer;
            home = own_entry(&pw, &buffer) && pw.pw_dir != nullptr ? pw.pw_dir : "";
        }
        if (home.empty()) return "";
        state = home + "/.local/state";
    }
    return state + "/nv-term/service.jsonl";
}

bool svc_make_folders(const std::string& path) {
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
        const std::string folder = path.substr(0, at);
        if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

bool svc_make_folder(const std::string& path) {
    return mkdir(path.c_str(), 0777) == 0 || errno == EEXIST;
}

bool svc_exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool svc_is_terminal(FILE* stream) {
    return isatty(fileno(stream)) == 1;
}

int svc_terminal_width(FILE* stream) {
    winsize ws{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20) return ws.ws_col;
    return 80;
}

std::vector<svc_port> svc_serial_ports() {
    // The stable names first: what each /dev/serial/by-id link names.
    std::vector<std::pair<std::string, std::string>> by_id;  // (device, by-id path)
    if (DIR* d = opendir("/dev/serial/by-id")) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            const std::string link = std::string("/dev/serial/by-id/") + e->d_name;
            char target[PATH_MAX];
            if (realpath(link.c_str(), target) != nullptr) by_id.emplace_back(target, link);
        }
        closedir(d);
    }
    std::vector<std::string> nodes;
    if (DIR* d = opendir("/dev")) {
        while (dirent* e = readdir(d)) {
            const std::string node = e->d_name;
            for (const char* family : PORT_FAMILIES) {
                const size_t n = std::strlen(family);
                if (node.size() > n && node.compare(0, n, family) == 0 &&
                    std::all_of(node.begin() + n, node.end(), ::isdigit) && present(node))
                    nodes.push_back(node);
            }
        }
        closedir(d);
    }
    auto rank = [](const std::string& node) {
        for (size_t f = 0; f < std::size(PORT_FAMILIES); ++f) {
            const size_t n = std::strlen(PORT_FAMILIES[f]);
            if (node.compare(0, n, PORT_FAMILIES[f]) == 0)
                return std::pair<size_t, long>(f, number_of(node, n));
        }
        return std::pair<size_t, long>(std::size(PORT_FAMILIES), 0);
    };
    std::sort(nodes.begin(), nodes.end(),
              [&](const std::string& a, const std::string& b) { return rank(a) < rank(b); });
    std::vector<svc_port> ports;
    for (const std::string& node : nodes) {
        svc_port p{"/dev/" + node, ""};
        for (const auto& [device, link] : by_id)
            if (device == p.device) p.name = p.device, p.device = link;
        ports.push_back(p);
    }
    return ports;
}

bool svc_append(int fd, const std::string& bytes) {
    if (flock(fd, LOCK_EX) != 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    const off_t before = st.st_size;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    const int error = errno;
    // Half a record would spoil the line of the next one: the file goes back to its end.
    if (!ok && done > 0 && ftruncate(fd, before) != 0) {
    }
    if (ok) ok = fsync(fd) == 0;
    const int sync_error = errno;
    flock(fd, LOCK_UN);
    errno = ok ? 0 : (done < bytes.size() ? error : sync_error);
    return ok;
}

void svc_close(int fd) {
    if (fd >= 0) close(fd);
}

void svc_utc_tm(int64_t seconds, struct tm* out) {
    const time_t t = static_cast<time_t>(seconds);
    gmtime_r(&t, out);
}

void svc_local_now(struct tm* out) {
    const time_t now = time(nullptr);
    localtime_r(&now, out);
}
