// Frame makers, and link procedures that write what happened into one journal, so a test can
// check the order of probes, callbacks and handlers.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_comm.h"
#include "qxx_comm.h"

namespace link_test {

using fake_comm::Bytes;

inline Bytes frame(int code, const Bytes& payload = {}, int param = 0, int status = 0) {
    Bytes f(payload.size() + QXX_FRAME_OVERHEAD);
    qxx_build_frame(f.data(), code, payload.data(), static_cast<int>(payload.size()), param,
                    status);
    return f;
}
inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
inline Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

inline std::vector<std::string> journal;
inline int probe_result = 0;
inline void note(const std::string& s) {
    journal.push_back(s);
}

// The instrument's identification: ask the serial number, accept its reply when it starts 'C'.
inline int probe(int handle, int tries) {
    note("probe " + std::to_string(tries));
    int r = QXX_send_cmd(handle, 8007, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, 100, 0);
    return r != 0 ? r : probe_result;
}
inline int test_probe(int handle, const unsigned char* f, int* type_id, int tries) {
    note("test_probe " + std::to_string(qxx_frame_code(f)) + " " + std::to_string(tries));
    *type_id = 12;
    QXX_set_cmd_num_try(handle, 3);
    return qxx_frame_code(f) == 9007 && qxx_frame_length(f) > 1 && f[QXX_OFF_PAYLOAD] == 'C';
}
inline int handler_a(int, void*, const unsigned char* f, int user) {
    note("a " + std::to_string(qxx_frame_code(f)) + " user " + std::to_string(user));
    return 0;
}
inline int handler_b(int, void*, const unsigned char* f, int) {
    note("b " + std::to_string(qxx_frame_code(f)));
    return 0;
}
inline int on_connected(int handle, void*, int type_id, int user) {
    note("connected " + std::to_string(type_id) + " user " + std::to_string(user));
    QXX_hook_async_event(handle, 9007, handler_a);
    return 0;
}
inline int on_conn_error(int, void*, int user) {
    note("error user " + std::to_string(user));
    return 0;
}
inline int on_disconnected(int, void*, int user) {
    note("disconnected user " + std::to_string(user));
    return 0;
}

// Starts every test from a clean fake and an empty discovery list; closes what a test left
// open, so each link context is released (the leak checker watches).
class LinkTest : public testing::Test {
  protected:
    void SetUp() override {
        fake_comm::reset();
        journal.clear();
        probe_result = 0;
        QXX_net_broadcast_reset_list();
    }
    void TearDown() override {
        for (int h : fake_comm::open_handles()) fake_comm::close(h);
    }

  public:
    // Opens a link with the full set of procedures (`identify`) or with none at all.
    static int open(bool identify, int user = 42) {
        int h = -1;
        EXPECT_EQ(identify
                      ? QXX_connect("link", &h, on_connected, on_conn_error, on_disconnected, probe,
                                    test_probe, user)
                      : QXX_connect("link", &h, nullptr, nullptr, nullptr, nullptr, nullptr, user),
                  0);
        return h;
    }
    static QXX_conn_ctx* ctx(int handle) {
        return static_cast<QXX_conn_ctx*>(fake_comm::context_of(handle));
    }
    static std::vector<Bytes> filled() {
        std::vector<Bytes> out;
        for (const auto& f : fake_comm::st().fills) out.push_back(f.second);
        return out;
    }
};

}  // namespace link_test
