// Shared by the Q5 console tests: a connected device on the fake link, a fixed PC clock, the
// little-endian request images and a scratch directory.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "console.h"
#include "fake_qxx.h"
#include "q5_cmds.h"
#include "qxx_cmds.h"

namespace q5test {

using Bytes = std::vector<unsigned char>;

inline struct tm fixed_clock {};

inline void fixed_now(struct tm* now) {
    *now = fixed_clock;
}

inline void set_clock(int year, int month, int day, int hour, int minute, int second) {
    fixed_clock = {};
    fixed_clock.tm_year = year - 1900;
    fixed_clock.tm_mon = month - 1;
    fixed_clock.tm_mday = day;
    fixed_clock.tm_hour = hour;
    fixed_clock.tm_min = minute;
    fixed_clock.tm_sec = second;
}

// Six little-endian i32, as set-time sends them.
inline Bytes time_bytes(std::initializer_list<int> fields) {
    Bytes out;
    for (int f : fields)
        for (int shift = 0; shift < 32; shift += 8)
            out.push_back(static_cast<unsigned char>(static_cast<uint32_t>(f) >> shift));
    return out;
}

inline Bytes text_bytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// A device is linked with handle 7; the clock stands at a fixed time.
class Q5Test : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_qxx::reset();
        connected = 1;
        id_conn = 7;
        saved_clock_ = Q5_local_now;
        Q5_local_now = fixed_now;
        set_clock(2026, 12, 6, 1, 58, 3);
    }
    void TearDown() override {
        connected = 0;
        id_conn = -1;
        Q5_local_now = saved_clock_;
    }

  private:
    q5_clock_proc saved_clock_ = nullptr;
};

// A scratch directory removed with everything in it.
class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/nv-q5-XXXXXX";
        path_ = mkdtemp(name) ? name : "";
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string path(const std::string& name) const { return path_ + "/" + name; }
    const std::string& root() const { return path_; }
    // The names in the directory.
    std::set<std::string> names() const {
        std::set<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(path_))
            out.insert(e.path().filename().string());
        return out;
    }

  private:
    std::string path_;
};

inline void write_file(const std::string& path, const Bytes& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline Bytes read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace q5test
