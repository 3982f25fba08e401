// The command line, and the built nv52-sim as a process: its start lines, the pseudo-terminal,
// its log, its exit codes.
#include <gtest/gtest.h>

#include <termios.h>

#include <fstream>
#include <sstream>

#include "sim_harness.h"

namespace {

TEST(SimOptions, DefaultsAndExitCodes) {
    sim_options opt;
    EXPECT_TRUE(opt.bind == "127.0.0.1" && opt.port == 4444 && opt.discovery_port == 4455);
    // A wrong line exits with 2 and starts nothing.
    for (const char* bad :
         {"--fail-code 8102:0", "--port 65536", "--port 1x", "--delay-ms", "--event-ms 0",
          "--serial C00012345", "--ident ELEVENCHARS", "--bind localhost", "--split=1", "--bogus"})
        EXPECT_EQ(SimProcess(words_of(bad)).wait_exit(), 2) << bad;
    SimProcess help({"--help"});
    EXPECT_EQ(help.line(), "Usage: nv52-sim [OPTION]...");
    EXPECT_EQ(help.wait_exit(), 0);
    InProcessSim busy;
    EXPECT_EQ(SimProcess(words_of("--discovery-port 0 --port " + std::to_string(busy.port())))
                  .wait_exit(),
              1);
}

TEST(SimProcess, ServesTcpAndPtyLogsAndEndsOnSignals) {
    std::string log_path = testing::TempDir() + "nv52-sim-" + std::to_string(getpid()) + ".log";
    SimProcess p(words_of("--port 0 --discovery-port 0 --pty --event-ms 20 --log"),
                 log_path.c_str());
    std::string tcp = p.line(), udp = p.line(), pty = p.line();
    ASSERT_EQ(tcp.rfind("listening tcp 127.0.0.1:", 0), 0u) << tcp;
    ASSERT_EQ(udp.rfind("listening udp 127.0.0.1:", 0), 0u) << udp;
    ASSERT_EQ(pty.rfind("pty /dev/", 0), 0u) << pty;
    {
        SimClient c(connect_loopback(port_of(tcp)));
        bytes bad = make_frame(8203);
        bad[11] ^= 1;
        c.send_raw(bad);
        EXPECT_EQ(c.call(8007).code, 9007);
    }
    // As a serial console would, twice: identification and a spectrum through the pty.
    for (int round = 0; round < 2; ++round) {
        int fd = open(pty.substr(4).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t;
        ASSERT_EQ(tcgetattr(fd, &t), 0);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
        SimClient c(fd);
        EXPECT_EQ(c.call(8007).code, 9007) << round;
        ASSERT_EQ(c.call(8309).status, 0);
        EXPECT_EQ(c.event(10002).i32(2), 1024);
        ASSERT_EQ(c.call(8309).status, 0);  // stop, so the next round starts one again
    }
    // The pty's peer went away: the next TCP link is served.
    EXPECT_EQ(SimClient(connect_loopback(port_of(tcp))).call(8203).code, 9203);
    p.signal(SIGINT);
    EXPECT_EQ(p.wait_exit(), 0);

    std::stringstream log;
    log << std::ifstream(log_path).rdbuf();
    for (const char* line : {"] link tcp 127.0.0.1:", "] dropped a frame: bad header checksum",
                             "] rx 8007 get serial (0 bytes) -> 9007 reply status 0 (8 bytes)",
                             "] link pty /dev/", "] event 10002 spectrum (4326 bytes)"})
        EXPECT_NE(log.str().find(line), std::string::npos) << line;
    unlink(log_path.c_str());
}

}  // namespace
