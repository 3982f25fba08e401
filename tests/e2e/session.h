// Helpers of the firmware, fault and bad-input end-to-end tests: whole sessions of nv-term
// against nv52-sim, files in a temporary directory, the simulator's request log.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e.h"
#include "qxx_frame.h"

namespace session {

// Every run of nv-term is bounded; a hang fails the test instead of blocking it.
constexpr int RUN_LIMIT_MS = 90000;

using e2e::DISCONNECTED;
using e2e::NOT_CONNECTED;
using e2e::read_file;
using e2e::VERSIONS;
using e2e::write_file;

inline std::string connected_start() { return e2e::CONNECTED; }

// The end of a session that quits with the link still up, or after the link went away.
inline const std::string QUIT_CONNECTED = ">" + DISCONNECTED;
inline const std::string QUIT_UNLINKED = ">" + NOT_CONNECTED;

inline std::string command_error(const std::string& name, int code) {
    return "Command " + name + " error(code=" + std::to_string(code) + ")!\n";
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

// ---- firmware containers ----------------------------------------------------------------

// A raw image whose bytes differ from block to block, so a block written at the wrong place
// changes the checksum the simulator computes.
inline std::string raw_image(size_t size) {
    std::string raw(size, '\0');
    for (size_t i = 0; i < size; ++i) raw[i] = static_cast<char>((i * 7 + i / 48000 + 3) & 0xFF);
    return raw;
}

inline uint32_t word(const std::string& b, size_t at) {
    return get_u32le(reinterpret_cast<const unsigned char*>(b.data()) + at);
}

inline void put_word(std::string& b, size_t at, uint32_t v) {
    put_u32le(reinterpret_cast<unsigned char*>(b.data()) + at, v);
}

// The two checksums of a raw image padded to whole words: before and after scrambling.
struct Sums {
    uint32_t raw = 0, enc = 0;
};
inline Sums sums_of(std::string raw) {
    raw.resize((raw.size() + 3) / 4 * 4, '\0');
    Sums s;
    for (uint32_t i = 0; i < raw.size() / 4; ++i) {
        s.raw ^= word(raw, 4 * i);
        s.enc ^= word(raw, 4 * i) ^ (i * i * i * i);
    }
    return s;
}

inline std::string hex8(uint32_t v) {
    char text[16];
    snprintf(text, sizeof text, "0x%.8x", v);
    return text;
}

inline std::string hex(uint32_t v) {
    char text[16];
    snprintf(text, sizeof text, "0x%x", v);
    return text;
}

// What "nv-term cxfw RAW XFW 1.5" prints for a raw image that could be read.
inline std::string cxfw_text(const std::string& raw_name, const std::string& xfw_name, Sums s) {
    return e2e::BANNER + "Creating firmware version 1.5...\nReading file " + raw_name +
           "...Ok.\nRaw checksum:" + hex8(s.raw) + "\nEnc checksum:" + hex8(s.enc) +
           "\nVersion:1.5\nWriting file " + xfw_name + "...";
}

// Builds a scrambled container version 1.5 of `raw` as `xfw_name` in the bench's directory.
inline Sums make_container(Bench& b, const std::string& raw, const std::string& xfw_name) {
    write_file(b.dir.file("fw.tar"), raw);
    auto r = proc::run({NV_TERM_BIN, "cxfw", "fw.tar", xfw_name, "1.5"}, "", b.dir.path());
    Sums s = sums_of(raw);
    EXPECT_EQ(r.output, cxfw_text("fw.tar", xfw_name, s) + "Ok.\n");
    EXPECT_EQ(r.exit_code, 0);
    return s;
}

// The upload's console text up to the erase, for a container of `size` image bytes.
inline std::string upload_head(const std::string& name, uint32_t size, Sums s) {
    return ">Enter XFW file name[nv52fw.xfw]:Reading file " + name + "...Ok (size=" + hex(size) +
           ",flags=0x01).\nVersion:1.05\nEncrypted:0x01\nCalc raw checksum:" + hex8(s.raw) +
           "\nCalc enc checksum:" + hex8(s.enc) + "\nFile raw checksum:" + hex8(s.raw) +
           "\nFile enc checksum:" + hex8(s.enc) + "\n";
}

inline std::string blocks_ok(int total) {
    std::string out;
    for (int n = 1; n <= total; ++n)
        out += "Writing block " + std::to_string(n) + " of " + std::to_string(total) + "...Ok.\n";
    return out;
}

// The flash command's text up to its outcome.
inline std::string flash_head(const std::string& name, Sums s) {
    return ">Enter XFW file name[nv52fw.xfw]:Reading file " + name + "...Ok.\nEncrypted:0x01\n" +
           "Raw checksum:" + hex8(s.raw) + "\nEnc checksum:" + hex8(s.enc) +
           "\nStarting memory flashing process...";
}

}  // namespace session
