// The receive parser, identification, and dispatch to the handler table.
#include "link_support.h"

namespace link_test {
namespace {

using Parser = LinkTest;

// Every stream is fed whole, one byte per data event, and in odd-sized pieces: the frames
// offered to the reply capture must be the same each time.
TEST_F(Parser, RecognisesFramesHoweverTheStreamIsSplit) {
    const Bytes good = frame(9203, text("payload"), 7, 0), other = frame(10002, text("xy"), 1, 0);
    Bytes bad_header = frame(9001, text("abc")), bad_data = bad_header;
    bad_header[QXX_OFF_HDR_XOR] ^= 0x01;
    bad_data.back() ^= 0x01;
    const Bytes biggest = frame(9004, Bytes(65534, 0x11));  // length 65535, the largest there is
    const Bytes zzorv = text("ZZORV") + Bytes(good.begin() + 4, good.end());
    Bytes bare(QXX_HEADER_SIZE, 0);  // length 0: a 12-byte frame without payload checksum
    std::copy(QXX_MAGIC, QXX_MAGIC + 4, bare.begin());
    put_u16le(bare.data() + QXX_OFF_CODE, 10005);
    bare[QXX_OFF_HDR_XOR] = qxx_xor(bare.data(), QXX_OFF_HDR_XOR);
    struct {
        Bytes stream;
        std::vector<Bytes> expected;
    } cases[] = {
        {text("\x01\x02ZO garbage") + good + other, {good, other}},
        {zzorv + other, {other}},  // the second Z breaks the magic
        {bad_header + bad_data + good, {good}},
        {bare + good, {bare, good}},
        {biggest + good, {biggest, good}},
    };
    for (const auto& c : cases) {
        for (size_t piece : {c.stream.size(), size_t{1}, size_t{5}, size_t{4096}}) {
            fake_comm::reset();
            int h = open(false);
            for (size_t at = 0; at < c.stream.size(); at += piece) {
                size_t n = std::min(piece, c.stream.size() - at);
                ASSERT_EQ(
                    fake_comm::deliver(h, Bytes(c.stream.begin() + at, c.stream.begin() + at + n)),
                    0);
            }
            EXPECT_EQ(filled(), c.expected) << "pieces of " << piece;
            fake_comm::close(h);
        }
    }
}

// The accepted identification reply runs the connected callback, then the handler that callback
// registered, then the capture; the test probe is never asked again.
TEST_F(Parser, IdentificationComesBeforeDispatch) {
    const int h = open(true, 42);
    const Bytes refused = frame(9007, text("X")), accepted = frame(9007, text("C1234"));
    fake_comm::deliver(h, refused + accepted + accepted);
    EXPECT_EQ(journal, (std::vector<std::string>{"test_probe 9007 0", "test_probe 9007 0",
                                                 "connected 12 user 42", "a 9007 user 42",
                                                 "a 9007 user 42"}));
    EXPECT_EQ(filled(), (std::vector<Bytes>{refused, accepted, accepted}));
    EXPECT_EQ(fake_comm::st().signals[h], 1);
    EXPECT_EQ(std::tuple(ctx(h)->identified, ctx(h)->type_id, ctx(h)->num_try.load()),
              std::tuple(1, 12, 3));
}

// The first handler of a code wins; 65535 is the default for codes without one. The last entry
// is shared: 254 specific handlers and the default, or 255 specific ones.
TEST_F(Parser, HandlerTable) {
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
        EXPECT_EQ(QXX_hook_async_event(h + 50, 10004, handler_b), 0);  // no such link: no change
        EXPECT_EQ(ctx(h)->num_hooks, room);                            // the default is kept apart
        journal.clear();
        fake_comm::deliver(h, frame(10002) + frame(20000 + room - 1) + frame(30000));
        std::vector<std::string> expected = {"a 10002 user 8",
                                             "a " + std::to_string(20000 + room - 1) + " user 8"};
        if (with_default) expected.push_back("b 30000");
        EXPECT_EQ(journal, expected);
        EXPECT_EQ(fake_comm::st().fills.size(), 3u);  // handled or not, every frame is offered
        fake_comm::close(h);
    }
}

}  // namespace
}  // namespace link_test
