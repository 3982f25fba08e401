// Shared by the instrument's console tests: a fixture with a connected fake link, frames,
// records and a scratch directory.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
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

// A frame with `code` and `payload`, exactly as long as its length field says: a handler that
// reads past it reads past the vector.
inline Bytes frame_of(int code, const Bytes& payload) {
    Bytes f(payload.size() + QXX_FRAME_OVERHEAD);
    qxx_build_frame(f.data(), code, payload.data(), static_cast<int>(payload.size()), 0, 0);
    return f;
}

inline Bytes pattern(size_t n, unsigned seed = 1) {
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 7;
    for (auto& v : b) {
        x = x * 1103515245u + 12345u;
        v = static_cast<unsigned char>(x >> 16);
    }
    return b;
}

inline void set_i32(Bytes& b, int off, int32_t v) {
    put_i32le(b.data() + off, v);
}
inline void set_u16(Bytes& b, int off, uint16_t v) {
    put_u16le(b.data() + off, v);
}
inline void set_u32(Bytes& b, int off, uint32_t v) {
    put_u32le(b.data() + off, v);
}
inline void set_f32(Bytes& b, int off, float v) {
    put_f32le(b.data() + off, v);
}

inline std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

// A command line as the menu hands it over: writable, ending with the newline.
struct Line {
    explicit Line(const std::string& s) { snprintf(buf, sizeof buf, "%s", s.c_str()); }
    char buf[255];
};

// The link is up (handle 7) unless a test says otherwise; sleeps are recorded, not slept.
class Q8Test : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_qxx::reset();
        connected = 1;
        id_conn = 7;
        dev_type = 12;
        sleeps().clear();
        nv_sleep_ms = [](int ms) {
            sleeps().push_back(ms);
            if (on_sleep()) on_sleep()();
        };
        on_sleep() = nullptr;
    }
    void TearDown() override { connected = 0; }

    static std::vector<int>& sleeps() {
        static std::vector<int> s;
        return s;
    }
    static std::function<void()>& on_sleep() {
        static std::function<void()> f;
        return f;
    }
    static fake_qxx::Reply reply(const Bytes& payload, int result = 0) {
        fake_qxx::Reply r;
        r.result = result;
        r.payload = payload;
        return r;
    }
    static fake_qxx::Reply failure(int result) { return reply({}, result); }
};

// Runs a test inside a fresh directory of its own (the spectrum file goes to the current one).
class ScratchDir {
  public:
    ScratchDir() {
        char tmpl[] = "/tmp/nv_q8_XXXXXX";
        const char* made = mkdtemp(tmpl);
        if (made == nullptr) abort();
        dir_ = made;
        old_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
    }
    ~ScratchDir() {
        std::filesystem::current_path(old_);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

  private:
    std::filesystem::path dir_, old_;
};
