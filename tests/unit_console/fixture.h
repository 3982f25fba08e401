// Shared by the console units' tests: a linked instrument on the fake link, files and frames.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "console.h"
#include "escapes.h"
#include "process.h"
#include "fake_qxx.h"
#include "main.h"
#include "q5_cmds.h"
#include "qxx_cmds.h"
#include "qxx_frame.h"

using Bytes = std::vector<unsigned char>;
using Handler = std::function<int(char*, int)>;
using Strings = std::vector<std::string>;

inline Bytes frame_of(int code, const Bytes& payload) {
    Bytes f(payload.size() + QXX_FRAME_OVERHEAD);
    qxx_build_frame(f.data(), code, payload.data(), static_cast<int>(payload.size()), 0, 0);
    return f;
}
inline Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
inline void write_file(const std::string& path, const Bytes& d) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(d.data()), d.size());
}
inline Bytes read_file(const std::string& path) {
    return text(proc::read_file(path));
}

// The words of a line: blanks separate them except inside quotes.
inline std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (!quoted && isspace(static_cast<unsigned char>(line[i]))) {
            if (!out.back().empty()) out.emplace_back();
            continue;
        }
        if (line[i] == '"') quoted = !quoted;
        out.back() += line[i];
        if (line[i] == '\\' && i + 1 < line.size()) out.back() += line[++i];
    }
    if (out.back().empty()) out.pop_back();
    return out;
}
inline std::string quoted(const std::string& w) {
    return escapes::unescaped(std::string_view(w).substr(1, w.size() - 2));
}

inline std::vector<std::pair<int, std::string>> data_lines(const std::string& name) {
    auto out = proc::data_lines(std::string(NV_SOURCE_DIR) + "/tests/unit_console/data/" + name);
    EXPECT_FALSE(out.empty()) << name;
    return out;
}

inline size_t open_descriptors() {
    namespace fs = std::filesystem;
    return static_cast<size_t>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

// Bytes that differ from their neighbours and from their place, so that a slice taken from the
// wrong offset or a word moved shows. The first n bytes of a longer pattern are the same.
inline Bytes pattern(size_t n) {
    Bytes b(n);
    uint32_t x = 2654435761u + 12345;
    for (auto& c : b) {
        x = x * 1103515245u + 12345;
        c = static_cast<unsigned char>(x >> 16);
    }
    return b;
}

// The pauses the program asked for, recorded instead of slept, and what to do at each.
inline std::vector<int> sleeps;
inline std::function<void()> on_sleep;

// The link up (handle 7, an NV-52); a fresh folder open to all, as writers also run as nobody.
class Linked : public testing::Test {
  protected:
    void SetUp() override {
        fake_qxx::reset();
        connected = 1;
        id_conn = 7;
        dev_type = 12;
        sleeps.clear();
        on_sleep = nullptr;
        nv_sleep_ms = [](int ms) {
            sleeps.push_back(ms);
            if (on_sleep) on_sleep();
        };
        char name[] = "/tmp/nv-console-XXXXXX";
        dir = mkdtemp(name);
        chmod(dir.c_str(), 0755);
        old = std::filesystem::current_path();
        std::filesystem::current_path(dir);
    }
    void TearDown() override {
        connected = 0;
        std::filesystem::current_path(old);
        std::filesystem::remove_all(dir);
    }
    std::string dir;
    std::filesystem::path old;
};
