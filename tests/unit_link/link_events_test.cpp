// A link's events from opening to closing, the idle-wait callback, handlers and discovery.
#include <cstring>

#include "link_support.h"

namespace link_test {
namespace {

using Events = LinkTest;

const Bytes ANSWER = frame(9007, text("C1234"));

// One event raised on a link, its result, and the journal lines it adds.
struct Raise {
    int kind;
    Bytes bytes;
    int result;
    std::vector<std::string> lines;
};

// Raises the events in order on a link opened with (`identify`) or without its procedures.
void run_events(bool identify, const std::vector<Raise>& events, const std::string& name) {
    for (int h : fake_comm::open_handles()) fake_comm::close(h);  // released, not leaked
    fake_comm::reset();
    journal.clear();
    const int h = LinkTest::open(identify);
    for (size_t i = 0; i < events.size(); ++i) {
        const Raise& e = events[i];
        journal.clear();
        EXPECT_EQ(fake_comm::raise(h, e.kind, e.bytes), e.result) << name << " event " << i;
        EXPECT_EQ(journal, e.lines) << name << " event " << i;
    }
}

using L = std::vector<std::string>;
constexpr int OPENED = COMM_EVENT_OPENED, IDLE = COMM_EVENT_IDLE, DATA = COMM_EVENT_DATA;

// Opening sends one probe that is not counted as a try (the first idle probe is try 0 again);
// a probe that cannot be sent answers -1.
TEST_F(Events, OpeningProbesOnceUncounted) {
    run_events(true, {{OPENED, {}, 0, {"probe 0"}}, {IDLE, {}, 0, {"probe 0"}}}, "opened");
    probe_result = 1;
    run_events(true, {{OPENED, {}, -1, {"probe 0"}}}, "unsent");
    run_events(false, {{OPENED, {}, 0, {}}}, "bare");
    // On an identified link an idle drops a half-received frame: the next one is read whole.
    // Without the idle, the next read completes the half frame first (whose check then fails).
    const L answered = {"a 9007 user 42"};
    for (bool idle : {true, false})
        run_events(true,
                   {{DATA, ANSWER, 0, {"test_probe 9007 0", "connected 12 user 42", answered[0]}},
                    {DATA, Bytes(ANSWER.begin(), ANSWER.begin() + 14), 0, {}},
                    {idle ? IDLE : DATA, idle ? Bytes{} : ANSWER, 0, {}},
                    {DATA, ANSWER, 0, answered}},
                   idle ? "idle drop" : "half first");
}

// Only the low 8 bits of the kind count; unknown kinds do nothing. An error and the close call
// their procedures with the user value; the close releases the context.
TEST_F(Events, KindsErrorAndClose) {
    run_events(
        true,
        {{0, ANSWER, 0, {}},
         {4, ANSWER, 0, {}},
         {7, ANSWER, 0, {}},
         {255, ANSWER, 0, {}},
         {0x100 | DATA, ANSWER, 0, {"test_probe 9007 0", "connected 12 user 42", "a 9007 user 42"}},
         {0x200 | IDLE, {}, 0, {}},
         {COMM_EVENT_ERROR, {}, 0, {"error user 42"}},
         {0x300 | OPENED, {}, 0, {"probe 0"}}},
        "kinds");
    EXPECT_EQ(filled(), std::vector<Bytes>{ANSWER});
    journal.clear();
    EXPECT_EQ(fake_comm::close(1), 0);
    EXPECT_EQ(journal, L{"disconnected user 42"});
    EXPECT_EQ(fake_comm::open_handles(), std::vector<int>{});

    run_events(false, {{DATA, {}, 0, {}}}, "empty");
    EXPECT_TRUE(filled().empty());
}

// Opening: an empty string or a refused connect leaves nothing open; a new link starts
// unidentified with one attempt per transaction and the caller's user value.
TEST_F(Events, Opening) {
    int h = 99;
    EXPECT_EQ(QXX_connect("", &h, nullptr, nullptr, nullptr, nullptr, nullptr, 1), -1);
    EXPECT_EQ(QXX_connect(nullptr, &h, nullptr, nullptr, nullptr, nullptr, nullptr, 1), -1);
    fake_comm::st().connect_result = 5;
    EXPECT_EQ(QXX_connect("link", &h, nullptr, nullptr, nullptr, nullptr, nullptr, 1), -1);
    EXPECT_EQ(h, 99);
    EXPECT_EQ(fake_comm::open_handles(), std::vector<int>{});
    fake_comm::st().connect_result = 0;
    EXPECT_EQ(QXX_connect("link", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 1), 0);
    h = open(true, 77);
    EXPECT_EQ(h, 2);
    const QXX_conn_ctx* c = ctx(h);
    EXPECT_EQ(std::tuple(c->identified, c->user, c->probe_tries, c->num_try.load(), c->num_hooks,
                         c->rx.count),
              std::tuple(0, 77, 0, 1, 0, 0));
    EXPECT_EQ(QXX_wait_connected(h, 25000), 0);
    EXPECT_EQ(QXX_get_conn_state_id(h), COMM_STATE_CONNECTED);
    EXPECT_EQ(QXX_disconnect(h), 0);
}

int waited_code = -1, waited_arg = -1;
int wait_cb(int, uint16_t code, int arg) {
    waited_code = code;
    waited_arg = arg;
    return 17;
}

// The idle-wait callback exists between init and shut; the code reaches it as 16 bits.
TEST_F(Events, IdleWaitCallback) {
    EXPECT_EQ(QXX_idle_wait(1, 5, 6), 0);
    EXPECT_EQ(QXX_init(wait_cb, nullptr, nullptr), 0);
    EXPECT_EQ(QXX_idle_wait(1, 65536 + 9, 6), 17);
    EXPECT_EQ(std::pair(waited_code, waited_arg), std::pair(9, 6));
    EXPECT_EQ(QXX_shut(), 0);
    waited_code = -1;
    EXPECT_EQ(QXX_idle_wait(1, 5, 6), 0);
    EXPECT_EQ(waited_code, -1);
}

// The first handler of a code wins; 65535 is the default for codes without one. The last entry
// is shared: 254 specific handlers and the default, or 255 specific ones. A full table refuses
// even its own default once more.
TEST_F(Events, HandlerTable) {
    for (bool with_default : {true, false}) {
        fake_comm::reset();
        int h = open(false, 8);
        const int room = with_default ? 254 : 255;
        EXPECT_EQ(with_default ? QXX_hook_async_event(h, 65535, handler_b) : 0, 0);
        ASSERT_EQ(QXX_hook_async_event(h, 10002 + 65536, handler_a), 0);  // codes are 16-bit
        ASSERT_EQ(QXX_hook_async_event(h, 10002, handler_b), 0);          // stored, never called
        for (int i = 2; i < room; ++i) ASSERT_EQ(QXX_hook_async_event(h, 20000 + i, handler_a), 0);
        EXPECT_EQ(QXX_hook_async_event(h, 30000, handler_a), -1);
        EXPECT_EQ(QXX_hook_async_event(h, 65535, handler_a), -1);
        EXPECT_EQ(QXX_hook_async_event(h, 65535, handler_b), -1);      // even the same default
        EXPECT_EQ(QXX_hook_async_event(h, 10002, handler_a), 0);       // the first, already there
        EXPECT_EQ(QXX_hook_async_event(h + 50, 10004, handler_b), 0);  // no such link: no change
        EXPECT_EQ(ctx(h)->num_hooks, room);                            // the default is kept apart
        journal.clear();
        fake_comm::deliver(h, frame(10002) + frame(20000 + room - 1) + frame(30000));
        std::vector<std::string> expected = {"a 10002 user 8",
                                             "a " + std::to_string(20000 + room - 1) + " user 8"};
        if (with_default) expected.push_back("b 30000");
        EXPECT_EQ(journal, expected);
        EXPECT_EQ(fake_comm::st().fills.size(), 3u);  // handled or not, every frame is offered
        // The largest frame there is (length 65535) is taken whole, and in two pieces.
        const Bytes biggest = frame(9004, Bytes(65534, 0x11));
        const Bytes head(biggest.begin(), biggest.begin() + 4096);
        fake_comm::deliver(h, biggest);
        EXPECT_EQ(filled().back(), biggest);
        fake_comm::deliver(h, head);
        fake_comm::deliver(h, Bytes(biggest.begin() + 4096, biggest.end()));
        EXPECT_EQ(filled().size(), 5u);
        EXPECT_EQ(filled().back(), biggest);
        fake_comm::close(h);
    }
    // A frame's handler runs before the frame is offered to a waiting transaction.
    fake_comm::reset();
    const int h = open(false);
    QXX_hook_async_event(h, 10005, [](int, void*, const unsigned char*, int) {
        note("offered " + std::to_string(fake_comm::st().fills.size()));
        return 0;
    });
    journal.clear();
    fake_comm::deliver(h, frame(10005) + frame(10005));
    EXPECT_EQ(journal, (L{"offered 0", "offered 1"}));
}

Bytes announcement(const std::string& ident, const std::string& address, const std::string& name) {
    Bytes p(QXX_ANNOUNCE_SIZE, 0);
    std::memcpy(p.data(), ident.data(), ident.size());
    std::memcpy(p.data() + 10, address.data(), address.size());
    std::memcpy(p.data() + 26, name.data(), name.size());
    return frame(8600, p);
}
// A row as text: "ident|address|name", each field whole but for its trailing NULs, so that a
// byte copied past a NUL shows.
std::string row(const QXX_net_device& r) {
    const auto field = [](const char* f, size_t width) {
        std::string s(f, width);
        return s.erase(s.find_last_not_of('\0') + 1);
    };
    return field(r.ident, 10) + "|" + field(r.address, 16) + "|" + field(r.name, 40);
}
std::vector<std::string> listed() {
    QXX_message_list list;
    std::memset(&list, 0xEE, sizeof list);
    QXX_broadcast_list(&list);
    std::vector<std::string> out;
    const QXX_net_device empty{};
    for (int i = 0; i < QXX_NET_DEVICES; ++i) {
        if (i < list.count)
            out.push_back(row(list.rows[i]));
        else
            EXPECT_EQ(std::memcmp(&list.rows[i], &empty, sizeof empty), 0) << "row " << i;
    }
    return out;
}

using Discovery = LinkTest;

// The list stays until a new registration or a reset; rows past its count are empty.
TEST_F(Discovery, TheListsLifetimeAndTheEvent) {
    EXPECT_EQ(QXX_net_broadcast_register(nullptr, nullptr), 0);
    for (int i = 0; i < 22; ++i) {
        const Bytes d = announcement("id" + std::to_string(i), "10.0.0.1", "");
        EXPECT_EQ(QXX_broadcast_event_proc(d.data(), static_cast<int>(d.size())), 0);
    }
    EXPECT_EQ(listed().size(), 20u);
    EXPECT_EQ(QXX_net_broadcast_deregister(), 0);
    EXPECT_EQ(listed().size(), 20u);
    QXX_net_broadcast_register(nullptr, nullptr);
    EXPECT_EQ(listed().size(), 0u);
    const Bytes one = announcement("nv1", "a", "b");
    QXX_broadcast_event_proc(one.data(), static_cast<int>(one.size()));
    EXPECT_EQ(listed(), L{"nv1|a|b"});
    EXPECT_EQ(QXX_net_broadcast_reset_list(), 0);
    EXPECT_EQ(listed().size(), 0u);
    // QXX_broadcast_event tells an announcement (new or known) from any other code.
    const Bytes a = announcement("nv7", "10.7.7.7", "seven");
    EXPECT_EQ(QXX_broadcast_event(8600, a.data()), 0);
    EXPECT_EQ(QXX_broadcast_event(8600 + 65536, a.data()), 0);
    EXPECT_EQ(QXX_broadcast_event(8601, a.data()), 1);
    EXPECT_EQ(QXX_broadcast_event(8600, nullptr), 1);
    EXPECT_EQ(listed().size(), 1u);
    // Idents that differ only in their last byte are two instruments; a field ends at its NUL,
    // so what follows the NUL neither shows nor tells two instruments apart.
    QXX_net_broadcast_reset_list();
    using std::string_literals::operator""s;
    for (const Bytes& d : {announcement("123456789a", "10.0.0.1", "one"),
                           announcement("123456789b", "10.0.0.2", "two"),
                           announcement("nv\0ab"s, "10.0.0.3\0:99"s, "three\0\x1b[2J"s),
                           announcement("nv\0cd"s, "10.0.0.4", "four")})
        QXX_broadcast_event_proc(d.data(), static_cast<int>(d.size()));
    EXPECT_EQ(listed(),
              (L{"123456789a|10.0.0.1|one", "123456789b|10.0.0.2|two", "nv|10.0.0.3|three"}));
}

}  // namespace
}  // namespace link_test
