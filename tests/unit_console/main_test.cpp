// The connection dialogue's paths that need a USB bus, a Bluetooth controller or a network
// other than loopback (names from the devices and the network shown escaped), and the "eth"
// mode's failures and retries, against the fake link.
#include "fixture.h"

int nv_term_main(int argc, char** argv);

namespace {

class Main : public Linked {
  protected:
    void SetUp() override {
        Linked::SetUp();
        connected = 0;
    }
    static int eth() {
        std::string arg0 = "nv-term", arg1 = "eth";
        char* argv[] = {arg0.data(), arg1.data(), nullptr};
        return nv_term_main(2, argv);
    }
};

const std::string TYPES = "0. No device\n1. USB\n2. COM port\n3. Net\n";
const std::string START = TYPES + "\nSelect connection type[1]:";
const std::string BT_START = TYPES + "4. Bluetooth\n\nSelect connection type[1]:";
const std::string HOSTS =
    "0. 127.0.0.1\n1. 192.168.7.1\n2. Discover host\n3. Enter host\n\nSelect host[1]:";
const std::string FOUND = "0. 10.0.0.5\n1. abcdefghijklmnop\n2. nv-lab\n";
const std::string OK = "\nConnecting device...Ok.\n";
const std::string REFUSED = "\nConnecting device...\nError connecting device!\n";
const std::string BANNER = "--- ORVANTIS NV-TERM ---\nver:0.10.0\n\n";
const std::string H18 = "abcdefghijklmnopqr", H19 = H18 + "s";  // the longest host, and one more
// A name with escapes, controls, C1 and broken UTF-8, and how the console shows it.
const std::string HOSTILE = "\x1b[2J\x07\r\x9b\xc2\x9b\xff\xe2\x80\xae\xe2\x80\x8b";
const std::string SHOWN = "\\x1b[2J\\x07\\x0d\\x9b\\xc2\\x9b\\xff\\xe2\\x80\\xae\\xe2\\x80\\x8b";

// A discovery announcement: ident, address and name fields of 10, 16 and 40 bytes.
Bytes announcement(const std::string& ident, const std::string& address, const std::string& name) {
    Bytes p(66, 0);
    std::memcpy(p.data(), ident.data(), ident.size());
    std::memcpy(p.data() + 10, address.data(), address.size());
    std::memcpy(p.data() + 26, name.data(), name.size());
    return frame_of(8600, p);
}

TEST_F(Main, DialogueBuildsTheConnectionString) {
    using S = std::vector<std::string>;
    const std::vector<Bytes> three = {announcement("id-1", "10.0.0.5", "lab one"),
                                      announcement("id-2", "abcdefghijklmnop", "NAME"),
                                      announcement("id-3", "", "nv-lab")};
    S usb33;
    for (int i = 0; i < 33; ++i) usb33.push_back(std::string("u").append(std::to_string(i)));
    struct {
        const char* name;
        S usb, bt;
        std::vector<Bytes> datagrams;
        int dialogue;
        std::string input;
        int result;
        std::string out;
        S strings;  // connection strings handed to the link
    } cases[] = {
        // clang-format off
        {"usb one", {"USBF/c44"}, {}, {}, 1, "\n\n", 0, START + "0. No device\n1. 'dev USBF/c44'\n\nSelect device[1]:" + OK, {"USBF/c44"}},
        {"usb two, 3 refused", {"USBF/a", "USBU/bcd"}, {}, {}, 1, "\n3\n\n", 0, START + "0. No device\n1. 'dev USBF/a'\n2. 'dev USBU/bcd'\n\n" + times("Select device[2]:", 2) + OK, {"USBU/bcd"}},
        {"usb, no device chosen", {"USBF/a"}, {}, {}, 1, "\n0\n", -1, START + "0. No device\n1. 'dev USBF/a'\n\nSelect device[1]:" + REFUSED, {}},
        {"discovery, name when no address", {}, {}, three, 1, "3\n2\n2\n", 0, START + HOSTS + FOUND + "Select device[0]:" + OK, {"tcp:nv-lab:4444"}},
        {"discovery, nobody answers", {}, {}, {}, 1, "3\n2\n0\n\n", -1, START + HOSTS + times("Select device[0]:", 2) + REFUSED, {}},
        {"bluetooth, 5 refused, address typed", {}, {}, {}, -1, "5\n4\n\nAA:BB\n", 0, BT_START + "Select connection type[1]:Bluetooth inquiry...Complete.\n0. Enter BD addr\n\nSelect device[0]:Enter BD address[]:" + OK, {"bt:AA:BB:"}},
        {"bluetooth list", {}, {"bt1", "bt-two"}, {}, -1, "4\n\n", 0, BT_START + "Bluetooth inquiry...Complete.\n0. Enter BD addr\n1. 'dev bt1'\n2. 'dev bt-two'\n\nSelect device[2]:" + OK, {"bt-two"}},
        {"bluetooth list, 0, 19 characters refused", {}, {"bt1"}, {}, -1, "4\n0\n" + H19 + "\n" + H18 + "\n", 0, BT_START + "Bluetooth inquiry...Complete.\n0. Enter BD addr\n1. 'dev bt1'\n\nSelect device[1]:" + times("Enter BD address[]:", 2) + OK, {"bt:" + H18 + ":"}},
        {"type 0: no device", {"USBF/a"}, {}, {}, 1, "0\n", -1, START + REFUSED, {}},
        {"4 refused without bluetooth; COM 0 and 256 refused, Enter takes 1", {}, {}, {}, 1, "4\n2\n0\n256\n\n", 0, START + "Select connection type[1]:" + times("Select COM port[1]:", 3) + OK, {"com:1"}},
        {"COM 255", {}, {}, {}, 1, "2\n255\n", 0, START + "Select COM port[1]:" + OK, {"com:255"}},
        {"net: the fixed address by default", {}, {}, {}, 1, "3\n\n\n", 0, START + HOSTS + "Enter host[192.168.7.1]:" + OK, {"tcp:192.168.7.1:4444"}},
        {"net: 4 refused, loopback kept", {}, {}, {}, 1, "3\n4\n0\n\n", 0, START + HOSTS + "Select host[1]:Enter host[127.0.0.1]:" + OK, {"tcp:127.0.0.1:4444"}},
        {"net: a host typed, 19 characters refused", {}, {}, {}, 1, "3\n3\n" + H19 + "\n" + H18 + "\n", 0, START + HOSTS + times("Enter host[]:", 2) + OK, {"tcp:" + H18 + ":4444"}},
        {"discovery, 3 refused, Enter takes 0", {}, {}, three, 1, "3\n2\n3\n\n", 0, START + HOSTS + FOUND + times("Select device[0]:", 2) + OK, {"tcp:10.0.0.5:4444"}},
        {"discovery, an address of one character", {}, {}, {announcement("id-4", "h", "one")}, 1, "3\n2\n\n", 0, START + HOSTS + "0. h\nSelect device[0]:" + OK, {"tcp:h:4444"}},
        // An announcement does not choose the port, nor a host it may have cut short.
        {"discovery, an address of full width", {}, {}, three, 1, "3\n2\n1\n", -1, START + HOSTS + FOUND + "Select device[0]:" + REFUSED, {}},
        {"discovery, an address with a port", {}, {}, {announcement("id-5", "127.0.0.1:22", "n")}, 1, "3\n2\n\n", -1, START + HOSTS + "0. 127.0.0.1:22\nSelect device[0]:" + REFUSED, {}},
        {"discovery, no address, a name with a port", {}, {}, {announcement("id-6", "", "[::1]:22")}, 1, "3\n2\n\n", -1, START + HOSTS + "0. [::1]:22\nSelect device[0]:" + REFUSED, {}},
        {"no dialogue: the last USB device", {"USBF/a", "USBF/bcd"}, {}, {}, 0, "", 0, OK, {"USBF/bcd"}},
        {"no dialogue: 32 devices offered of 33", usb33, {}, {}, 0, "", 0, OK, {"u31"}},
        {"usb, none found", {}, {}, {}, 1, "1\n\n", -1, START + "0. No device\n\nSelect device[0]:" + REFUSED, {}},
        {"no dialogue, no USB device", {}, {}, {}, 0, "", -1, REFUSED, {}},
        // Names from the devices and the network are shown escaped, and used as they came.
        {"usb, a hostile name", {HOSTILE}, {}, {}, 1, "\n\n", 0, START + "0. No device\n1. 'dev " + SHOWN + "'\n\nSelect device[1]:" + OK, {HOSTILE}},
        {"bluetooth, a hostile name", {}, {"ok", HOSTILE}, {}, -1, "4\n\n", 0, BT_START + "Bluetooth inquiry...Complete.\n0. Enter BD addr\n1. 'dev ok'\n2. 'dev " + SHOWN + "'\n\nSelect device[2]:" + OK, {HOSTILE}},
        {"discovery, hostile names", {}, {}, {announcement("id-7", HOSTILE, "unused"), announcement("id-8", "", "nv\x1b]0;x\x07" "52")}, 1, "3\n2\n1\n", 0, START + HOSTS + "0. " + SHOWN + "\n1. nv\\x1b]0;x\\x0752\nSelect device[0]:" + OK, {"tcp:nv\x1b]0;x\x07" "52:4444"}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_qxx::reset();
        connected = 0;
        fake_qxx::st().usb_devices = c.usb;
        fake_qxx::st().bt_devices = c.bt;
        fake_qxx::st().bt_available = c.dialogue < 0;
        fake_qxx::st().datagrams = c.datagrams;
        Console con(c.input);
        EXPECT_EQ(connect_dev(c.dialogue != 0), c.result);
        EXPECT_EQ(con.out(), c.out);
        EXPECT_EQ(fake_qxx::st().connect_strings, c.strings);
        EXPECT_EQ(connected.load(), c.result == 0);
        const bool discovery = c.dialogue != 0 && c.input.rfind("3\n2\n", 0) == 0;
        EXPECT_EQ(fake_qxx::st().broadcasts, discovery ? S{"255.255.255.255:4455"} : S{});
        EXPECT_EQ(sleeps(), discovery ? std::vector<int>{8000} : std::vector<int>{});
        EXPECT_EQ(fake_qxx::st().broadcast, nullptr);  // the discovery callback is gone again
        const bool inquiry = c.out.find("Bluetooth inquiry") != std::string::npos;
        EXPECT_EQ(fake_qxx::st().bt_inquiries, (inquiry ? std::vector<std::pair<int, int>>{{0, 0}}
                                                        : std::vector<std::pair<int, int>>{}));
        EXPECT_EQ(fake_qxx::st().waits,
                  (c.strings.empty() ? std::vector<std::pair<int, int>>{}
                                     : std::vector<std::pair<int, int>>{{7, 25000}}));
        sleeps().clear();
    }
    fake_qxx::reset();
    connected = 1;
    Console con("2\n");
    EXPECT_EQ(connect_dev(1), -1);
    EXPECT_EQ(con.out(), "\nDevice already connected!\n");  // and nothing else
    EXPECT_EQ(con.err(), "\nDevice already connected!\n");
    EXPECT_EQ(fake_qxx::st().connect_strings, S{});
}

// "eth" switches the last USB instrument's usb_mode from 0 to 1, writing back only a whole
// record, and restarts it; a failed request ends it with -1 (exit code 255), but a restart left
// unanswered after the record was written with 0. Until an
// instrument is plugged it tries again after a pause of a second; a link identified only after
// the wait gave up is taken at once; a device never recognised is left alone.
TEST_F(Main, Eth) {
    Bytes mode0 = pattern(1400), mode1 = mode0, mode2 = mode0;
    put_u16le(mode0.data() + 136, 0);
    put_u16le(mode1.data() + 136, 1);
    put_u16le(mode2.data() + 136, 2);
    const std::string why = "The device was not recognised as an NV-52: nothing was sent to it.\n";
    const auto refused = [](const char* request, int code) {
        return "Command " + std::string(request) + " error(code=" + std::to_string(code) + ")!\n";
    };
    const auto short_read = [](int bytes) {
        return "Command Q8_get_params error: incomplete parameter record (" +
               std::to_string(bytes) + " of 1400 bytes)!\n";
    };
    using Replies = std::vector<std::pair<int, fake_qxx::Reply>>;
    struct {
        const char* name;
        Replies replies;
        std::vector<std::string> usb;
        int identified, wait_result;
        std::function<void()> on_sleep;
        int exit_code;
        std::vector<int> sent, slept;
        std::string out, failure;  // after the banner; the error line that ends it
    } cases[] = {
        // clang-format off
        {"mode 0 switched", {{8201, answer(0, mode0)}}, {"USBF/a", "USBF/b"}, 1, 0, nullptr, 0, {8201, 8202, 8021}, {}, OK, ""},
        {"mode 2 left alone", {{8201, answer(0, mode2)}}, {"USBF/a", "USBF/b"}, 1, 0, nullptr, 0, {8201}, {}, OK, ""},
        {"1399 bytes", {{8201, answer(0, Bytes(mode0.begin(), mode0.end() - 1))}}, {"USBF/a", "USBF/b"}, 1, 0, nullptr, -1, {8201}, {}, OK, short_read(1399)},
        {"no bytes", {{8201, answer(0)}}, {"USBF/a", "USBF/b"}, 1, 0, nullptr, -1, {8201}, {}, OK, short_read(0)},
        {"read refused", {{8201, answer(4)}}, {"USBF/a", "USBF/b"}, 1, 0, nullptr, -1, {8201}, {}, OK, refused("Q8_get_params", 4)},
        {"write refused", {{8201, answer(0, mode0)}, {8202, answer(1)}}, {"USBF/a", "USBF/b"}, 1, 0, nullptr, -1, {8201, 8202}, {}, OK, refused("Q8_set_params", 1)},
        {"restart unanswered", {{8201, answer(0, mode0)}, {8021, answer(255)}}, {"USBF/a", "USBF/b"}, 1, 0, nullptr, 0, {8201, 8202, 8021}, {}, OK + "The new USB mode was written, but the instrument did not confirm the restart: restart it by hand if it does not restart by itself.\n", ""},
        {"restart refused", {{8201, answer(0, mode0)}, {8021, answer(1)}}, {"USBF/a", "USBF/b"}, 1, 0, nullptr, -1, {8201, 8202, 8021}, {}, OK, refused("Q8_restart", 1)},
        {"identified late", {{8201, answer(0, mode1)}}, {"USBF/a"}, 1, 1, [] {  // a retry would find the link up: let it end
             fake_qxx::st().wait_result = 0;
             connected = 0;
         }, 0, {8201}, {}, REFUSED, ""},
        {"plugged after three attempts", {{8201, answer(0, mode1)}}, {}, 1, 0, [] {
             if (sleeps().size() == 3) fake_qxx::st().usb_devices = {"USBF/a"};
         }, 0, {8201}, {1000, 1000, 1000}, times(REFUSED, 3) + OK, ""},
        {"never recognised", {}, {"USBF/a"}, 0, 0, nullptr, -1, {}, {}, "\nConnecting device...Error!\n", why},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_qxx::reset();
        sleeps().clear();
        connected = 0;
        fake_qxx::st().usb_devices = c.usb;
        fake_qxx::st().identified = c.identified;
        fake_qxx::st().wait_result = c.wait_result;
        on_sleep() = c.on_sleep;
        for (const auto& [code, r] : c.replies) fake_qxx::st().replies[code].push_back(r);
        Console con;
        EXPECT_EQ(eth(), c.exit_code);
        EXPECT_EQ(fake_qxx::codes(), c.sent);
        EXPECT_EQ(sleeps(), c.slept);
        EXPECT_EQ(fake_qxx::st().connect_strings,
                  std::vector<std::string>{c.usb.empty() ? "USBF/a" : c.usb.back()});
        EXPECT_EQ(con.out(), BANNER + c.out + c.failure);
        EXPECT_TRUE(con.err().ends_with(c.failure));
        if (c.sent.size() > 1) {
            EXPECT_EQ(fake_qxx::st().calls[1].request, mode1);  // only usb_mode changed
        }
        for (const auto& call : fake_qxx::st().calls) EXPECT_EQ(call.wait, 1) << call.code;
    }
}

// After the link was opened: its wait and the state it reports decide the last line.
TEST_F(Main, WhatTheLinkReportsEndsTheDialogue) {
    struct {
        int wait_result, state, result;
        std::string out, err;
    } cases[] = {
        {0, 2, 0, OK, ""},
        {0, 1, 0, "\nConnecting device...Error!\n", ""},
        {1, 2, -1, REFUSED, "\nError connecting device!\n"},
    };
    for (const auto& c : cases) {
        fake_qxx::reset();
        connected = 0;
        fake_qxx::st().usb_devices = {"USBF/a"};
        fake_qxx::st().wait_result = c.wait_result;
        fake_qxx::st().conn_state = c.state;
        Console con;
        EXPECT_EQ(connect_dev(0), c.result) << c.out;
        EXPECT_EQ(con.out(), c.out);
        EXPECT_EQ(con.err(), c.err);
        EXPECT_EQ(id_conn.load(), 7);
    }
}

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

    // A discovery datagram goes to the list.
    QXX_net_broadcast_register(nullptr, nullptr);
    const Bytes datagram = announcement("id-1", "10.0.0.5", "lab");
    EXPECT_EQ(QXX_event_net_broadcast(datagram.data(), static_cast<int>(datagram.size())), 0);
    QXX_message_list list{};
    QXX_broadcast_list(&list);
    ASSERT_EQ(list.count, 1);
    EXPECT_STREQ(list.rows[0].address, "10.0.0.5");
}

TEST_F(Main, DisconnectAndTheDeviceMenu) {
    struct {
        int connected, result, disconnects;
        std::string err;
    } cases[] = {
        {0, 0, 0, "\nDevice not connected!\n"},
        {1, 0, 1, ""},
        {1, 3, 1, "Error disconnecting device!\n"},
    };
    for (const auto& c : cases) {
        fake_qxx::reset();
        connected = c.connected;
        fake_qxx::st().disconnect_result = c.result;
        Console con;
        disconnect_dev();
        EXPECT_EQ(con.out(), c.err);
        EXPECT_EQ(con.err(), c.err);
        EXPECT_EQ(fake_qxx::st().disconnects, c.disconnects);
        EXPECT_EQ(connected.load(), c.connected);  // only the link's event lowers it
    }

    dev_type = 5;
    Console other("q\n");
    EXPECT_EQ(main_loop(), -1);
    EXPECT_EQ(other.out(), "\nFound device:   Undefined\n\n");
    EXPECT_EQ(other.err(), "Undefined\n\n");

    // (The NV-52's menu: data/menus.txt.)
}

// The modes by the number of arguments, against the fake link.
TEST_F(Main, CommandLineModes) {
    using S = std::vector<std::string>;
    const std::string found = "\nFound device:   NV-52\n\n[ he] help\n";
    struct {
        S args;
        std::string input;
        S usb;
        int exit_code;
        std::string out;  // the beginning of the output
        int shuts, disconnects;
    } cases[] = {
        // clang-format off
        {{"usb"}, "", {"USBF/a"}, 0, BANNER, 1, 0},
        {{}, "0\n", {}, 0, BANNER + START + REFUSED, 1, 0},
        {{"a", "b"}, "0\n", {}, 0, BANNER + START + REFUSED, 1, 0},
        {{"a", "b", "c"}, "0\n", {}, 0, BANNER + START + REFUSED, 1, 0},
        {{"a", "b", "c", "d", "e"}, "0\n", {}, 0, BANNER + START + REFUSED, 1, 0},
        {{"cxfw", "in", "out", "2"}, "", {}, -1, BANNER + "Invalid parameter!\n", 0, 0},
        {{"cxfw", "in", "out", "x.2"}, "", {}, -1, BANNER + "Invalid parameter!\n", 0, 0},
        {{"CXFW", "in", "out", "1.2"}, "", {}, -1, BANNER + "Invalid parameter!\n", 0, 0},
        {{"cxfw", "none", "out", "1.2"}, "", {}, -1, BANNER + "Creating firmware version 1.2...\nError loading file:none!\n", 0, 0},
        {{}, "\n\nq\n", {"USBF/a"}, 0, BANNER + START + "0. No device\n1. 'dev USBF/a'\n\nSelect device[1]:" + OK + found, 1, 1},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        fake_qxx::reset();
        connected = 0;
        fake_qxx::st().usb_devices = c.usb;
        S words = c.args;
        words.insert(words.begin(), "nv-term");
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        Console con(c.input);
        EXPECT_EQ(nv_term_main(static_cast<int>(words.size()), argv.data()), c.exit_code);
        const std::string out = con.out();
        if (c.disconnects == 0) {
            EXPECT_EQ(out, c.out);
        } else {
            EXPECT_EQ(out.substr(0, c.out.size()), c.out);
            const std::string end = " - quits program\n>\nDevice disconnected!\n";
            ASSERT_GT(out.size(), end.size());
            EXPECT_EQ(out.substr(out.size() - end.size()), end);
        }
        EXPECT_EQ(fake_qxx::st().shuts, c.shuts);
        EXPECT_EQ(fake_qxx::st().disconnects, c.disconnects);
    }
}

}  // namespace
