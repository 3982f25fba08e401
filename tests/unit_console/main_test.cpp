// The link's event handlers, against the fake link. (The connection dialogue, "eth", the
// modes by the number of arguments and the discovery datagrams: data/connect.txt.)
#include "fixture.h"

namespace {

using Main = Linked;

// The handlers keep the shared state and print their lines under "MAIN", not as errors; an
// NV-52 gets its event handlers registered on the link that found it.
TEST_F(Main, LinkEventHandlers) {
    using Hooks = std::vector<std::pair<int, int>>;
    const auto hooked = [] {
        Hooks out;
        for (const auto& [handle, code, handler] : fake_qxx::st().hooks)
            out.emplace_back(handle, code);
        return out;
    };
    Console con;
    connected = 0;
    EXPECT_EQ(QXX_event_connected(5, nullptr, 12, 0), 0);
    EXPECT_EQ(std::pair(connected.load(), dev_type.load()), std::pair(1, 12));
    EXPECT_EQ(
        hooked(),
        (Hooks{
            {5, 10003}, {5, 10002}, {5, 10005}, {5, 10007}, {5, 10010}, {5, 10012}, {5, 10015}}));
    fake_qxx::reset();
    connected = 0;
    EXPECT_EQ(QXX_event_connected(6, nullptr, 5, 0), 0);
    EXPECT_EQ(std::pair(connected.load(), dev_type.load()), std::pair(1, 5));
    EXPECT_EQ(hooked(), Hooks{});
    EXPECT_EQ(con.out(), "");

    EXPECT_EQ(QXX_event_connection_error(6, nullptr, 0), 0);
    EXPECT_EQ(connected.load(), 0);
    connected = 1;
    EXPECT_EQ(QXX_event_disconnected(6, nullptr, 0), 0);
    EXPECT_EQ(connected.load(), 0);
    EXPECT_EQ(dev_type.load(), 5);  // the last kind stays
    EXPECT_EQ(QXX_event_device_list_changed(nullptr), 0);
    EXPECT_EQ(con.out(), "\nError connecting device!\n\nDevice disconnected!\n");
    EXPECT_EQ(con.err(), "");
}

}  // namespace
