// Test support for whole programs: nv52-sim as a process on free loopback ports, nv-term run
// to its end, and the console texts every nv-term session is made of.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "process.h"

namespace e2e {

using proc::names_in, proc::read_file, proc::times, proc::write_file;

// nv52-sim on 127.0.0.1 with free TCP and UDP ports (and a pseudo-terminal with "--pty"),
// stopped at the end of the test. Its --log lines go to `log_path` when given.
class Sim {
  public:
    bool start(std::vector<std::string> options = {}, const std::string& log_path = "") {
        std::vector<std::string> args = {NV52_SIM_BIN, "--port", "0", "--discovery-port", "0"};
        args.insert(args.end(), options.begin(), options.end());
        if (!log_path.empty()) args.push_back("--log");
        if (!process_.start(args, "", log_path.empty() ? "/dev/null" : log_path)) return false;
        port_ = port_of(process_.wait_line("listening tcp "));
        udp_port_ = port_of(process_.wait_line("listening udp "));
        for (const auto& o : options)
            if (o == "--pty") pty_ = process_.wait_line("pty ");
        return port_ > 0 && udp_port_ > 0;
    }
    int stop(int sig = SIGTERM) { return process_.stop(sig); }
    int port() const { return port_; }
    int udp_port() const { return udp_port_; }
    const std::string& pty() const { return pty_; }
    // What the operator types at the connection dialogue to reach this simulator: type 3
    // (Net), host choice 3 (Enter host), the host with the port.
    std::string net_answers() const { return "3\n3\n127.0.0.1:" + std::to_string(port_) + "\n"; }

    static int port_of(const std::string& address) {
        size_t colon = address.rfind(':');
        return colon == std::string::npos ? -1 : atoi(address.c_str() + colon + 1);
    }

  private:
    proc::Child process_;
    int port_ = -1, udp_port_ = -1;
    std::string pty_;
};

inline const std::string BANNER = "--- ORVANTIS NV-TERM ---\nver:0.10.0\n\n";
inline const std::string TYPES = "0. No device\n1. USB\n2. COM port\n3. Net\n\n";
inline const std::string HOSTS =
    "0. 127.0.0.1\n1. 192.168.7.1\n2. Discover host\n3. Enter host\n\n";

// The connection dialogue up to "Connecting device..." for network host choice 3 (no
// Bluetooth adapter on the machine).
inline const std::string NET_DIALOGUE = TYPES + "Select connection type[1]:" + HOSTS +
                                        "Select host[1]:Enter host[]:\nConnecting device...";

// The instrument's menu as main_loop prints it after a successful connection.
inline const std::string MENU =
    "\nFound device:   NV-52\n\n"
    "[ he] help\n"
    "[ ve] version    - displays device firmware version\n"
    "[ sa] status     - displays device status\n"
    "[ gt] get time   - displays device date/time\n"
    "[ st] set time   - sets device date/time\n"
    "[ up] upload xfw - uploads firmware file\n"
    "[ fl] flash  fw  - flash firmware\n"
    "[ pw] power off  - Power off device\n"
    "[ as] assay      - start assay\n"
    "[ cs] cs stab    - cs stabilization\n"
    "[  q] quit       - quits program\n";

// Start of a session up to the menu prompt, over the network.
inline const std::string CONNECTED = BANNER + NET_DIALOGUE + "Ok.\n" + MENU;
inline const std::string DISCONNECTED = "\nDevice disconnected!\n";
inline const std::string NOT_CONNECTED = "\nDevice not connected!\n";

// The instrument's versions as the simulator reports them, printed by "ve".
inline const std::string VERSIONS =
    "\nVersions\nOverall\t\t= NV52-2.14.0\nFile system\t= fs-1.8.2\nGui\t\t= gui-3.2.1\n"
    "Talvek\t\t= tv-1.0.7\nGpp\t\t= gpp-0.9.3\nKernel\t\t= 5.10.120-nv52\n\n";

// A text file nv-term wrote, with LF line ends. On the Windows run every line must end in CR LF
// (text mode), read as LF; a bare LF there comes back as "<LF without CR>" so the comparison fails.
inline std::string read_text(const std::string& path) {
    std::string text = read_file(path);
    if (!proc::windows_run()) return text;
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += "<LF without CR>";
        out += text[i];
    }
    return out;
}

// Runs nv-term in `dir` with `input` on standard input; the whole console output, merged.
inline proc::Result nv_term(const std::string& input, const std::string& dir = "",
                            std::vector<std::string> args = {}, int within_ms = 90000) {
    args.insert(args.begin(), NV_TERM_BIN);
    proc::Result r = proc::run(args, input, dir, within_ms);
    // Also when a process it left behind kept its output open: the test waited out the limit.
    EXPECT_FALSE(r.timed_out) << "nv-term's output did not end within the limit";
    return r;
}

}  // namespace e2e
