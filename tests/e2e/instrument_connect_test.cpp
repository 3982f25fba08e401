// Reaching the instrument: every connection dialogue path that can run here, the instrument
// that is not recognised, the refused connection and the link lost while the menu runs. The
// fixed address, the loopback default port and discovery's broadcast run only inside a network
// namespace of the test's own; the serial port by COM number only inside a mount namespace
// whose /dev holds nothing but the simulator's pseudo-terminal.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <regex>

#include "comm_peers.h"
#include "e2e.h"
#include "instrument_support.h"

namespace {

using e2e::DISCONNECTED;
using e2e::NOT_CONNECTED;
using e2e::VERSIONS;

const std::string TYPES = "0. No device\n1. USB\n2. COM port\n3. Net\n\n";
const std::string HOSTS =
    "0. 127.0.0.1\n1. 192.168.7.1\n2. Discover host\n3. Enter host\n\nSelect host[1]:";
const std::string CONNECT_ERROR = "\nError connecting device!\n";
// After "Connecting device...": recognised, the menu, "ve", then quit.
const std::string SESSION = "Ok.\n" + e2e::MENU + ">" + VERSIONS + ">" + DISCONNECTED;

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(InstrumentConnect, UnrecognisedInstrumentIsProbedSevenTimesAndGetsNoMenu) {
    proc::TempDir dir;
    e2e::Sim sim;
    ASSERT_TRUE(sim.start({"--refuse-identify"}, dir.file("sim.log")));
    auto r = e2e::nv_term(sim.net_answers() + "ve\nq\n");
    sim.stop();
    ASSERT_FALSE(r.timed_out) << r.output;
    EXPECT_EQ(r.exit_code, 0);
    // The link that never got an instrument stays open until the program shuts the
    // communication down, which closes it.
    EXPECT_EQ(r.output, e2e::BANNER + e2e::NET_DIALOGUE + "Error!\n" +
                            "\nFound device:   " + "Undefined\n\n" + NOT_CONNECTED + DISCONNECTED);
    const std::string log = inst::read_file(dir.file("sim.log"));
    EXPECT_EQ(count_of(log, "rx 8007 get serial"), 7u) << log;
    EXPECT_EQ(count_of(log, "rx "), 7u) << "only probes are sent\n" << log;
}

TEST(InstrumentConnect, RefusedConnectionReportsTheErrorAndEnds) {
    int port = 0;
    {
        TcpPeer closed(false);  // bound, never listening, then released: nobody listens there
        port = closed.port();
    }
    ASSERT_GT(port, 0);
    auto r = e2e::nv_term("3\n3\n127.0.0.1:" + std::to_string(port) + "\nve\nq\n");
    ASSERT_FALSE(r.timed_out) << r.output;
    EXPECT_EQ(r.exit_code, 0);
    // The link's error handler and the dialogue both report the failure; the link's close
    // comes from its own thread, before or after the dialogue's line.
    const std::string head = e2e::BANNER + e2e::NET_DIALOGUE + CONNECT_ERROR;
    std::string out = r.output;
    ASSERT_EQ(out.compare(0, head.size(), head), 0) << r.output;
    EXPECT_TRUE(inst::take_once(&out, DISCONNECTED, head.size())) << r.output;
    EXPECT_EQ(out, head + CONNECT_ERROR);
}

TEST(InstrumentConnect, LinkLostWhileTheMenuRuns) {
    proc::TempDir dir;
    e2e::Sim sim;
    // Frame 1 is the probe, 2 the versions request; the status request closes the link.
    ASSERT_TRUE(sim.start({"--close-after", "3"}, dir.file("sim.log")));
    inst::Session s;
    ASSERT_TRUE(s.start(dir.path()));
    s.send(sim.net_answers() + "ve\nsa\n");
    ASSERT_TRUE(s.wait_for(DISCONNECTED, true)) << s.output();
    ASSERT_TRUE(s.wait_for("Command Q8_cmd_get_status error(code=", true)) << s.output();
    s.send("gt\nq\n");
    auto r = s.finish();
    ASSERT_FALSE(r.timed_out) << r.output;
    EXPECT_EQ(r.exit_code, 0);
    const std::string head = e2e::BANNER + e2e::NET_DIALOGUE + "Ok.\n" + e2e::MENU + ">" + VERSIONS;
    std::string out = r.output, why;
    EXPECT_TRUE(inst::take_once(&out, DISCONNECTED, head.size())) << r.output;
    EXPECT_TRUE(inst::matches_form(out,
                                   head + ">Command Q8_cmd_get_status error(code={n})!\n" + ">" +
                                       NOT_CONNECTED + ">" + NOT_CONNECTED,
                                   &why))
        << why << "\n"
        << r.output;
    const std::string log = inst::read_file(dir.file("sim.log"));
    EXPECT_EQ(count_of(log, "rx 8002 "), 0u) << "gt sent a request without a link\n" << log;
}

// ---- inside namespaces of the test's own ------------------------------------------------------

// What a child returns for one nv-term run: its output, exit code, whether it hung, and the
// simulators' logs.
enum Field { OUTPUT, EXIT_CODE, TIMED_OUT, LISTENING, LOG_A, LOG_B, LOG_C, FIELD_COUNT };

void put_run(std::vector<std::string>* f, const proc::Result& r) {
    f->resize(FIELD_COUNT);
    (*f)[OUTPUT] = r.output;
    (*f)[EXIT_CODE] = std::to_string(r.exit_code);
    (*f)[TIMED_OUT] = r.timed_out ? "1" : "0";
}

#define SKIP_OR_CHECK_RUN(res)                                                          \
    do {                                                                                \
        if (!(res).made) GTEST_SKIP() << "no namespace of our own here: " << (res).why; \
        ASSERT_EQ((res).fields.size(), static_cast<size_t>(FIELD_COUNT));               \
        ASSERT_EQ((res).fields[TIMED_OUT], "0") << (res).fields[OUTPUT];                \
        EXPECT_EQ((res).fields[EXIT_CODE], "0");                                        \
    } while (0)

// Gives the namespace `count` veth pairs nvaN/nvbN, nvaN carrying 192.168.7.N/24 with its
// broadcast address, the subnet and the default route on nva1, so that 255.255.255.255 has a
// route; all of it lives and dies with the namespace.
bool add_subnet(int count, std::string* why) {
    const std::string ip = inst::ip_tool();
    if (ip.empty()) {
        *why = "the 'ip' tool (iproute2) is not installed";
        return false;
    }
    for (int i = 1; i <= count; ++i) {
        const std::string n = std::to_string(i), a = "nva" + n, b = "nvb" + n;
        if (!inst::sh_ok({ip, "link", "add", a, "type", "veth", "peer", "name", b}, why) ||
            !inst::sh_ok({ip, "addr", "add", "192.168.7." + n + "/24", "brd", "+", "dev", a,
                          "noprefixroute"},
                         why) ||
            !inst::sh_ok({ip, "link", "set", a, "up"}, why) ||
            !inst::sh_ok({ip, "link", "set", b, "up"}, why))
            return false;
    }
    return inst::sh_ok({ip, "route", "add", "192.168.7.0/24", "dev", "nva1"}, why) &&
           inst::sh_ok({ip, "route", "add", "default", "dev", "nva1"}, why);
}

TEST(InstrumentConnect, LoopbackHostChoiceReachesTheDefaultPort) {
    proc::TempDir dir;
    auto res = inst::run_isolated(CLONE_NEWNET, [&](std::vector<std::string>* f, std::string*) {
        proc::Background sim;
        f->resize(FIELD_COUNT);
        if (!sim.start({NV52_SIM_BIN, "--log"}, dir.file("a.log"))) return true;
        (*f)[LISTENING] = sim.wait_line("listening tcp ");
        // Refused on the way: type 4 (no Bluetooth here), host choice 4, a 19-character host.
        put_run(f, e2e::nv_term("4\n3\n4\n0\n1234567890123456789\n\nve\nq\n"));
        sim.stop();
        (*f)[LOG_A] = inst::read_file(dir.file("a.log"));
        return true;
    });
    SKIP_OR_CHECK_RUN(res);
    EXPECT_EQ(res.fields[LISTENING], "127.0.0.1:4444");
    EXPECT_EQ(res.fields[OUTPUT],
              e2e::BANNER + TYPES + "Select connection type[1]:" + "Select connection type[1]:" +
                  HOSTS + "Select host[1]:" + "Enter host[127.0.0.1]:Enter host[127.0.0.1]:" +
                  "\nConnecting device..." + SESSION);
    EXPECT_NE(res.fields[LOG_A].find("link tcp 127.0.0.1:"), std::string::npos)
        << res.fields[LOG_A];
}

TEST(InstrumentConnect, FixedAddressHostChoiceReachesTheInstrumentThere) {
    proc::TempDir dir;
    auto res = inst::run_isolated(CLONE_NEWNET, [&](std::vector<std::string>* f, std::string* why) {
        if (!add_subnet(1, why)) return false;
        proc::Background sim;
        f->resize(FIELD_COUNT);
        if (!sim.start({NV52_SIM_BIN, "--bind", "192.168.7.1", "--log"}, dir.file("a.log")))
            return true;
        (*f)[LISTENING] = sim.wait_line("listening tcp ");
        put_run(f, e2e::nv_term("3\n1\n\nve\nq\n"));
        sim.stop();
        (*f)[LOG_A] = inst::read_file(dir.file("a.log"));
        return true;
    });
    SKIP_OR_CHECK_RUN(res);
    EXPECT_EQ(res.fields[LISTENING], "192.168.7.1:4444");
    EXPECT_EQ(res.fields[OUTPUT], e2e::BANNER + TYPES + "Select connection type[1]:" + HOSTS +
                                      "Enter host[192.168.7.1]:" + "\nConnecting device..." +
                                      SESSION);
    EXPECT_NE(res.fields[LOG_A].find("link tcp 192.168.7.1:"), std::string::npos)
        << res.fields[LOG_A];
}

// The discovery window is 8 s by design; this is the one test that waits it out.
TEST(InstrumentConnect, DiscoveryListsThreeInstrumentsAndEnterTakesTheFirst) {
    proc::TempDir dir;
    auto res = inst::run_isolated(CLONE_NEWNET, [&](std::vector<std::string>* f, std::string* why) {
        if (!add_subnet(3, why)) return false;
        f->resize(FIELD_COUNT);
        // All three hear the broadcast on 0.0.0.0:4455; only the first serves links on 4444,
        // which every listed address reaches, each from its own interface.
        proc::Background sims[3];
        const char* ident[] = {"NVA", "NVB", "NVC"};
        for (int i = 0; i < 3; ++i) {
            const std::string n = std::to_string(i + 1);
            if (!sims[i].start(
                    {NV52_SIM_BIN, "--bind", "0.0.0.0", "--port", i == 0 ? "4444" : "0",
                     "--announce-address", "192.168.7." + n, "--ident", ident[i], "--log"},
                    dir.file("sim" + n + ".log")) ||
                sims[i].wait_line("listening udp ").empty())
                return true;
        }
        // Choice 3 is refused (three rows: 0 to 2), Enter takes row 0.
        put_run(f, e2e::nv_term("3\n2\n3\n\nve\nq\n"));
        for (int i = 0; i < 3; ++i) {
            sims[i].stop();
            (*f)[LOG_A + i] = inst::read_file(dir.file("sim" + std::to_string(i + 1) + ".log"));
        }
        return true;
    });
    SKIP_OR_CHECK_RUN(res);
    const std::string& out = res.fields[OUTPUT];
    // The rows come in the order the announcements arrived.
    std::smatch m;
    const std::string head = e2e::BANNER + TYPES + "Select connection type[1]:" + HOSTS;
    ASSERT_TRUE(std::regex_search(out, m, std::regex("0\\. (\\S+)\n1\\. (\\S+)\n2\\. (\\S+)\n")))
        << out;
    std::vector<std::string> rows = {m[1], m[2], m[3]};
    std::vector<std::string> sorted = rows;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<std::string>{"192.168.7.1", "192.168.7.2", "192.168.7.3"}));
    EXPECT_EQ(out, head + m[0].str() +
                       "Select device[0]:Select device[0]:" + "\nConnecting device..." + SESSION);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(count_of(res.fields[LOG_A + i], "udp discovery request from 192.168.7."), 1u)
            << res.fields[LOG_A + i];
    // The link came from the address of row 0 (the interface carrying it is the source).
    EXPECT_NE(res.fields[LOG_A].find("link tcp " + rows[0] + ":"), std::string::npos)
        << res.fields[LOG_A];
}

TEST(InstrumentConnect, SerialPortByComNumberReachesThePseudoTerminal) {
    e2e::Sim sim;
    ASSERT_TRUE(sim.start({"--pty"}));
    auto res = inst::run_isolated(CLONE_NEWNS, [&](std::vector<std::string>* f, std::string* why) {
        // /dev here holds only null and ttyUSB0, the simulator's pseudo-terminal: COM1. A
        // node made with the terminal's numbers does not open (the kernel finds a pty's slave
        // only through its own file system), so the terminal itself is bound there, reached
        // through a descriptor taken before the new /dev hides /dev/pts.
        int slave = open(sim.pty().c_str(), O_PATH | O_CLOEXEC);
        const std::string source = "/proc/self/fd/" + std::to_string(slave);
        int made = -1;
        if (slave < 0 || mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0 ||
            mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) != 0 ||
            (made = open("/dev/ttyUSB0", O_CREAT | O_WRONLY | O_CLOEXEC, 0600)) < 0 ||
            mount(source.c_str(), "/dev/ttyUSB0", nullptr, MS_BIND, nullptr) != 0) {
            *why = std::string("a private /dev: ") + strerror(errno);
            return false;
        }
        close(made);
        close(slave);
        // Ports 0 and 256 are refused, Enter takes port 1.
        put_run(f, e2e::nv_term("2\n0\n256\n\nve\nq\n"));
        return true;
    });
    SKIP_OR_CHECK_RUN(res);
    EXPECT_EQ(res.fields[OUTPUT], e2e::BANNER + TYPES + "Select connection type[1]:" +
                                      "Select COM port[1]:Select COM port[1]:Select COM port[1]:" +
                                      "\nConnecting device..." + SESSION);
}

}  // namespace
