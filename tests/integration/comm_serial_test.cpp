// Serial links over pseudo-terminals, opened by COM number or by path, and the wait of the
// descriptors they share with TCP and RFCOMM.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "comm_internal.h"
#include "comm_links.h"
#include "error_log.h"
#include "libcomm.h"
#include "process.h"

namespace {

// Runs `child` as nobody in a child process: its exit status, or 100 if it cannot become nobody.
int as_nobody(const std::function<int()>& child) {
    pid_t pid = fork();
    if (pid == 0) _exit(setgid(65534) != 0 || setuid(65534) != 0 ? 100 : child());
    const int status = proc::status_of(pid);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A descriptor's connect deadline shortens the I/O loop's wait, never lengthens it: a wait of
// 0 (another link has work now) stays 0.
TEST(CommFd, AConnectDeadlineOnlyShortensTheWait) {
    const auto in_5_s = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (int before : {-1, 0, 100, 9000}) {
        pollfd fd[1];
        int wait_ms = before;
        EXPECT_EQ(comm_socket_poll_fd(7, true, in_5_s, fd, 1, &wait_ms), 1);
        EXPECT_NEAR(wait_ms, before < 0 || before > 5000 ? 5000 : before, 500) << before;
    }
}

TEST(CommSerial, TheTerminalIsRawWithTheStringsSettingsAndStaleBytesAreDropped) {
    CommRunning running;
    const struct {
        int baud, bits, stop, parity, flow;
        speed_t speed;
    } cases[] = {
        {115200, 8, 1, 0, 0, B115200},   {9600, 7, 2, 2, 0, B9600},   {1200, 5, 1, 1, 1, B1200},
        {4000000, 6, 2, 0, 2, B4000000}, {57600, 8, 1, 1, 2, B57600},
    };
    // COMn is the n-th serial device of the test's own device folder, USB adapters first.
    PtyPeer ptys[std::size(cases)];
    proc::TempDir dev;
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::string link = dev.file("ttyUSB" + std::to_string(i));
        ASSERT_EQ(symlink(ptys[i].path().c_str(), link.c_str()), 0);
    }
    ASSERT_EQ(symlink("/nonexistent/nv-serial", dev.file("ttyS0").c_str()), 0);
    comm_serial_set_device_dir(dev.path().c_str());
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        PtyPeer& pty = ptys[i];
        SCOPED_TRACE(c.baud);
        // Start from a terminal that is anything but raw.
        termios t{};
        ASSERT_EQ(tcgetattr(pty.master(), &t), 0);
        t.c_iflag |= ICRNL | IXON | IXANY | ISTRIP;
        t.c_oflag |= OPOST | ONLCR;
        t.c_lflag |= ICANON | ECHO | ISIG;
        t.c_cflag |= PARENB | PARODD | CSTOPB | CRTSCTS;
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 5;
        ASSERT_EQ(tcsetattr(pty.master(), TCSANOW, &t), 0);
        int slave = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_TRUE(write_all(pty.master(), "stale\n"));
        ASSERT_TRUE(wait_fd(slave, POLLIN));  // they are in the terminal's input now
        char conn[COMM_CONN_STRING_SIZE];
        ASSERT_EQ(comm_make_conn_string_serial(conn, int(i) + 1, c.baud, c.bits, c.stop, c.parity,
                                               c.flow),
                  0);
        Link link;
        ASSERT_TRUE(link.opened(conn));
        ::close(slave);
        ASSERT_TRUE(write_all(pty.master(), "fresh"));
        ASSERT_TRUE(link.ev.wait_bytes(link.handle, 5));
        EXPECT_EQ(link.data(), "fresh");
        ASSERT_EQ(tcgetattr(pty.master(), &t), 0);
        EXPECT_EQ(cfgetispeed(&t), c.speed);
        EXPECT_EQ(cfgetospeed(&t), c.speed);
        // A pseudo-terminal keeps eight data bits and no parity bit whatever it is told, so
        // the character size and PARENB cannot be read back here; odd parity can.
        EXPECT_EQ((t.c_cflag & PARODD) != 0, c.parity == 1);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.stop == 2);
        EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, c.flow == 1);
        EXPECT_EQ((t.c_iflag & IXON) != 0, c.flow == 2);
        EXPECT_EQ((t.c_iflag & IXOFF) != 0, c.flow == 2);
        EXPECT_EQ(t.c_iflag & IXANY, 0u);
        EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), CLOCAL | CREAD);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL), 0u);
        EXPECT_EQ(t.c_cc[VMIN], 1);
        EXPECT_EQ(t.c_cc[VTIME], 0);
    }
    for (int com : {6, 7}) {  // a device that cannot be opened, and none at all
        char conn[COMM_CONN_STRING_SIZE];
        ASSERT_EQ(comm_make_conn_string_serial(conn, com, 115200, 8, 1, 0, 0), 0);
        EXPECT_EQ(refused_note(conn), "") << com;
    }
    comm_serial_set_device_dir(nullptr);
}

TEST(CommSerial, AnOperatorWithoutPermissionIsToldWhatToDo) {
    proc::TempDir dir;
    const std::string mine = dir.file("ttyUSB0");
    std::fclose(std::fopen(mine.c_str(), "w"));
    char out[COMM_NOTE_SIZE];
    ASSERT_EQ(chown(mine.c_str(), static_cast<uid_t>(-1), 0), 0);
    for (const std::string& path : {mine, std::string("/nonexistent/tty")}) {
        ASSERT_EQ(comm_serial_permission_note(path.c_str(), out, sizeof out), 0);
        EXPECT_EQ(std::string(out), "No permission to open " + path +
                                        ".\nAsk for read and write access to it (serial ports "
                                        "usually belong to the group dialout).\n");
    }
    // A device of a group of its own names that group.
    group* g = getgrgid(1);
    if (g == nullptr || chown(mine.c_str(), static_cast<uid_t>(-1), 1) != 0)
        GTEST_SKIP() << "no group 1 to give the device to";
    const std::string name = g->gr_name;
    ASSERT_EQ(comm_serial_permission_note(mine.c_str(), out, sizeof out), 0);
    EXPECT_EQ(std::string(out), "No permission to open " + mine + " (it belongs to the group " +
                                    name + ").\nAdd your user to that group (sudo usermod -aG " +
                                    name + " $USER) and log in again.\n");
    EXPECT_EQ(comm_serial_permission_note(mine.c_str(), out, 40), -1);
    EXPECT_STREQ(out, "");
}

// As another user (root could open it anyway): while the link has the port, an open is refused;
// a port it may not open gives ERROR (the console's message), then once the note naming its group.
int child_events(int, int kind, const unsigned char*, int, void*) {
    char text[8];
    int n = std::snprintf(text, sizeof text, "<%d>", kind);
    if (::write(2, text, static_cast<size_t>(n)) < 0) _exit(102);
    return 0;
}

TEST(CommSerial, AnotherUserIsKeptOutOrToldWhatToDo) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to try the open as another user";
    PtyPeer pty;
    const std::string conn = serial_string(pty.path());
    ASSERT_EQ(chmod(pty.path().c_str(), 0666), 0);
    {
        CommRunning running;
        Link link;
        ASSERT_TRUE(link.opened(conn));
        const int status = as_nobody([&] {
            int fd = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            return fd >= 0 ? 0 : errno == EBUSY ? 1 : 2;
        });
        ASSERT_NE(status, 100) << "cannot become another user here";
        EXPECT_EQ(status, 1) << "the port was not taken for exclusive use";
    }
    ASSERT_EQ(chmod(pty.path().c_str(), 0600), 0);
    char note[COMM_NOTE_SIZE];
    ASSERT_EQ(comm_serial_permission_note(pty.path().c_str(), note, sizeof note), 0);
    int err[2];
    ASSERT_EQ(pipe(err), 0);
    const int status = as_nobody([&] {
        dup2(err[1], 2);
        unsetenv("NV_COMM_DEBUG");
        log_set_sink(nullptr, nullptr);
        log_reset();
        log_seterror(0, 1, 0, 0, "");
        int h = 0;
        if (comm_init() != 0 || comm_connect(&h, conn.c_str(), child_events, 64, 0, nullptr) != 0)
            return 101;
        int r = comm_wait_connected(h, 20000);
        comm_shut();
        return r == 0 ? 103 : 0;
    });
    ::close(err[1]);
    const std::string printed = read_bytes(err[0]);  // a few bytes: the pipe held them
    ::close(err[0]);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(printed, "<2>" + std::string(note) + "<3>");
}

}  // namespace
