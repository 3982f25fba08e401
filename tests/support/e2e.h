// Whole programs: nv52-sim as a process on free loopback ports, nv-term run to its end.
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
    const std::string& pty() const { return pty_; }
    // The dialogue's answers that reach this simulator: type 3 (Net), host 3 (Enter host), address.
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

inline proc::Result nv_term(const std::string& input, const std::string& dir = "",
                            std::vector<std::string> args = {}, int within_ms = 90000) {
    args.insert(args.begin(), NV_TERM_BIN);
    proc::Result r = proc::run(args, input, dir, within_ms);
    // Also when a process it left behind kept its output open: the test waited out the limit.
    EXPECT_FALSE(r.timed_out) << "nv-term's output did not end within the limit";
    return r;
}

}  // namespace e2e
