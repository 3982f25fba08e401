// The connection dialogue, every path that can run here, with good and bad answers: refused
// numbers, garbage, lines longer than the buffer, NUL bytes, the end of input, a refused
// connection. The loopback default port, the fixed address and discovery's broadcast run only
// inside a network namespace of the test's own; the serial port by COM number only inside a
// mount namespace whose /dev holds nothing but the simulator's pseudo-terminal.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <regex>

#include "comm_peers.h"
#include "session.h"

namespace {

using namespace session;

const std::string TYPE_PROMPT = "Select connection type[1]:";
const std::string NO_LINK = "\nConnecting device...\nError connecting device!\n";
const std::string LONG_ANSWER = std::string(1023, '7') + "\n";  // fills the answer buffer
const std::string GARBAGE = "9999\n-9999\nabc\n\xff\xfe\n\x1b[A\n99999999999999999999\n";
constexpr int GARBAGE_LINES = 6;
// After "Connecting device...": recognised, the menu, "ve", then quit.
const std::string SESSION = "Ok.\n" + MENU + ">" + VERSIONS + QUIT_CONNECTED;

TEST(Dialogue, AnswersAtEveryPromptOverLoopback) {
    const std::string host_prompt = "Select host[1]:", typed_host = "Enter host[]:";
    const std::string usb_none = "0. No device\n\nSelect device[0]:";
    const struct {
        const char* name;
        std::string input;   // PORT: the simulator's port; NOBODY: a port nobody listens on
        std::string output;  // after the banner
    } cases[] = {
        {"type 0: no device", "0\n", TYPES + TYPE_PROMPT + NO_LINK},
        {"type: refused answers, then the end of input keeps USB, which finds none", GARBAGE,
         TYPES + times(TYPE_PROMPT, GARBAGE_LINES + 1) + usb_none + NO_LINK},
        {"type: a NUL byte reads as an empty answer",
         std::string("\0"
                     "3\n",
                     3),
         TYPES + TYPE_PROMPT + usb_none + NO_LINK},
        {"type: a line longer than the buffer, then its newline keeps USB", LONG_ANSWER + "3\n",
         TYPES + times(TYPE_PROMPT, 2) + "0. No device\n\n" + times("Select device[0]:", 2) +
             NO_LINK},
        {"USB device: refused answers, then the end of input keeps no device",
         "1\n" + GARBAGE + "1\n",
         TYPES + TYPE_PROMPT + "0. No device\n\n" + times("Select device[0]:", GARBAGE_LINES + 2) +
             NO_LINK},
        {"host: refused answers, a 19-character host, then the simulator",
         "3\n" + GARBAGE + "3\n" + std::string(19, 'h') + "\n" + LONG_ANSWER.substr(0, 300) +
             "\n127.0.0.1:PORT\nve\nq\n",
         TYPES + TYPE_PROMPT + HOSTS + times(host_prompt, GARBAGE_LINES + 1) +
             times(typed_host, 3) + "\nConnecting device..." + SESSION},
        // A name whose addresses (::1 first on Windows) are tried in turn within the time-out.
        {"host: localhost", "3\n3\nlocalhost:PORT\nve\nq\n", NET_DIALOGUE + SESSION},
        {"host: the end of input leaves no host to connect to", "3\n3\n",
         TYPES + TYPE_PROMPT + HOSTS + host_prompt + typed_host + NO_LINK},
        {"host: a line longer than the buffer keeps the empty host", "3\n3\n" + LONG_ANSWER,
         TYPES + TYPE_PROMPT + HOSTS + host_prompt + times(typed_host, 2) + NO_LINK},
        // Both the link's error handler and the dialogue report; the link's close comes from
        // its own thread, before or after the dialogue's line.
        {"host: the connection is refused", "3\n3\n127.0.0.1:NOBODY\nve\nq\n",
         NET_DIALOGUE + "\nError connecting device!\n\nError connecting device!\n"},
    };
    Sim sim;
    ASSERT_TRUE(sim.start());
    TcpPeer nobody(false);  // bound, never listening: every connection is refused
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string input = c.input;
        for (auto [token, port] : {std::pair{"PORT", sim.port()}, {"NOBODY", nobody.port()}})
            for (size_t at; (at = input.find(token)) != std::string::npos;)
                input.replace(at, strlen(token), std::to_string(port));
        proc::Result r = nv_term(input);
        EXPECT_EQ(r.exit_code, 0);
        std::string out = r.output;
        EXPECT_TRUE(c.input.find("NOBODY") == std::string::npos ||
                    take_once(&out, DISCONNECTED, (BANNER + NET_DIALOGUE).size()))
            << out;
        EXPECT_EQ(out, BANNER + c.output);
    }
}

// ---- inside namespaces of the test's own ------------------------------------------------------

// Three veth pairs nvaN/nvbN, nvaN carrying 192.168.7.N/24 with its broadcast address, the
// subnet and the default route on nva1, so that 255.255.255.255 has a route; all of it lives
// and dies with the namespace.
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

// Three instruments hear the broadcast on 0.0.0.0:4455; only the first serves links, on the
// default port 4444, which loopback, the fixed address and every listed address reach. The
// discovery window is 8 s by design; this is the one test that waits it out.
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
    // Host choice 0 on loopback, with type 4 (no Bluetooth here), host choice 4 and a
    // 19-character host refused on the way; host choice 1, the fixed address.
    auto r = nv_term("4\n3\n4\n0\n1234567890123456789\n\nve\nq\n");
    EXPECT_EQ(r.output, BANNER + TYPES + times(TYPE_PROMPT, 2) + HOSTS +
                            times("Select host[1]:", 2) + times("Enter host[127.0.0.1]:", 2) +
                            "\nConnecting device..." + SESSION);
    r = nv_term("3\n1\n\nve\nq\n");
    EXPECT_EQ(r.output, BANNER + TYPES + TYPE_PROMPT + HOSTS + "Select host[1]:" +
                            "Enter host[192.168.7.1]:\nConnecting device..." + SESSION);
    // Discovery: choice 3 is refused (three rows: 0 to 2), Enter takes row 0. The rows come in
    // the order the announcements arrived.
    r = nv_term("3\n2\n3\n\nve\nq\n");
    EXPECT_EQ(r.exit_code, 0);
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(r.output, m, std::regex("0\\. (\\S+)\n1\\. (\\S+)\n2\\. (\\S+)\n")))
        << r.output;
    strings rows = {m[1], m[2], m[3]}, sorted = rows;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (strings{"192.168.7.1", "192.168.7.2", "192.168.7.3"}));
    EXPECT_EQ(r.output, BANNER + TYPES + TYPE_PROMPT + HOSTS + "Select host[1]:" + m[0].str() +
                            "Select device[0]:Select device[0]:\nConnecting device..." + SESSION);
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

// /dev of this mount namespace made to hold only null and ttyUSB0, the pseudo-terminal `pty`:
// COM1. A node made with the terminal's numbers does not open (the kernel finds a pty's slave
// only through its own file system), so the terminal itself is bound there, reached through a
// descriptor taken before the new /dev hides /dev/pts.
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

// COM1 is the simulator's pseudo-terminal. On the Windows run COM1 is what the Wine prefix's
// dosdevices/com1 names, made the simulator's pseudo-terminal: the program opens \\.\COM1 as it
// would on a service bench's PC.
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
    // Ports out of range and garbage are refused, Enter takes port 1.
    auto r = nv_term("2\n0\n256\n" + GARBAGE + "\nve\nq\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.output, BANNER + TYPES + TYPE_PROMPT + times("Select COM port[1]:", 9) +
                            "\nConnecting device..." + SESSION);
}

}  // namespace
