#include "spc_output.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

bool write_all(int fd, const std::string& data) {
    for (size_t done = 0; done < data.size();) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// SIGINT, SIGTERM and SIGHUP wait while the temporary file exists, so an interrupt never leaves
// it behind.
struct signals_held {
    sigset_t old;
    signals_held() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGHUP);
        sigprocmask(SIG_BLOCK, &set, &old);
    }
    ~signals_held() { sigprocmask(SIG_SETMASK, &old, nullptr); }
};

}  // namespace

bool spc_write_file(const std::string& path, const std::string& data, std::string* error) {
    if (path == "-") {
        bool ok = write_all(STDOUT_FILENO, data);
        if (!ok) *error = std::string("standard output: ") + std::strerror(errno);
        return ok;
    }
    fs::path target = path;
    struct stat lst;
    if (lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
        std::error_code ec;
        target = fs::weakly_canonical(target, ec);
        if (ec) {
            *error = path + ": " + ec.message();
            return false;
        }
    }
    mode_t mode = 0666 & ~[] {
        mode_t m = umask(0);
        umask(m);
        return m;
    }();
    struct stat st;
    if (stat(target.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            *error = path + ": not a regular file";
            return false;
        }
        if (access(target.c_str(), W_OK) != 0) {
            *error = path + ": " + std::strerror(errno);
            return false;
        }
        mode = st.st_mode & 07777;
    }
    fs::path dir = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    std::string temp_name = ".";
    temp_name.append(target.filename().string()).append(".XXXXXX");
    std::string temp = (dir / temp_name).string();
    signals_held held;
    int fd = mkstemp(temp.data());
    if (fd < 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = write_all(fd, data) && fchmod(fd, mode) == 0 && fsync(fd) == 0;
    int saved = errno;
    ok = close(fd) == 0 && ok;
    if (ok && rename(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        *error = path + ": " + std::strerror(saved);
    }
    return ok;
}
