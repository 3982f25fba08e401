// The console units' file, console and clock calls on Linux: see sysfile.h. Names and the
// console are UTF-8 (or whatever bytes the user's locale gives) as they stand.
#include <fcntl.h>
#include <unistd.h>

#include "sysfile.h"

// The rules file comes with nv-term; plugdev is the group it gives the instrument to.
const char* const SYS_USB_ACCESS_ADVICE =
    "Install udev/60-nv52.rules into /etc/udev/rules.d, add your user to the group plugdev, log "
    "in again and re-plug the instrument.\n";

void sys_start(int*, char***) {}

char* sys_read_line(char* buffer, int size, FILE* stream) {
    return fgets(buffer, size, stream);
}

bool sys_is_console(FILE*) {
    return false;
}

int sys_open_read(const char* path) {
    return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

void sys_blocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
}

void sys_local_time(const time_t* seconds, struct tm* out) {
    localtime_r(seconds, out);
}
