// Helpers of the firmware, fault and bad-input end-to-end tests: whole sessions of nv-term
// against nv52-sim, files in a temporary directory, the simulator's request log.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e.h"

namespace session {

// Every run of nv-term is bounded; a hang fails the test instead of blocking it.
constexpr int RUN_LIMIT_MS = 90000;

// What the console shows from the start up to the first menu prompt, over the network.
inline std::string connected_start() {
    return e2e::BANNER + e2e::NET_DIALOGUE + "Ok.\n" + e2e::MENU;
}

// The end of a session that quits with the link still up.
inline const std::string QUIT_CONNECTED = ">\nDevice disconnected!\n";
// The end of a session that quits after the link went away.
inline const std::string QUIT_UNLINKED = ">\nDevice not connected!\n";

inline const std::string NOT_CONNECTED = "\nDevice not connected!\n";

// The instrument's versions as the simulator reports them, printed by "ve".
inline const std::string VERSIONS =
    "\nVersions\n"
    "Overall\t\t= NV52-2.14.0\n"
    "File system\t= fs-1.8.2\n"
    "Gui\t\t= gui-3.2.1\n"
    "Talvek\t\t= tv-1.0.7\n"
    "Gpp\t\t= gpp-0.9.3\n"
    "Kernel\t\t= 5.10.120-nv52\n"
    "\n";

inline std::string command_error(const std::string& name, int code) {
    return "Command " + name + " error(code=" + std::to_string(code) + ")!\n";
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// A simulator and a directory for one session; the simulator logs its requests to a file there.
struct Bench {
    proc::TempDir dir;
    e2e::Sim sim;
    std::string log_path = dir.file("sim.log");

    bool start(std::vector<std::string> options = {}) { return sim.start(options, log_path); }

    // Runs nv-term in the directory: the network dialogue to the simulator, then `commands`.
    proc::Result run(const std::string& commands) {
        return e2e::nv_term(sim.net_answers() + commands, dir.path(), {}, RUN_LIMIT_MS);
    }

    // The simulator's answers, one "REQUEST:STATUS" per request in arrival order ("8102:1"); a
    // request that was not answered (the link closed on it, a dropped reply) shows as "CODE:-".
    // Stops the simulator so that its log is complete.
    std::vector<std::string> requests() {
        sim.stop();
        std::vector<std::string> out;
        std::istringstream log(read_file(log_path));
        static const std::regex rx(R"(\] rx (\d+) )"), answer(R"(-> \d+ .*?status (\d+))");
        for (std::string line; std::getline(log, line);) {
            std::smatch m, a;
            if (line.find(" dropped (--drop-every)") != std::string::npos && !out.empty())
                out.back() = out.back().substr(0, out.back().find(':')) + ":-";
            if (!std::regex_search(line, m, rx)) continue;
            bool answered = std::regex_search(line, a, answer);
            out.push_back(m[1].str() + ":" + (answered ? a[1].str() : "-"));
        }
        return out;
    }
};

// The requests other than the identification probes (8007) that opened the link.
inline std::vector<std::string> after_probes(std::vector<std::string> requests) {
    size_t i = 0;
    while (i < requests.size() && requests[i].rfind("8007:", 0) == 0) ++i;
    return std::vector<std::string>(requests.begin() + static_cast<long>(i), requests.end());
}

}  // namespace session
