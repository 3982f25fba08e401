// The program entry against the fake link: the interactive mode with its menu, and the "eth"
// mode that switches the instrument's USB mode.
#include "main.h"
#include "q8_comm.h"
#include "q8_support.h"

int nv_term_main(int argc, char** argv);

namespace {

const std::string BANNER = "--- ORVANTIS NV-TERM ---\nver:0.10.0\n\n";
const std::string USB_ONE =
    "0. No device\n1. USB\n2. COM port\n3. Net\n\nSelect connection type[1]:"
    "0. No device\n1. 'dev USBF/a'\n\nSelect device[1]:\nConnecting device...";
const std::string MENU =
    "[ he] help\n"
    "[ ve] version    - displays device firmware version\n"
    "[ sa] status     - displays device status\n"
    "[ gt] get time   - displays device date/time\n"
    "[ st] set time   - sets device date/time\n"
    "[ up] upload xfw - uploads firmware file\n"
    "[ fl] flash  fw  - flash firmware\n"
    "[ pw] power off  - Power off device\n"
    "[ as] assay      - start assay\n"
    "[ cs] cs stab    - cs stabilization\n"
    "[  q] quit       - quits program\n";

class Modes : public Q8Test {
  protected:
    void SetUp() override {
        Q8Test::SetUp();
        connected = 0;
        dev_type = 0;
        fake_qxx::link().usb_devices = {"USBF/a"};
    }
    static int run(std::vector<std::string> args) {
        args.insert(args.begin(), "nv-term");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        return nv_term_main(static_cast<int>(args.size()), argv.data());
    }
};

TEST_F(Modes, InteractiveRunsTheMenuUntilQuitThenDisconnects) {
    Console con("\n\nQ\n");
    EXPECT_EQ(run({}), 0);
    EXPECT_EQ(con.out(), BANNER + USB_ONE + "Ok.\n\nFound device:   NV-52\n\n" + MENU +
                             ">\nDevice disconnected!\n");
    EXPECT_EQ(fake_qxx::disconnects(), 1);
}

TEST_F(Modes, QuittingAfterTheInstrumentWentAway) {
    fake_qxx::set_responder([](const fake_qxx::Call&) {
        QXX_event_disconnected(7, nullptr, 0);  // the cable is pulled during the request
        return failure(255);
    });
    Console con("\n\nsa\nsa\nquit\n");
    EXPECT_EQ(run({}), 0);
    const std::string& out = con.out();
    std::string tail =
        ">\nDevice disconnected!\nCommand Q8_cmd_get_status error(code=255)!\n"
        ">\nDevice not connected!\n>\nDevice not connected!\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_EQ(fake_qxx::codes(), std::vector<int>{8203});
    EXPECT_EQ(fake_qxx::disconnects(), 0);
}

TEST_F(Modes, LinkWithoutRecognisedInstrumentOrWithoutLinkShowsNoMenu) {
    fake_qxx::link().identify = false;
    fake_qxx::link().state = 1;
    Console con("\n\n");
    EXPECT_EQ(run({}), 0);
    EXPECT_EQ(con.out(), BANNER + USB_ONE +
                             "Error!\n\nFound device:   Undefined\n\n\nDevice not connected!\n");

    fake_qxx::reset();
    con.clear();
    con.feed("\n\n");
    EXPECT_EQ(run({"a", "b"}), 0);  // two arguments: interactive, arguments ignored
    EXPECT_EQ(con.out(), BANNER +
                             "0. No device\n1. USB\n2. COM port\n3. Net\n\n"
                             "Select connection type[1]:0. No device\n\nSelect device[0]:"
                             "\nConnecting device...\nError connecting device!\n");
}

TEST_F(Modes, EthSwitchesUsbModeOnlyFromAFullRecord) {
    Bytes mode0 = pattern(1400, 4);
    set_u16(mode0, 136, 0);
    Bytes mode1 = mode0;
    set_u16(mode1, 136, 1);
    Bytes mode2 = mode0;
    set_u16(mode2, 136, 2);
    struct Case {
        const char* name;
        std::vector<std::pair<int, fake_qxx::Reply>> replies;
        bool ok;
        std::vector<int> sent;
        std::string err;
    } cases[] = {
        {"mode 0: set and restart", {{8201, reply(mode0)}}, true, {8201, 8202, 8021}, ""},
        {"mode 1: nothing sent", {{8201, reply(mode1)}}, true, {8201}, ""},
        {"mode 2: nothing sent", {{8201, reply(mode2)}}, true, {8201}, ""},
        {"short record",
         {{8201, reply(Bytes(mode0.begin(), mode0.end() - 1))}},
         false,
         {8201},
         "Command Q8_get_params error: incomplete parameter record (1399 of 1400 bytes)!\n"},
        {"unreadable record",
         {{8201, failure(255)}},
         false,
         {8201},
         "Command Q8_get_params error(code=255)!\n"},
        {"set refused",
         {{8201, reply(mode0)}, {8202, failure(1)}},
         false,
         {8201, 8202},
         "Command Q8_set_params error(code=1)!\n"},
        {"restart unanswered",
         {{8201, reply(mode0)}, {8021, failure(255)}},
         false,
         {8201, 8202, 8021},
         "Command Q8_restart error(code=255)!\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_qxx::reset();
        connected = 0;
        fake_qxx::link().usb_devices = {"USBF/a", "USBF/b"};
        for (const auto& [code, r] : c.replies) fake_qxx::push_reply(code, r);
        Console con;
        int exit_code = run({"eth"});
        EXPECT_EQ(exit_code == 0, c.ok);
        EXPECT_EQ(fake_qxx::codes(), c.sent);
        EXPECT_EQ(fake_qxx::connect_strings(), std::vector<std::string>{"USBF/b"});
        EXPECT_EQ(con.out(), BANNER + "\nConnecting device...Ok.\n" + c.err);
        if (c.sent.size() > 1) {
            EXPECT_EQ(fake_qxx::calls()[1].request, mode1);  // only usb_mode changed
        }
    }
}

TEST_F(Modes, EthRetriesWithAPauseUntilAnInstrumentIsPlugged) {
    fake_qxx::link().usb_devices.clear();
    on_sleep() = [] {
        if (sleeps().size() == 3) fake_qxx::link().usb_devices = {"USBF/a"};
    };
    Bytes mode1(1400, 0);
    set_u16(mode1, 136, 1);
    fake_qxx::push_reply(8201, reply(mode1));
    Console con;
    EXPECT_EQ(run({"eth"}), 0);
    EXPECT_EQ(sleeps(), (std::vector<int>{1000, 1000, 1000}));
    EXPECT_EQ(con.out(), BANNER + repeat("\nConnecting device...\nError connecting device!\n", 3) +
                             "\nConnecting device...Ok.\n");
    EXPECT_EQ(fake_qxx::codes(), std::vector<int>{8201});

    // Recognised only after the wait gave up: the link is up, so no second attempt is made.
    fake_qxx::reset();
    connected = 0;
    sleeps().clear();
    fake_qxx::link().usb_devices = {"USBF/a"};
    fake_qxx::link().wait_result = 1;
    fake_qxx::push_reply(8201, reply(mode1));
    EXPECT_EQ(run({"eth"}), 0);
    EXPECT_TRUE(sleeps().empty());
    EXPECT_EQ(fake_qxx::connect_strings().size(), 1u);
    EXPECT_EQ(fake_qxx::codes(), std::vector<int>{8201});
}

}  // namespace
