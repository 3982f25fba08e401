// The receive parser, identification by probing, and dispatch to the handler table.
#include "link_support.h"

namespace link_test {
namespace {

using Parser = LinkTest;

// Every stream is fed whole, one byte per data event, and in odd-sized pieces: the frames
// offered to the reply capture must be the same each time.
TEST_F(Parser, RecognisesFramesHoweverTheStreamIsSplit) {
    const Bytes good = frame(9203, text("payload"), 7, 0);
    const Bytes other = frame(10002, text("xy"), 1, 0);
    Bytes bad_header = frame(9001, text("abc"));
    bad_header[QXX_OFF_HDR_XOR] ^= 0x01;
    Bytes bad_data = frame(9001, text("abc"));
    bad_data.back() ^= 0x01;
    Bytes big_payload(65534, 0x11);
    const Bytes biggest = frame(9004, big_payload);  // length 65535: the largest a header says
    const Bytes zzorv = text("ZZORV") + Bytes(good.begin() + 4, good.end());

    struct Case {
        const char* name;
        Bytes stream;
        std::vector<Bytes> expected;
    } cases[] = {
        {"one frame", good, {good}},
        {"noise first", text("\x01\x02ZO garbage") + good, {good}},
        {"two frames", good + other, {good, other}},
        {"second Z breaks the magic", zzorv, {}},
        {"second Z then a good frame", zzorv + other, {other}},
        {"bad header then good", bad_header + good, {good}},
        {"bad payload xor then good", bad_data + good, {good}},
        {"length 0 is a 12-byte frame", bare_header(10005) + good, {bare_header(10005), good}},
        {"largest frame", biggest + good, {biggest, good}},
    };
    for (const auto& c : cases) {
        for (size_t piece : {size_t{0}, size_t{1}, size_t{5}, size_t{4096}}) {
            fake_comm::reset();
            int h = open(false);
            size_t step = piece == 0 ? c.stream.size() : piece;
            for (size_t at = 0; at < c.stream.size(); at += step) {
                size_t n = std::min(step, c.stream.size() - at);
                ASSERT_EQ(
                    fake_comm::deliver(h, Bytes(c.stream.begin() + at, c.stream.begin() + at + n)),
                    0);
            }
            EXPECT_EQ(filled(), c.expected) << c.name << ", pieces of " << piece;
            fake_comm::close(h);
        }
    }
}

// Only the low eight bits of the kind count; unknown kinds do nothing.
TEST_F(Parser, EventKinds) {
    const int h = open(true, 5);
    const Bytes f = frame(10002);
    struct Case {
        int kind;
        const char* note;
        size_t fills;
    } cases[] = {
        {0, nullptr, 0},
        {4, nullptr, 0},
        {7, nullptr, 0},
        {255, nullptr, 0},
        {0x105, "test_probe 10002 0", 1},
        {0x200, nullptr, 0},
        {COMM_EVENT_ERROR, "error user 5", 0},
    };
    for (const auto& c : cases) {
        journal().clear();
        const size_t before = fake_comm::fills().size();
        EXPECT_EQ(QXX_event_proc(h, c.kind, f.data(), static_cast<int>(f.size()), ctx(h)), 0);
        EXPECT_EQ(fake_comm::fills().size() - before, c.fills) << c.kind;
        EXPECT_EQ(journal(), c.note ? std::vector<std::string>{c.note} : std::vector<std::string>{})
            << c.kind;
    }
    // The context of a closed link is released by CLOSED (the leak checker would see it).
    QXX_conn_ctx* owned = new QXX_conn_ctx();
    owned->user = 9;
    owned->on_disconnected = on_disconnected;
    journal().clear();
    EXPECT_EQ(QXX_event_proc(3, COMM_EVENT_CLOSED, nullptr, 0, owned), 0);
    EXPECT_EQ(journal(), std::vector<std::string>{"disconnected user 9"});
}

// The accepted identification reply runs the connected callback, then the handler that callback
// registered, then the capture; the test probe is never asked again.
TEST_F(Parser, IdentificationComesBeforeDispatch) {
    const int h = open(true, 42);
    const Bytes refused = frame(9007, text("X"));
    const Bytes accepted = frame(9007, text("C1234"));
    fake_comm::deliver(h, refused + accepted + accepted);
    EXPECT_EQ(journal(), (std::vector<std::string>{"test_probe 9007 0", "test_probe 9007 0",
                                                   "connected 12 user 42", "a 9007 user 42",
                                                   "a 9007 user 42"}));
    EXPECT_EQ(filled(), (std::vector<Bytes>{refused, accepted, accepted}));
    EXPECT_EQ(fake_comm::signals(h), 1);
    EXPECT_EQ(ctx(h)->identified, 1);
    EXPECT_EQ(ctx(h)->type_id, 12);
    EXPECT_EQ(ctx(h)->num_try.load(), 3);
}

// One probe on open, one on each of six idle events, and the seventh gives up and releases the
// waiter. A probe that cannot be sent fails the event and does not count.
TEST_F(Parser, SevenProbesThenTheWaiterIsReleased) {
    const int h = open(true);
    const Bytes probe_frame = {'Z',  'O',  'R',  'V',  0x47, 0x1F, 0x01,
                               0x00, 0x64, 0x00, 0x00, 0x2C, 0x00};
    EXPECT_EQ(fake_comm::raise(h, COMM_EVENT_OPENED), 0);
    probe_result() = 1;
    EXPECT_EQ(fake_comm::raise(h, COMM_EVENT_IDLE), -1);
    EXPECT_EQ(fake_comm::raise(h, COMM_EVENT_IDLE), -1);
    probe_result() = 0;
    std::vector<int> results;
    for (int i = 0; i < 8; ++i) results.push_back(fake_comm::raise(h, COMM_EVENT_IDLE));
    EXPECT_EQ(results, (std::vector<int>{0, 0, 0, 0, 0, 0, -1, -1}));
    EXPECT_EQ(journal(),
              (std::vector<std::string>{"probe 0", "probe 0", "probe 0", "probe 0", "probe 1",
                                        "probe 2", "probe 3", "probe 4", "probe 5"}));
    const auto writes = fake_comm::writes();
    ASSERT_EQ(writes.size(), 9u);
    for (const auto& w : writes) EXPECT_EQ(w.bytes, probe_frame);
    EXPECT_TRUE(fake_comm::hooks().empty());
    EXPECT_EQ(fake_comm::signals(h), 2);
    EXPECT_EQ(ctx(h)->identified, 0);
    // A probe whose write fails makes OPENED fail too.
    fake_comm::script().write_result = 3;
    EXPECT_EQ(fake_comm::raise(h, COMM_EVENT_OPENED), -1);
}

// Idle ends a half-received frame only once the device is identified.
TEST_F(Parser, IdleDiscardsHalfAFrameOnIdentifiedLinks) {
    const Bytes f = frame(10003, text("0123456789"));
    const Bytes head(f.begin(), f.begin() + 15), tail(f.begin() + 15, f.end());
    for (bool identified : {true, false}) {
        fake_comm::reset();
        int h = open(false);
        ctx(h)->identified = identified;
        fake_comm::deliver(h, head);
        fake_comm::raise(h, COMM_EVENT_IDLE);
        fake_comm::deliver(h, identified ? f : tail);
        EXPECT_EQ(filled(), std::vector<Bytes>{f}) << identified;
        fake_comm::close(h);
    }
}

TEST_F(Parser, HandlerTable) {
    const int h = open(false, 8);
    EXPECT_EQ(QXX_hook_async_event(h, 10002, handler_a), 0);
    EXPECT_EQ(QXX_hook_async_event(h, 10002, handler_a), 0);          // already there
    EXPECT_EQ(QXX_hook_async_event(h, 10002, handler_b), 0);          // stored, never called
    EXPECT_EQ(QXX_hook_async_event(h, 10003 + 65536, handler_b), 0);  // codes are 16-bit
    EXPECT_EQ(QXX_hook_async_event(h + 50, 10004, handler_b), 0);     // no such link: no change
    EXPECT_EQ(ctx(h)->num_hooks, 3);
    fake_comm::deliver(h, frame(10002) + frame(10003) + frame(10004));
    EXPECT_EQ(journal(), (std::vector<std::string>{"a 10002 user 8", "b 10003"}));
    EXPECT_EQ(fake_comm::fills().size(), 3u);  // handled or not, every frame is offered

    journal().clear();
    EXPECT_EQ(QXX_hook_async_event(h, 65535, handler_a), 0);
    EXPECT_EQ(QXX_hook_async_event(h, 65535, default_handler), 0);  // replaces the default
    fake_comm::deliver(h, frame(10004) + frame(10002));
    EXPECT_EQ(journal(), (std::vector<std::string>{"default 10004", "a 10002 user 8"}));
}

// The last entry is shared: 254 specific handlers and the default, or 255 specific ones.
TEST_F(Parser, HandlerTableLimits) {
    for (bool with_default : {true, false}) {
        fake_comm::reset();
        int h = open(false);
        if (with_default) {
            EXPECT_EQ(QXX_hook_async_event(h, 65535, default_handler), 0);
        }
        const int room = with_default ? 254 : 255;
        for (int i = 0; i < room; ++i) ASSERT_EQ(QXX_hook_async_event(h, 20000 + i, handler_a), 0);
        EXPECT_EQ(QXX_hook_async_event(h, 30000, handler_a), -1) << with_default;
        EXPECT_EQ(QXX_hook_async_event(h, 65535, handler_b), -1) << with_default;
        EXPECT_EQ(QXX_hook_async_event(h, 20000, handler_a), 0);  // a duplicate still answers 0
        journal().clear();
        fake_comm::deliver(h, frame(20000 + room - 1) + frame(30000));
        std::vector<std::string> expected = {"a " + std::to_string(20000 + room - 1) + " user 42"};
        if (with_default) expected.push_back("default 30000");
        EXPECT_EQ(journal(), expected);
        fake_comm::close(h);
    }
}

}  // namespace
}  // namespace link_test
