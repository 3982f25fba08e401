// The connection dialogue against the fake link: each transport's questions, defaults and the
// connection string it ends with, and the ways a connection fails.
#include "main.h"
#include "q8_support.h"

namespace {

class ConnectDialogue : public Q8Test {
  protected:
    void SetUp() override {
        Q8Test::SetUp();
        connected = 0;
        dev_type = 0;
        id_conn = -1;
    }
};

const std::string TYPES = "0. No device\n1. USB\n2. COM port\n3. Net\n";
const std::string ASK_TYPE = "Select connection type[1]:";
const std::string START = TYPES + "\n" + ASK_TYPE;  // no Bluetooth
const std::string HOSTS =
    "0. 127.0.0.1\n1. 192.168.7.1\n2. Discover host\n3. Enter host\n\nSelect host[1]:";
const std::string OK = "\nConnecting device...Ok.\n";
const std::string REFUSED = "\nConnecting device...\nError connecting device!\n";

// A discovery announcement: ident, address and name fields of 10, 16 and 40 bytes.
Bytes announcement(const std::string& ident, const std::string& address, const std::string& name) {
    Bytes p(66, 0);
    memcpy(p.data(), ident.data(), std::min<size_t>(ident.size(), 10));
    memcpy(p.data() + 10, address.data(), std::min<size_t>(address.size(), 16));
    memcpy(p.data() + 26, name.data(), std::min<size_t>(name.size(), 40));
    return frame_of(8600, p);
}

struct Case {
    const char* name;
    std::function<void(fake_qxx::Link&)> setup;
    int dialogue;
    std::string input;
    int result;
    std::string out;
    std::vector<std::string> strings;  // connection strings handed to the link
};

TEST_F(ConnectDialogue, EachTransportAsksItsQuestionsAndBuildsItsString) {
    auto usb = [](std::vector<std::string> d) {
        return [d](fake_qxx::Link& l) { l.usb_devices = d; };
    };
    auto discovery = [](fake_qxx::Link& l) {
        l.datagrams = {announcement("id-1", "10.0.0.5", "lab one"),
                       announcement("id-2", "abcdefghijklmnop", "NAME"),  // full-width address
                       announcement("id-3", "", "nv-lab")};
    };
    auto bt = [](std::vector<std::string> d) {
        return [d](fake_qxx::Link& l) {
            l.bt_available = 1;
            l.bt_devices = d;
        };
    };
    const Case cases[] = {
        {"usb none",
         usb({}),
         1,
         "\n\n",
         -1,
         START + "0. No device\n\nSelect device[0]:" + REFUSED,
         {}},
        {"usb one",
         usb({"USBF/c44"}),
         1,
         "\n\n",
         0,
         START + "0. No device\n1. 'dev USBF/c44'\n\nSelect device[1]:" + OK,
         {"USBF/c44"}},
        {"usb two, 3 refused",
         usb({"USBF/a", "USBU/b"}),
         1,
         "\n3\n\n",
         0,
         START + "0. No device\n1. 'dev USBF/a'\n2. 'dev USBU/b'\n\n" +
             repeat("Select device[2]:", 2) + OK,
         {"USBU/b"}},
        {"usb no device chosen",
         usb({"USBF/a"}),
         1,
         "\n0\n",
         -1,
         START + "0. No device\n1. 'dev USBF/a'\n\nSelect device[1]:" + REFUSED,
         {}},
        {"usb without dialogue", usb({"USBF/a", "USBU/b"}), 0, "", 0, OK, {"USBU/b"}},
        {"com 0 and 256 refused",
         nullptr,
         1,
         "2\n0\n256\n\n",
         0,
         START + repeat("Select COM port[1]:", 3) + OK,
         {"com:1"}},
        {"com 17", nullptr, 1, "2\n17\n", 0, START + "Select COM port[1]:" + OK, {"com:17"}},
        {"net loopback",
         nullptr,
         1,
         "3\n0\n\n",
         0,
         START + HOSTS + "Enter host[127.0.0.1]:" + OK,
         {"tcp:127.0.0.1:4444"}},
        {"net fixed address, 4 refused",
         nullptr,
         1,
         "3\n4\n\n\n",
         0,
         START + HOSTS + "Select host[1]:Enter host[192.168.7.1]:" + OK,
         {"tcp:192.168.7.1:4444"}},
        {"net typed host, 19 characters refused",
         nullptr,
         1,
         "3\n3\n" + std::string(19, 'h') + "\n" + std::string(18, 'h') + "\n",
         0,
         START + HOSTS + "Enter host[]:Enter host[]:" + OK,
         {"tcp:" + std::string(18, 'h') + ":4444"}},
        {"discovery, 3 refused, Enter takes 0",
         discovery,
         1,
         "3\n2\n3\n\n",
         0,
         START + HOSTS + "0. 10.0.0.5\n1. abcdefghijklmnop\n2. nv-lab\n" +
             repeat("Select device[0]:", 2) + OK,
         {"tcp:10.0.0.5:4444"}},
        {"discovery, name when no address",
         discovery,
         1,
         "3\n2\n2\n",
         0,
         START + HOSTS + "0. 10.0.0.5\n1. abcdefghijklmnop\n2. nv-lab\n" + "Select device[0]:" + OK,
         {"tcp:nv-lab:4444"}},
        {"bluetooth offered, 5 refused, address typed",
         bt({}),
         1,
         "5\n4\n\nAA:BB\n",
         0,
         TYPES + "4. Bluetooth\n\n" + repeat(ASK_TYPE, 2) +
             "Bluetooth inquiry...Complete.\n0. Enter BD addr\n\nSelect device[0]:"
             "Enter BD address[]:" +
             OK,
         {"bt:AA:BB:"}},
        {"bluetooth list",
         bt({"bt1", "bt2"}),
         1,
         "4\n\n",
         0,
         TYPES + "4. Bluetooth\n\n" + ASK_TYPE +
             "Bluetooth inquiry...Complete.\n0. Enter BD addr\n1. 'dev bt1'\n2. 'dev bt2'\n"
             "\nSelect device[2]:" +
             OK,
         {"bt2"}},
        {"bluetooth not offered", nullptr, 1, "4\n0\n", -1, START + ASK_TYPE + REFUSED, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_qxx::reset();
        connected = 0;
        sleeps().clear();
        if (c.setup) c.setup(fake_qxx::link());
        Console con(c.input);
        EXPECT_EQ(connect_dev(c.dialogue), c.result);
        EXPECT_EQ(con.out(), c.out);
        EXPECT_EQ(fake_qxx::connect_strings(), c.strings);
        if (c.result == 0) {
            EXPECT_EQ(connected, 1);
            EXPECT_EQ(dev_type, 12);
            EXPECT_EQ(id_conn, 7);
            EXPECT_EQ(fake_qxx::hooks().size(), 7u);
        }
    }
}

TEST_F(ConnectDialogue, DiscoveryBroadcastsAndWaitsItsWindow) {
    fake_qxx::link().datagrams = {announcement("id-1", "10.0.0.5", "x"),
                                  announcement("id-1", "10.0.0.5", "x")};
    Console con("3\n2\n\n");
    EXPECT_EQ(connect_dev(1), 0);
    EXPECT_EQ(fake_qxx::broadcasts(), std::vector<std::string>{"255.255.255.255:4455"});
    EXPECT_EQ(sleeps(), std::vector<int>{8000});

    // No device answered: only an empty answer is taken, and no host is chosen.
    fake_qxx::reset();
    connected = 0;
    fake_qxx::link().datagrams.clear();
    con.clear();
    con.feed("3\n2\n0\n\n");
    connect_dev(1);
    EXPECT_EQ(con.out(), START + HOSTS + repeat("Select device[0]:", 2) + OK);
    EXPECT_EQ(fake_qxx::connect_strings(), std::vector<std::string>{"tcp::4444"});
}

TEST_F(ConnectDialogue, FailuresAfterTheDialogue) {
    struct Failure {
        const char* name;
        std::function<void(fake_qxx::Link&)> setup;
        int result;
        std::string out;
    } cases[] = {
        {"refused", [](fake_qxx::Link& l) { l.connect_result = -1; }, -1, REFUSED},
        {"wait fails", [](fake_qxx::Link& l) { l.wait_result = 1; }, -1, REFUSED},
        {"not recognised",
         [](fake_qxx::Link& l) {
             l.identify = false;
             l.state = 1;
         },
         0, "\nConnecting device...Error!\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_qxx::reset();
        connected = 0;
        fake_qxx::link().usb_devices = {"USBF/a"};
        c.setup(fake_qxx::link());
        Console con;
        EXPECT_EQ(connect_dev(0), c.result);
        EXPECT_EQ(con.out(), c.out);
    }

    connected = 1;
    Console con("1\n");
    EXPECT_EQ(connect_dev(1), -1);
    EXPECT_EQ(con.out(), "\nDevice already connected!\n");
    EXPECT_EQ(con.err(), con.out());
}

TEST_F(ConnectDialogue, LinkHandlersKeepTheConnectionState) {
    Console con;
    EXPECT_EQ(QXX_event_connected(9, nullptr, 3, 0), 0);
    EXPECT_EQ(connected, 1);
    EXPECT_EQ(dev_type, 3);
    EXPECT_TRUE(fake_qxx::hooks().empty());  // only an NV-52 gets its event handlers
    QXX_event_connection_error(9, nullptr, 0);
    EXPECT_EQ(connected, 0);
    QXX_event_connected(9, nullptr, 12, 0);
    QXX_event_disconnected(9, nullptr, 0);
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(dev_type, 12);
    EXPECT_EQ(fake_qxx::hooks().size(), 7u);
    EXPECT_EQ(con.out(), "\nError connecting device!\n\nDevice disconnected!\n");
}

}  // namespace
