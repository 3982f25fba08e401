// What every Bluetooth side promises on the fake radio (BlueZ here, Windows under Wine), and what
// only BlueZ does with an inquiry.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "bt_fake.h"
#include "comm_internal.h"
#include "comm_links.h"
#include "error_log.h"

#if NV_HAVE_BLUEZ || NV_HAVE_WINBT

namespace {

using namespace bt_fake;

TEST(BtContract, AvailableOnlyWithARadioThatIsUp) {
    for (Radio r : {Radio::off, Radio::down, Radio::failing, Radio::on, Radio::second}) {
        Installed f;
        radio(f.bt, r);
        EXPECT_EQ(comm_bt_is_available(), r >= Radio::on ? 1 : 0) << static_cast<int>(r);
        if (r != Radio::off) continue;
        EXPECT_NE(comm_bt_discover(0, 0xFFE050, 0), 0);  // nothing to find without one
        comm_dev_entry list[4];
        int count = -1;
        EXPECT_EQ(comm_bt_discover_wait(list, &count), 0);
        EXPECT_EQ(count, 0);
    }
}

// Each device once, at most 32, in its exact text: the class in six hex digits, the name
// escaped, and a long name cut at a character boundary as long as the 127 characters allow.
TEST(BtContract, TheInquiryListsEachDeviceOnceAndAtMost32) {
    Installed f;
    std::string e_acute, euro;
    for (int i = 0; i < 60; ++i) e_acute += "\xc3\xa9";
    for (int i = 0; i < 40; ++i) euro += "\xe2\x82\xac";
    const struct {
        int cod;
        std::string name, entry, devid;  // the entry after its address, class and PIN
    } rows[] = {
        {0xABCDEF, "NV-52 #1", "&name=NV-52%20%231", "NV-52 #1 (A5:A4:A3:A2:A1:00)"},
        {1, e_acute, "&name=%C3%A9%C3%A9%C3%A9%C3%A9%C3%A9%C3%A9%C3%A9%C3%A9%C3%A9%C3%A9", ""},
        {0x5A0204, "x" + euro, "&name=x%E2%82%AC%E2%82%AC%E2%82%AC%E2%82%AC%E2%82%AC%E2%82%AC", ""},
        // The bidirectional control stays in the text; the console escapes it.
        {0, "tab\there\xe2\x80\xae", "&name=tab%3Fhere%E2%80%AE",
         "tab?here\xe2\x80\xae (A5:A4:A3:A2:A1:03)"},
        {1, std::string(200, 'n'), "&name=" + std::string(61, 'n'), ""},
        {0, "", "", "A5:A4:A3:A2:A1:05"},
    };
    for (int n = 0; n < 40; ++n)
        answers(f.bt, n, n < 6 ? rows[n].cod : 0x1F00 + n, n < 6 ? rows[n].name : "");
    f.bt.found.insert(f.bt.found.begin() + 1, f.bt.found[0]);  // the first answered twice
    const std::vector<std::string> list = bt_inquiry();
    ASSERT_EQ(list.size(), 32u);
    char text[COMM_DEVID_SIZE];
    for (int i = 0; i < 32; ++i) {
        std::snprintf(text, sizeof text,
                      "bt:A5:A4:A3:A2:A1:%02X?channel=1&cod=%06x&pin=&timeout=60000", i,
                      i < 6 ? rows[i].cod : 0x1F00 + i);
        EXPECT_EQ(list[i], text + (i < 6 ? rows[i].entry : ""));
        if (i >= 6 || rows[i].devid.empty()) continue;
        ASSERT_EQ(comm_get_devid_string(list[i].c_str(), text), 0);
        EXPECT_EQ(text, "Bluetooth " + rows[i].devid);
    }
}

// With a PIN the link asks to be paired (and gives the PIN when asked for it); without one it
// does not. Bytes go both ways; each side sees the other's close.
TEST(BtContract, RfcommLinksCarryBytesBothWays) {
    const struct {
        const char* address;
        int channel;
        const char* pin;
        Connect how;
        const char* to;
        bool closed_by_device;
    } cases[] = {
        {"00:11:22:aa:bb:cc", 3, "1234", Connect::later, "00:11:22:AA:BB:CC channel 3", false},
        {"0a:1b:2c:3d:4e:5f", 30, "", Connect::now, "0A:1B:2C:3D:4E:5F channel 30", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.to);
        Installed f;
        f.bt.connect = c.how;
        CommRunning running;
        char conn[COMM_CONN_STRING_SIZE];
        ASSERT_EQ(
            comm_make_conn_string_bt(conn, c.address, "NV", 0xFFE050, c.channel, c.pin, 60000), 0);
        Link link;
        ASSERT_TRUE(link.opened(conn));
        EXPECT_EQ(connected_to(f.bt), c.to);
        EXPECT_EQ(paired_with(f.bt, c.pin), c.pin);
        ASSERT_TRUE(device_write(f.bt, "from the instrument"));
        ASSERT_TRUE(link.ev.wait_bytes(link.handle, 19));
        EXPECT_EQ(link.data(), "from the instrument");
        ASSERT_EQ(comm_write(link.handle, "to it", 5, 0, 5000), 0);
        EXPECT_EQ(device_read(f.bt, 5), "to it");
        if (c.closed_by_device) {
            device_close(f.bt);
            ASSERT_TRUE(link.wait(C));
            EXPECT_EQ(link.kinds(), (kinds{O, D, C}));
        } else {
            ASSERT_EQ(comm_disconnect(link.handle), 0);
            EXPECT_EQ(device_read(f.bt), "");  // the instrument sees the close
        }
        link.handle = 0;
    }
}

TEST(BtContract, EveryRefusalHasItsNote) {
    const std::string address = "00:11:22:AA:BB:CC";
    const std::string not_answering = "Bluetooth device " + address +
                                      " did not answer: is it switched on, with its Bluetooth "
                                      "enabled, and in range?\n";
    const std::string channel = "Bluetooth device " + address +
                                " refused RFCOMM channel 3: no serial link is offered there, or "
                                "the device wants to be paired first.\n";
    const struct {
        Connect how;
        Refusal why;
        const char* pin;
        std::string note;
    } cases[] = {
        {Connect::later, Refusal::not_answering, "", not_answering},
        {Connect::now, Refusal::not_answering, "", not_answering},
        {Connect::never, Refusal::none, "", not_answering},
        {Connect::now, Refusal::channel, "", channel},
        {Connect::later, Refusal::channel, "1234", channel},
        {Connect::later, Refusal::pairing, "", pairing_note(address, "")},
        {Connect::now, Refusal::pairing, "0000", pairing_note(address, "0000")},
        {Connect::now, Refusal::no_controller, "", NO_CONTROLLER_NOTE},
        {Connect::later, Refusal::no_controller, "", NO_CONTROLLER_NOTE},
        {Connect::now, Refusal::no_support, "", NO_SUPPORT_NOTE},
        {Connect::no_socket, Refusal::no_support, "", NO_SUPPORT_NOTE},
        {Connect::now, Refusal::other, "", ""},
        {Connect::later, Refusal::other, "1234", ""},
        {Connect::no_socket, Refusal::other, "", ""},
    };
    for (const auto& c : cases) {
        for (int code : CODES.at(c.why)) {  // every code by which the system tells of it
            SCOPED_TRACE(std::to_string(static_cast<int>(c.how)) + " " +
                         std::to_string(static_cast<int>(c.why)) + " " + std::to_string(code));
            Installed f;
            f.bt.connect = c.how;
            f.bt.err = code;
            CommRunning running;
            char conn[COMM_CONN_STRING_SIZE];
            ASSERT_EQ(comm_make_conn_string_bt(conn, address.c_str(), "", 0xFFE050, 3, c.pin,
                                               c.how == Connect::never ? 50 : 60000),
                      0);
            Stopwatch clock;
            EXPECT_EQ(refused_note(conn), c.note);
            if (c.how == Connect::never) {
                EXPECT_GE(clock.ms(), 50);  // its own time-out, not a moment less
            }
            EXPECT_LT(clock.ms(), 20000);
        }
    }
}

#if NV_HAVE_WINBT
// Bluetooth 2.1 pairing: a comparison without a number for a person (Just Works: no display, or no
// protection asked for) confirmed with the device's number; a passkey asked for is the PIN if it is
// 1-6 digits; the rest (a person needed, out of band) declined at once, with the pairing's note.
TEST(BtContract, WindowsAnswersEveryWayOfPairing) {
    const char* address = "00:11:22:AA:BB:CC";
    enum { COMPARE = 3, SHOW, ENTER, OOB = 2 };  // BLUETOOTH_AUTHENTICATION_METHOD
    enum { SHOWS = 0, YES_NO, KEYS, NO_IO };     // BLUETOOTH_IO_CAPABILITY
    enum { NOT_ASKED = 0, ASKED, BONDING_ASKED = 3, GENERAL_ASKED = 5, GENERAL = 4 };
    const struct {
        int method, io, needs;
        ULONG number;
        const char* pin;
        std::string answer;
    } cases[] = {
        {COMPARE, NO_IO, GENERAL_ASKED, 123456, "1234", "confirmed 123456"},
        {COMPARE, YES_NO, GENERAL, 999999, "1234", "confirmed 999999"},
        {COMPARE, YES_NO, NOT_ASKED, 7, "0000", "confirmed 7"},
        {COMPARE, YES_NO, ASKED, 1, "1", "declined"},
        {COMPARE, YES_NO, BONDING_ASKED, 1, "1", "declined"},
        {COMPARE, YES_NO, GENERAL_ASKED, 1, "1", "declined"},
        {ENTER, SHOWS, GENERAL_ASKED, 0, "004711", "passkey 4711"},
        {ENTER, SHOWS, GENERAL_ASKED, 0, "999999", "passkey 999999"},
        {ENTER, SHOWS, GENERAL_ASKED, 0, "1234567", "declined"},
        {ENTER, SHOWS, GENERAL_ASKED, 0, "12a4", "declined"},
        {SHOW, KEYS, GENERAL_ASKED, 1, "1", "declined"},
        {OOB, YES_NO, GENERAL_ASKED, 0, "1", "declined"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer + " " + std::to_string(c.needs) + " " + c.pin);
        Installed f;
        f.bt.request = {{},
                        BLUETOOTH_AUTHENTICATION_METHOD(c.method),
                        BLUETOOTH_IO_CAPABILITY(c.io),
                        BLUETOOTH_AUTHENTICATION_REQUIREMENTS(c.needs),
                        {c.number}};
        CommRunning running;
        char conn[COMM_CONN_STRING_SIZE];
        ASSERT_EQ(comm_make_conn_string_bt(conn, address, "", 1, 3, c.pin, 60000), 0);
        const bool declined = c.answer == "declined";
        ErrorLog log;
        Link link;
        ASSERT_TRUE(link.connect(conn));
        EXPECT_TRUE(link.wait(declined ? C : O));
        EXPECT_EQ(paired_answer(f.bt), c.answer);
        EXPECT_EQ(log.text(), declined ? pairing_note(address, c.pin) : "");
        // A declined link may still be delivering its CLOSED (then disconnect waits for it and
        // answers 0) or be gone (-1); an open one is closed. Gone afterwards, either way.
        EXPECT_TRUE(comm_disconnect(link.handle) == 0 || declined);
        EXPECT_EQ(comm_disconnect(link.handle), -1);
        link.handle = 0;
    }
}
#endif  // NV_HAVE_WINBT

#if NV_HAVE_BLUEZ
// BlueZ alone tells the controller to cancel an inquiry (no names are asked for after it); a
// cancel before an inquiry does not stop the next one; an inquiry that fails finds nothing, and
// without the controller's descriptor no names are asked for.
TEST(BtContract, BlueZCancelsOrFailsTheInquiry) {
    {
        Installed f;
        f.bt.hold_inquiry = true;
        for (int n = 0; n < 3; ++n) answers(f.bt, n, 0x1F00, n == 0 ? "not asked for" : "");
        ASSERT_EQ(comm_bt_discover(0, 0xFFE050, 0), 0);
        std::unique_lock<std::mutex> held(f.bt.lock);
        ASSERT_TRUE(f.bt.changed.wait_for(held, CommEvents::LIMIT, [&] { return f.bt.inquiring; }));
        held.unlock();
        EXPECT_EQ(comm_bt_discover_cancel(), 0);
        comm_dev_entry list[32];
        int count = -1;
        ASSERT_EQ(comm_bt_discover_wait(list, &count), 0);
        ASSERT_EQ(count, 3);
        EXPECT_TRUE(f.bt.cancel_sent);
        EXPECT_EQ(std::string(list[0]),
                  "bt:A5:A4:A3:A2:A1:00?channel=1&cod=001f00&pin=&timeout=60000");
    }
    const struct {
        int inquiry_errno;
        bool open_dev_fails;
        std::vector<std::string> entries;
    } cases[] = {{EIO, false, {}},
                 {0, true, {"bt:A5:A4:A3:A2:A1:00?channel=1&cod=000001&pin=&timeout=60000"}}};
    for (const auto& c : cases) {
        Installed f;
        answers(f.bt, 0, 1, "unasked");
        f.bt.inquiry_errno = c.inquiry_errno;
        f.bt.open_dev_fails = c.open_dev_fails;
        EXPECT_EQ(bt_inquiry(), c.entries);
    }
    Installed f;
    answers(f.bt, 0, 1);
    EXPECT_EQ(comm_bt_discover_cancel(), 0);
    EXPECT_EQ(bt_inquiry().size(), 1u);
    EXPECT_EQ(f.bt.inquiries, 1);
    EXPECT_FALSE(f.bt.cancel_sent);  // nothing to cancel at the controller
    int count = -1;
    EXPECT_EQ(comm_bt_discover(0, 0xFFE050, 0), 0);
    EXPECT_EQ(comm_bt_discover_wait(nullptr, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(comm_bt_discover(0, 0xFFE050, 0), 0);
    EXPECT_EQ(comm_bt_discover_wait(nullptr, nullptr), 0);
}
#endif  // NV_HAVE_BLUEZ

}  // namespace

#else

TEST(BtContract, NotBuilt) {
    GTEST_SKIP() << "built without Bluetooth";
}

#endif  // NV_HAVE_BLUEZ || NV_HAVE_WINBT
