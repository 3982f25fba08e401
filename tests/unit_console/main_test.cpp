// The connection dialogue's paths that need a USB bus, a Bluetooth controller or a network
// other than loopback, and the "eth" mode's failures and retries, against the fake link.
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
        {"usb two, 3 refused", {"USBF/a", "USBU/b"}, {}, {}, 1, "\n3\n\n", 0, START + "0. No device\n1. 'dev USBF/a'\n2. 'dev USBU/b'\n\n" + times("Select device[2]:", 2) + OK, {"USBU/b"}},
        {"usb, no device chosen", {"USBF/a"}, {}, {}, 1, "\n0\n", -1, START + "0. No device\n1. 'dev USBF/a'\n\nSelect device[1]:" + REFUSED, {}},
        {"discovery, name when no address", {}, {}, three, 1, "3\n2\n2\n", 0, START + HOSTS + FOUND + "Select device[0]:" + OK, {"tcp:nv-lab:4444"}},
        {"discovery, nobody answers", {}, {}, {}, 1, "3\n2\n0\n\n", -1, START + HOSTS + times("Select device[0]:", 2) + REFUSED, {}},
        {"bluetooth, 5 refused, address typed", {}, {}, {}, -1, "5\n4\n\nAA:BB\n", 0, BT_START + "Select connection type[1]:Bluetooth inquiry...Complete.\n0. Enter BD addr\n\nSelect device[0]:Enter BD address[]:" + OK, {"bt:AA:BB:"}},
        {"bluetooth list", {}, {"bt1", "bt2"}, {}, -1, "4\n\n", 0, BT_START + "Bluetooth inquiry...Complete.\n0. Enter BD addr\n1. 'dev bt1'\n2. 'dev bt2'\n\nSelect device[2]:" + OK, {"bt2"}},
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
        if (!c.datagrams.empty()) {
            EXPECT_EQ(fake_qxx::st().broadcasts, S{"255.255.255.255:4455"});
            EXPECT_EQ(sleeps(), std::vector<int>{8000});
        }
        sleeps().clear();
    }
    Console con;
    EXPECT_EQ(connect_dev(1), -1);  // still connected from the last case
    EXPECT_EQ(con.err(), "\nDevice already connected!\n");
}

// "eth" writes back only a whole record, with usb_mode 1, and restarts; a failed request ends
// it with -1 (exit code 255).
TEST_F(Main, EthFailures) {
    Bytes mode0(1400);
    for (size_t i = 0; i < mode0.size(); ++i) mode0[i] = static_cast<unsigned char>(i * 13 + 1);
    put_u16le(mode0.data() + 136, 0);
    Bytes mode1 = mode0;
    put_u16le(mode1.data() + 136, 1);
    struct {
        std::vector<std::pair<int, fake_qxx::Reply>> replies;
        int exit_code;
        std::vector<int> sent;
        std::string err;
    } cases[] = {
        // clang-format off
        {{{8201, answer(0, mode0)}}, 0, {8201, 8202, 8021}, ""},
        {{{8201, answer(0, Bytes(mode0.begin(), mode0.end() - 1))}},
         -1,
         {8201},
         "Command Q8_get_params error: incomplete parameter record (1399 of 1400 bytes)!\n"},
        {{{8201, answer(0, mode0)}, {8202, answer(1)}},
         -1,
         {8201, 8202},
         "Command Q8_set_params error(code=1)!\n"},
        {{{8201, answer(0, mode0)}, {8021, answer(255)}},
         -1,
         {8201, 8202, 8021},
         "Command Q8_restart error(code=255)!\n"},
        // clang-format on
    };
    for (const auto& c : cases) {
        fake_qxx::reset();
        connected = 0;
        fake_qxx::st().usb_devices = {"USBF/a", "USBF/b"};
        for (const auto& [code, r] : c.replies) fake_qxx::st().replies[code].push_back(r);
        Console con;
        EXPECT_EQ(eth(), c.exit_code) << c.err;
        EXPECT_EQ(fake_qxx::codes(), c.sent);
        EXPECT_EQ(fake_qxx::st().connect_strings, std::vector<std::string>{"USBF/b"});
        EXPECT_EQ(con.out(), BANNER + OK + c.err);
        if (c.sent.size() > 1) {
            EXPECT_EQ(fake_qxx::st().calls[1].request, mode1);  // only usb_mode changed
        }
    }
}

// No instrument yet: a pause of a second between attempts until one is plugged.
TEST_F(Main, EthRetriesWithAPauseUntilAnInstrumentIsPlugged) {
    Bytes mode1(1400, 0);
    put_u16le(mode1.data() + 136, 1);
    on_sleep() = [] {
        if (sleeps().size() == 3) fake_qxx::st().usb_devices = {"USBF/a"};
    };
    fake_qxx::st().replies[8201].push_back(answer(0, mode1));
    Console con;
    EXPECT_EQ(eth(), 0);
    EXPECT_EQ(sleeps(), (std::vector<int>{1000, 1000, 1000}));
    EXPECT_EQ(con.out(), BANNER + times(REFUSED, 3) + OK);
    EXPECT_EQ(fake_qxx::codes(), std::vector<int>{8201});
}

}  // namespace
