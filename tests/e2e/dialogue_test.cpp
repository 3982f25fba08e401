// The connection dialogue's paths that need a namespace of the test's own: the default port, the
// fixed address and discovery's broadcast in a network namespace; COM1 in a mount namespace.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <termios.h>

#include <algorithm>
#include <regex>

#include "session.h"

namespace {

using namespace session;

// 192.168.7.1-3 on three veth pairs, the default route on nva1 so that 255.255.255.255 has a
// route; all of it goes with the namespace.
strings subnet() {
    strings commands = {"ip link set lo up", "ip link add nva1 type veth peer name nvb1",
                        "ip link add nva2 type veth peer name nvb2",
                        "ip link add nva3 type veth peer name nvb3"};
    for (const std::string n : {"1", "2", "3"})
        commands.insert(commands.end(),
                        {"ip addr add 192.168.7." + n + "/24 brd + dev nva" + n + " noprefixroute",
                         "ip link set nva" + n + " up", "ip link set nvb" + n + " up"});
    commands.insert(commands.end(),
                    {"ip route add 192.168.7.0/24 dev nva1", "ip route add default dev nva1"});
    return commands;
}

// Three instruments hear the broadcast on 0.0.0.0:4455; only the first serves links, on the default
// port 4444. Discovery's window is 8 s by design; this is the one test that waits it out.
TEST(Dialogue, LoopbackFixedAddressAndDiscoveryReachTheDefaultPort) {
    RUN_IN_NAMESPACE("n", subnet());
    proc::TempDir dir;
    proc::Child sims[3];
    for (int i = 0; i < 3; ++i) {
        const std::string n = std::to_string(i + 1);
        ASSERT_TRUE(
            sims[i].start({NV52_SIM_BIN, "--bind", "0.0.0.0", "--port", i ? "0" : "4444",
                           "--announce-address", "192.168.7." + n, "--ident", "NV" + n, "--log"},
                          "", dir.file(n + ".log")));
        ASSERT_NE(sims[i].wait_line("listening udp "), "");
    }
    for (const char* name : {"default_port_on_loopback", "fixed_address"}) {
        std::string typed;
        const std::string want = screen(name, &typed);
        EXPECT_EQ(nv_term(typed).output, want) << name;
    }
    // Discovery: choice 3 is refused (three rows: 0 to 2), Enter takes row 0. The rows come in
    // the order the announcements arrived.
    auto r = nv_term("3\n2\n3\n\nve\nq\n");
    EXPECT_EQ(r.exit_code, 0);
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(r.output, m, std::regex("0\\. (\\S+)\n1\\. (\\S+)\n2\\. (\\S+)\n")))
        << r.output;
    strings rows = {m[1], m[2], m[3]}, sorted = rows;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (strings{"192.168.7.1", "192.168.7.2", "192.168.7.3"}));
    EXPECT_EQ(r.output, BANNER + screen("types") + "Select connection type[1]:" + screen("hosts") +
                            "Select host[1]:" + m[0].str() +
                            "Select device[0]:Select device[0]:\n" + screen("menu") + screen("ve") +
                            screen("quit"));
    for (int i = 0; i < 3; ++i) {
        sims[i].stop();
        const std::string log = read_file(dir.file(std::to_string(i + 1) + ".log"));
        const std::string request = "udp discovery request from 192.168.7.";
        EXPECT_TRUE(log.find(request) != std::string::npos &&
                    log.find(request) == log.rfind(request))
            << "one request each\n"
            << log;
        // Each link came from the address it was made to (the interface carrying it).
        for (const std::string& from :
             {std::string("127.0.0.1"), std::string("192.168.7.1"), rows[0]})
            EXPECT_TRUE(i > 0 || log.find("link tcp " + from + ":") != std::string::npos) << log;
    }
}

// /dev made to hold only null and ttyUSB0 (COM1), the pseudo-terminal itself bound there: a node
// made with its numbers does not open (the kernel finds a pty's slave only through devpts), and
// the new /dev hides /dev/pts, so it is reached through a descriptor taken before.
void bind_pty_as_com1(const std::string& pty) {
    int slave = open(pty.c_str(), O_PATH | O_CLOEXEC);
    int null = open("/dev/null", O_PATH | O_CLOEXEC);
    ASSERT_TRUE(slave >= 0 && null >= 0);
    ASSERT_EQ(mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755"), 0) << strerror(errno);
    for (auto [fd, node] : {std::pair{slave, "/dev/ttyUSB0"}, {null, "/dev/null"}}) {
        close(open(node, O_CREAT | O_WRONLY | O_CLOEXEC, 0666));
        const std::string source = "/proc/self/fd/" + std::to_string(fd);
        ASSERT_EQ(mount(source.c_str(), node, nullptr, MS_BIND, nullptr), 0) << strerror(errno);
    }
}

// The port's settings, first set to 9600 7E2 when `spoil`.
termios port_settings(const std::string& path, bool spoil) {
    termios t{};
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_TRUE(fd >= 0 && tcgetattr(fd, &t) == 0) << path << ": " << strerror(errno);
    t.c_cflag = spoil ? (t.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB : t.c_cflag;
    EXPECT_TRUE(!spoil || (cfsetspeed(&t, B9600) == 0 && tcsetattr(fd, TCSANOW, &t) == 0));
    close(fd);
    return t;
}

// On the Windows run the Wine prefix's dosdevices/com1 names the pseudo-terminal: the program
// opens \\.\COM1 as it would on a service bench's PC.
TEST(Dialogue, SerialPortByComNumberReachesThePseudoTerminal) {
    if (!proc::windows_run()) RUN_IN_NAMESPACE("m", {});
    Sim sim;
    ASSERT_TRUE(sim.start({"--pty"}));
    if (proc::windows_run()) {
        // Wine's device manager makes dosdevices/com1 at every start, from the registry's port
        // table when it names COM1 (else from /dev/ttyS0): both are set.
        const char* prefix = getenv("WINEPREFIX");
        ASSERT_NE(prefix, nullptr) << "the Windows run sets WINEPREFIX";
        auto r = proc::run({proc::nv_term_command()[0], "reg", "add", "HKLM\\Software\\Wine\\Ports",
                            "/v", "COM1", "/t", "REG_SZ", "/d", sim.pty(), "/f"});
        ASSERT_EQ(r.exit_code, 0) << r.output;
        const std::string com1 = std::string(prefix) + "/dosdevices/com1";
        unlink(com1.c_str());
        ASSERT_EQ(symlink(sim.pty().c_str(), com1.c_str()), 0) << strerror(errno);
    } else {
        ASSERT_NO_FATAL_FAILURE(bind_pty_as_com1(sim.pty()));
    }
    // Left at other settings by the last program, the port is set to the session's: 115200 8N1.
    const std::string port = proc::windows_run() ? sim.pty() : "/dev/ttyUSB0";
    port_settings(port, true);
    std::string typed;
    const std::string want = screen("com1", &typed);
    const auto r = nv_term(typed);
    EXPECT_EQ(std::pair(r.exit_code, r.output), std::pair(0, want));
    termios t = port_settings(port, false);
    EXPECT_EQ(cfgetospeed(&t), B115200);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8));
}

}  // namespace
