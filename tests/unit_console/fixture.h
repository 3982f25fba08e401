// Shared by the console units' tests: a linked instrument on the fake link, run inside a scratch
// directory of its own, and the makers of frames and answers.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "console.h"
#include "fake_qxx.h"
#include "main.h"
#include "qxx_cmds.h"
#include "qxx_frame.h"

using Bytes = std::vector<unsigned char>;

inline Bytes frame_of(int code, const Bytes& payload) {
    Bytes f(payload.size() + QXX_FRAME_OVERHEAD);
    qxx_build_frame(f.data(), code, payload.data(), static_cast<int>(payload.size()), 0, 0);
    return f;
}
inline Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
inline std::string times(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}
inline fake_qxx::Reply answer(int result, Bytes payload = {}) {
    return {result, payload};
}

// The link is up (handle 7, an NV-52) unless a test says otherwise; sleeps are recorded, not
// slept; the current directory is a fresh one, open to every user.
class Linked : public testing::Test {
  protected:
    void SetUp() override {
        fake_qxx::reset();
        connected = 1;
        id_conn = 7;
        dev_type = 12;
        sleeps().clear();
        on_sleep() = nullptr;
        nv_sleep_ms = [](int ms) {
            sleeps().push_back(ms);
            if (on_sleep()) on_sleep()();
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
    static std::vector<int>& sleeps() {
        static std::vector<int> s;
        return s;
    }
    static std::function<void()>& on_sleep() {
        static std::function<void()> f;
        return f;
    }
    // A command run on a typed line with `input` on standard input: its result and output.
    template <class Command>
    static std::pair<int, std::string> run(Command cmd, std::string line,
                                           const std::string& input = "") {
        Console con(input);
        int r = cmd(line.data(), 0);
        return {r, con.out()};
    }
    std::string dir;
    std::filesystem::path old;
};
