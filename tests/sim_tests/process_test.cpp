// The command line, and the built nv52-sim as a process: its start lines, the pseudo-terminal,
// its end on a signal.
#include <gtest/gtest.h>

#include <termios.h>

#include "sim_harness.h"

namespace {

int parse(std::vector<std::string> args, sim_options* opt, std::string* error) {
    std::vector<char*> argv{const_cast<char*>("nv52-sim")};
    for (auto& a : args) argv.push_back(a.data());
    return sim_parse_options(static_cast<int>(argv.size()), argv.data(), opt, error);
}

TEST(SimOptions, CommandLines) {
    struct row {
        std::vector<std::string> args;
        int result;
        std::function<bool(const sim_options&)> holds;
    };
    auto any = [](const sim_options&) { return true; };
    const row rows[] = {
        {{},
         SIM_PARSE_OK,
         [](const sim_options& o) {
             return o.bind == "127.0.0.1" && o.port == 4444 && o.discovery_port == 4455 &&
                    o.serial == "C0001234" && !o.pty && o.fail_code.empty();
         }},
        {{"--port", "0", "--discovery-port=0", "--pty", "--log"},
         SIM_PARSE_OK,
         [](const sim_options& o) {
             return o.port == 0 && o.discovery_port == 0 && o.pty && o.log;
         }},
        {{"--fail-code", "8102:1", "--fail-code=8203", "--fail-times", "2"},
         SIM_PARSE_OK,
         [](const sim_options& o) {
             return o.fail_code.size() == 2 && o.fail_code[0].code == 8102 &&
                    o.fail_code[0].status == 1 && o.fail_code[1].code == 8203 &&
                    o.fail_code[1].status == 1 && o.fail_times == 2;
         }},
        {{"--error-reply", "8203", "--error-reply", "8001", "--bind", "::1"},
         SIM_PARSE_OK,
         [](const sim_options& o) { return o.error_reply.size() == 2 && o.bind == "::1"; }},
        {{"--help"}, SIM_PARSE_HELP, any},
        {{"--fail-code", "8102:0"}, SIM_PARSE_ERROR, any},
        {{"--fail-code", "x"}, SIM_PARSE_ERROR, any},
        {{"--port", "65536"}, SIM_PARSE_ERROR, any},
        {{"--port", "12ab"}, SIM_PARSE_ERROR, any},
        {{"--delay-ms"}, SIM_PARSE_ERROR, any},
        {{"--event-ms", "0"}, SIM_PARSE_ERROR, any},
        {{"--serial", "C00012345"}, SIM_PARSE_ERROR, any},
        {{"--ident", "ELEVENCHARS"}, SIM_PARSE_ERROR, any},
        {{"--bind", "localhost"}, SIM_PARSE_ERROR, any},
        {{"--split=1"}, SIM_PARSE_ERROR, any},
        {{"--bogus"}, SIM_PARSE_ERROR, any},
    };
    for (const auto& r : rows) {
        sim_options opt;
        std::string error;
        std::string line;
        for (const auto& a : r.args) line += a + " ";
        EXPECT_EQ(parse(r.args, &opt, &error), r.result) << line;
        EXPECT_TRUE(r.holds(opt)) << line;
        EXPECT_EQ(error.empty(), r.result != SIM_PARSE_ERROR) << line << error;
    }
}

TEST(SimProcess, HelpNamesEveryOptionAndBadLinesExit2) {
    char* buf = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&buf, &len);
    sim_print_usage(out);
    fclose(out);
    std::string help(buf, len);
    free(buf);
    for (const char* o : {"--bind",
                          "--port",
                          "--discovery-port",
                          "--pty",
                          "--serial",
                          "--refuse-identify",
                          "--usb-mode",
                          "--erase-ms",
                          "--event-ms",
                          "--events",
                          "--ident",
                          "--name",
                          "--announce-address",
                          "--drop-every",
                          "--delay-ms",
                          "--corrupt-header-every",
                          "--corrupt-payload-every",
                          "--status-replies",
                          "--error-reply",
                          "--fail-code",
                          "--fail-times",
                          "--close-after",
                          "--split",
                          "--log",
                          "--help"})
        EXPECT_NE(help.find(std::string("  ") + o + " "), std::string::npos) << o;

    SimProcess h({"--help"});
    EXPECT_EQ(h.line(), "Usage: nv52-sim [OPTION]...");
    EXPECT_EQ(h.wait_exit(), 0);
    SimProcess bad({"--port", "x"});
    EXPECT_EQ(bad.wait_exit(), 2);
}

TEST(SimProcess, PortInUseExits1) {
    InProcessSim busy;
    SimProcess p({"--port", std::to_string(busy.port()), "--discovery-port", "0"});
    EXPECT_EQ(p.wait_exit(), 1);
}

TEST(SimProcess, ServesTcpAndPtyAndEndsOnSigterm) {
    SimProcess p({"--port", "0", "--discovery-port", "0", "--pty", "--event-ms", "20"});
    std::string tcp = p.line(), udp = p.line(), pty = p.line();
    ASSERT_EQ(tcp.rfind("listening tcp 127.0.0.1:", 0), 0u) << tcp;
    ASSERT_EQ(udp.rfind("listening udp 127.0.0.1:", 0), 0u) << udp;
    ASSERT_EQ(pty.rfind("pty /dev/", 0), 0u) << pty;
    {
        SimClient c(port_of(tcp));
        EXPECT_EQ(c.call(8007).code, 9007);
    }

    // Over the pseudo-terminal, as a serial console would: identification and a spectrum.
    for (int round = 0; round < 2; ++round) {
        int fd = open(pty.substr(4).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        termios t;
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
        SimClient c = SimClient::adopt(fd);
        EXPECT_EQ(c.call(8007).code, 9007) << round;
        ASSERT_EQ(c.call(8309).status, 0);
        EXPECT_EQ(c.event(10002).i32(2), 1024);
        ASSERT_EQ(c.call(8309).status, 0);  // stop, so the next round starts one again
    }
    // The pty's peer went away: the next TCP link is served.
    SimClient again(port_of(tcp));
    EXPECT_EQ(again.call(8203).code, 9203);

    p.signal(SIGTERM);
    EXPECT_EQ(p.wait_exit(), 0);
}

}  // namespace
