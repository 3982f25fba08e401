// A link's events from opening to closing (probes, giving up, the idle discard, errors, kinds
// that do nothing), opening a link, the idle-wait callback, and the discovery list.
#include <cstring>

#include "link_support.h"

namespace link_test {
namespace {

using Events = LinkTest;

const Bytes PROBE = frame(8007, {}, 100);  // the probe's command: serial number, 100 ms
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
    int h = -1;
    ASSERT_EQ(identify ? QXX_connect("link", &h, on_connected, on_conn_error, on_disconnected,
                                     probe, test_probe, 42)
                       : QXX_connect("link", &h, nullptr, nullptr, nullptr, nullptr, nullptr, 42),
              0);
    for (size_t i = 0; i < events.size(); ++i) {
        const Raise& e = events[i];
        journal.clear();
        EXPECT_EQ(fake_comm::raise(h, e.kind, e.bytes), e.result) << name << " event " << i;
        EXPECT_EQ(journal, e.lines) << name << " event " << i;
    }
}

std::vector<std::string> probes(int first, int last) {
    std::vector<std::string> out;
    for (int i = first; i <= last; ++i) out.push_back("probe " + std::to_string(i));
    return out;
}

using L = std::vector<std::string>;
constexpr int OPENED = COMM_EVENT_OPENED, IDLE = COMM_EVENT_IDLE, DATA = COMM_EVENT_DATA;

// Seven probes at most: one on opening (not counted), six on idle events; the seventh idle
// event releases the waiter and gives up, and so does every one after it.
TEST_F(Events, ProbingUntilTheDeviceAnswersOrTheLinkGivesUp) {
    std::vector<Raise> silent = {{OPENED, {}, 0, {"probe 0"}}};
    for (int i = 0; i < 6; ++i) silent.push_back({IDLE, {}, 0, probes(i, i)});
    silent.push_back({IDLE, {}, -1, {}});
    silent.push_back({IDLE, {}, -1, {}});
    run_events(true, silent, "silent");
    EXPECT_EQ(fake_comm::st().writes.size(), 7u);
    for (const auto& w : fake_comm::st().writes) EXPECT_EQ(w.bytes, PROBE);
    EXPECT_EQ(fake_comm::st().signals[1], 2);
    EXPECT_EQ(ctx(1)->identified, 0);

    // The answer after the second idle probe; from then on idle sends nothing.
    run_events(true,
               {{OPENED, {}, 0, {"probe 0"}},
                {IDLE, {}, 0, {"probe 0"}},
                {IDLE, {}, 0, {"probe 1"}},
                {DATA, ANSWER, 0, {"test_probe 9007 2", "connected 12 user 42", "a 9007 user 42"}},
                {IDLE, {}, 0, {}},
                {IDLE, {}, 0, {}}},
               "answered");
    EXPECT_EQ(fake_comm::st().writes.size(), 3u);
    EXPECT_EQ(fake_comm::st().signals[1], 1);

    // A probe that cannot be sent: -1, and the try is not counted.
    probe_result = 1;
    run_events(
        true,
        {{OPENED, {}, -1, {"probe 0"}}, {IDLE, {}, -1, {"probe 0"}}, {IDLE, {}, -1, {"probe 0"}}},
        "unsent");
    probe_result = 0;
    EXPECT_EQ(ctx(1)->probe_tries, 0);

    // Without procedures the tries are counted all the same.
    std::vector<Raise> bare = {{OPENED, {}, 0, {}}};
    for (int i = 0; i < 6; ++i) bare.push_back({IDLE, {}, 0, {}});
    bare.push_back({IDLE, {}, -1, {}});
    run_events(false, bare, "bare");
    EXPECT_EQ(fake_comm::st().signals[1], 1);
    EXPECT_EQ(fake_comm::st().writes.size(), 0u);
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

    // A data event without bytes is nothing.
    run_events(false, {{DATA, {}, 0, {}}}, "empty");
    EXPECT_TRUE(filled().empty());
}

// Idle ends half a frame on an identified link only: on a link still probing, the frame goes on.
TEST_F(Events, IdleDiscardsHalfAFrameOnceIdentified) {
    const Bytes f = frame(10002, text("spectrum"));
    for (bool identified : {false, true}) {
        fake_comm::reset();
        int h = open(true);
        if (identified) fake_comm::deliver(h, ANSWER);
        fake_comm::st().fills.clear();
        // In the magic, then in the header, then the rest; then the frame once more, whole.
        for (auto [from, to] : {std::pair(0, 3), std::pair(3, 15)}) {
            fake_comm::deliver(h, Bytes(f.begin() + from, f.begin() + to));
            EXPECT_EQ(fake_comm::raise(h, IDLE), 0);
        }
        fake_comm::deliver(h, Bytes(f.begin() + 15, f.end()));
        fake_comm::deliver(h, f);
        EXPECT_EQ(filled(), (identified ? std::vector<Bytes>{f} : std::vector<Bytes>{f, f}))
            << identified;
        fake_comm::close(h);
    }
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

// A full table with the default handler set refuses even that same default once more.
TEST_F(Events, AFullTableRefusesItsOwnDefaultAgain) {
    const int h = open(false);
    ASSERT_EQ(QXX_hook_async_event(h, 65535, handler_b), 0);
    for (int i = 0; i < 254; ++i) ASSERT_EQ(QXX_hook_async_event(h, 20000 + i, handler_a), 0);
    EXPECT_EQ(QXX_hook_async_event(h, 65535, handler_b), -1);
    EXPECT_EQ(QXX_hook_async_event(h, 20000, handler_a), 0);  // already there
}

// The listing rewrites the tags of the entries it found and of no entry after them.
TEST_F(Events, UsbListingLeavesTheRestOfTheListAlone) {
    fake_comm::st().usb_entries = {"USBS:1-2/c44"};
    comm_dev_entry list[3] = {};
    std::strcpy(list[1], "USBS:1-3/c44");
    std::strcpy(list[2], "USBS:1-4/c44");
    int count = 0;
    EXPECT_EQ(QXX_list_usb_devices(list, 3, &count), 0);
    EXPECT_EQ(count, 1);
    EXPECT_STREQ(list[0], "USBF:1-2/c44");
    EXPECT_STREQ(list[1], "USBS:1-3/c44");
    EXPECT_STREQ(list[2], "USBS:1-4/c44");
}

// ---- discovery -----------------------------------------------------------------------------

Bytes announcement(const std::string& ident, const std::string& address, const std::string& name,
                   size_t size = QXX_ANNOUNCE_SIZE) {
    Bytes p(std::max<size_t>(size, QXX_ANNOUNCE_SIZE), 0);
    std::memcpy(p.data(), ident.data(), ident.size());
    std::memcpy(p.data() + 10, address.data(), address.size());
    std::memcpy(p.data() + 26, name.data(), name.size());
    p.resize(size);
    return frame(8600, p);
}
// A row as text: "ident|address|name", each field at most its width.
std::string row(const QXX_net_device& r) {
    return std::string(r.ident, strnlen(r.ident, 10)) + "|" +
           std::string(r.address, strnlen(r.address, 16)) + "|" +
           std::string(r.name, strnlen(r.name, 40));
}
std::vector<std::string> listed() {
    QXX_message_list list;
    std::memset(&list, 0xEE, sizeof list);
    QXX_broadcast_list(&list);
    std::vector<std::string> out;
    for (int i = 0; i < QXX_NET_DEVICES; ++i) {
        if (i < list.count) {
            out.push_back(row(list.rows[i]));
        } else {
            const QXX_net_device empty{};
            EXPECT_EQ(std::memcmp(&list.rows[i], &empty, sizeof empty), 0) << "row " << i;
        }
    }
    return out;
}

using Discovery = LinkTest;

// Each datagram is parsed on its own: rows in order of arrival, one per ident, at most 20.
TEST_F(Discovery, TheList) {
    const std::string full_ident = "0123456789", full_address = "192.168.100.200x";
    const std::string full_name = std::string(40, 'n');
    std::vector<Bytes> many;
    std::vector<std::string> first20;
    for (int i = 0; i < 22; ++i) {
        many.push_back(announcement("id" + std::to_string(i), "10.0.0." + std::to_string(i), ""));
        if (i < 20)
            first20.push_back("id" + std::to_string(i) + "|10.0.0." + std::to_string(i) + "|");
    }
    const Bytes other = frame(9007, text("C1"));
    struct {
        const char* name;
        std::vector<Bytes> datagrams;
        std::vector<std::string> rows;
        std::vector<Bytes> fills;  // offered to the capture with handle 0
    } cases[] = {
        {"a duplicate keeps the first",
         {announcement("nv1", "10.0.0.1", "one"), announcement("nv1", "10.0.0.9", "again"),
          announcement("nv2", "", "two")},
         {"nv1|10.0.0.1|one", "nv2||two"},
         {}},
        {"fields of full width, and text after a NUL",
         {announcement(full_ident, full_address, full_name),
          announcement(std::string("ab\0cd", 5), std::string("1.2\0.3", 6), "x")},
         {full_ident + "|" + full_address + "|" + full_name, "ab|1.2|x"},
         {}},
        {"short and long payloads",
         {announcement("short", "10.0", "", 12), announcement("long", "", "nm", 80)},
         {"short|10|", "long||nm"},
         {}},
        {"idents differing after a NUL are the same",
         {announcement(std::string("ab\0x", 4), "1", ""),
          announcement(std::string("ab\0y", 4), "2", "")},
         {"ab|1|"},
         {}},
        {"an announcement and a frame in one datagram, both parsed",
         {announcement("nv3", "10.0.0.3", "") + other},
         {"nv3|10.0.0.3|"},
         {other}},
        {"a frame split over two datagrams is lost",
         {Bytes(other.begin(), other.begin() + 5), Bytes(other.begin() + 5, other.end())},
         {},
         {}},
        {"twenty of twenty-two", many, first20, {}},
    };
    for (const auto& c : cases) {
        fake_comm::reset();
        EXPECT_EQ(QXX_net_broadcast_register(nullptr, nullptr), 0);
        for (const Bytes& d : c.datagrams)
            EXPECT_EQ(QXX_broadcast_event_proc(d.data(), static_cast<int>(d.size())), 0);
        EXPECT_EQ(listed(), c.rows) << c.name;
        std::vector<std::pair<int, Bytes>> fills;
        for (const Bytes& f : c.fills) fills.emplace_back(0, f);
        EXPECT_EQ(fake_comm::st().fills, fills) << c.name;
    }
    // The list stays until a new registration or a reset.
    EXPECT_EQ(listed().size(), 20u);
    EXPECT_EQ(QXX_net_broadcast_deregister(), 0);
    EXPECT_EQ(listed().size(), 20u);
    QXX_net_broadcast_register(nullptr, nullptr);
    EXPECT_EQ(listed().size(), 0u);
    const Bytes one = announcement("nv1", "a", "b");
    QXX_broadcast_event_proc(one.data(), static_cast<int>(one.size()));
    EXPECT_EQ(QXX_net_broadcast_reset_list(), 0);
    EXPECT_EQ(listed().size(), 0u);
}

// An announcement on a link lands in the list and goes nowhere else; QXX_broadcast_event tells
// an announcement (new or known) from any other code.
TEST_F(Discovery, AnnouncementOnALinkAndTheEventItself) {
    const int h = open(true);
    QXX_hook_async_event(h, 8600, handler_b);
    QXX_hook_async_event(h, 65535, handler_b);
    const Bytes a = announcement("nv7", "10.7.7.7", "seven");
    fake_comm::deliver(h, a + a);
    EXPECT_EQ(journal, L{});
    EXPECT_TRUE(filled().empty());
    EXPECT_EQ(listed(), L{"nv7|10.7.7.7|seven"});
    EXPECT_EQ(QXX_broadcast_event(8600, a.data()), 0);
    EXPECT_EQ(QXX_broadcast_event(8600 + 65536, a.data()), 0);
    EXPECT_EQ(QXX_broadcast_event(8601, a.data()), 1);
    EXPECT_EQ(QXX_broadcast_event(8600, nullptr), 1);
    EXPECT_EQ(listed().size(), 1u);
}

}  // namespace
}  // namespace link_test
