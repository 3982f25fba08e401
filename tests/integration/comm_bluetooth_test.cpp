// Bluetooth on the fake controller (tests/fakes/bt_fake.h), beyond tests/integration/bt_test.cpp:
// the exact note for every refusal at once and later, a link that opens at once without a PIN,
// the inquiry's entries in their exact text (class bytes, names cut at a character boundary),
// and an inquiry or controller that fails.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bt_fake.h"
#include "comm_internal.h"
#include "comm_links.h"
#include "error_log.h"

#if NV_HAVE_BLUEZ

namespace {

using namespace bt_fake;
using kinds = std::vector<int>;

const std::string ADDRESS = "00:11:22:AA:BB:CC";
const std::string NOT_ANSWERING = "Bluetooth device " + ADDRESS +
                                  " did not answer: is it switched on, with its Bluetooth "
                                  "enabled, and in range?\n";
const std::string CHANNEL = "Bluetooth device " + ADDRESS +
                            " refused RFCOMM channel 3: no serial link is offered there, or the "
                            "device wants to be paired first.\n";
std::string pairing(const std::string& pin) {
    return "Bluetooth device " + ADDRESS +
           " refused the pairing (wrong or missing PIN, or no stored key).\nPair it once with the "
           "system's Bluetooth tools (bluetoothctl: pair " +
           ADDRESS + (pin.empty() ? "" : ", PIN " + pin) + "), then connect again.\n";
}
const std::string NO_CONTROLLER =
    "No Bluetooth controller is up on this computer (switched off, or blocked by rfkill).\n";
const std::string NO_RFCOMM =
    "This system has no Bluetooth serial links (the kernel's RFCOMM support is missing).\n";

TEST(CommBluetooth, EveryRefusalHasItsNote) {
    const struct {
        Connect how;
        int err;
        const char* pin;
        std::string note;
    } cases[] = {
        {Connect::later, EHOSTDOWN, "", NOT_ANSWERING},
        {Connect::now, EHOSTUNREACH, "", NOT_ANSWERING},
        {Connect::later, ETIMEDOUT, "", NOT_ANSWERING},
        {Connect::never, 0, "", NOT_ANSWERING},
        {Connect::now, ECONNREFUSED, "", CHANNEL},
        {Connect::later, ECONNREFUSED, "", CHANNEL},
        {Connect::later, EACCES, "", pairing("")},
        {Connect::now, EPERM, "0000", pairing("0000")},
        {Connect::later, EBADE, "1234", pairing("1234")},
        {Connect::later, EKEYREJECTED, "", pairing("")},
        {Connect::later, EKEYEXPIRED, "", pairing("")},
        {Connect::now, EKEYREVOKED, "", pairing("")},
        {Connect::now, ENETDOWN, "", NO_CONTROLLER},
        {Connect::later, ENODEV, "", NO_CONTROLLER},
        {Connect::now, EADDRNOTAVAIL, "", NO_CONTROLLER},
        {Connect::now, EAFNOSUPPORT, "", NO_RFCOMM},
        {Connect::no_socket, EPROTONOSUPPORT, "", NO_RFCOMM},
        {Connect::no_socket, EAFNOSUPPORT, "", NO_RFCOMM},
        {Connect::no_socket, EMFILE, "", ""},
        {Connect::now, EIO, "", ""},
        {Connect::later, EINVAL, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.how)) + " " + std::strerror(c.err));
        Installed f;
        f.bt.connect = c.how;
        f.bt.err = c.err;
        ErrorLog log;
        CommRunning running;
        char conn[COMM_CONN_STRING_SIZE];
        ASSERT_EQ(comm_make_conn_string_bt(conn, ADDRESS.c_str(), "", 0xFFE050, 3, c.pin,
                                           c.how == Connect::never ? 50 : 60000),
                  0);
        Link link;
        Stopwatch clock;
        ASSERT_TRUE(link.connect(conn));
        ASSERT_TRUE(link.wait(COMM_EVENT_CLOSED));
        EXPECT_EQ(link.kinds(), (kinds{COMM_EVENT_ERROR, COMM_EVENT_CLOSED}));
        if (c.how == Connect::never) {
            EXPECT_GE(clock.ms(), 50);
        }
        EXPECT_LT(clock.ms(), 20000);
        EXPECT_EQ(log.text(), c.note);
        link.handle = 0;
    }
}

TEST(CommBluetooth, ALinkThatOpensAtOnceWithoutAPin) {
    Installed f;
    f.bt.connect = Connect::now;
    CommRunning running;
    char conn[COMM_CONN_STRING_SIZE];
    ASSERT_EQ(comm_make_conn_string_bt(conn, "0a:1b:2c:3d:4e:5f", "NV", 0, 30, "", 1000), 0);
    Link link;
    ASSERT_TRUE(link.connect(conn));
    ASSERT_TRUE(link.wait(COMM_EVENT_OPENED));
    {
        std::lock_guard<std::mutex> guard(f.bt.lock);
        EXPECT_EQ(text_of(f.bt.connected_to.rc_bdaddr), "0A:1B:2C:3D:4E:5F");
        EXPECT_EQ(f.bt.connected_to.rc_channel, 30);
        EXPECT_TRUE(f.bt.security_levels.empty());  // no PIN: no authentication asked for
    }
    ASSERT_EQ(comm_write(link.handle, "ping", 4, 0, 5000), 0);
    EXPECT_EQ(read_bytes(f.bt.device_fd, 4), "ping");
    ASSERT_TRUE(write_all(f.bt.device_fd, "pong"));
    ASSERT_TRUE(link.ev.wait_bytes(link.handle, 4));
    ::close(f.bt.device_fd);  // the instrument goes away
    f.bt.device_fd = -1;
    ASSERT_TRUE(link.wait(COMM_EVENT_CLOSED));
    EXPECT_EQ(link.kinds(), (kinds{COMM_EVENT_OPENED, COMM_EVENT_DATA, COMM_EVENT_CLOSED}));
    EXPECT_EQ(link.data(), "pong");
    link.handle = 0;
}

std::vector<std::string> inquire() {
    comm_dev_entry list[40];
    int count = -1;
    EXPECT_EQ(comm_bt_discover(0, 0xFFE050, 0), 0);
    EXPECT_EQ(comm_bt_discover_wait(list, &count), 0);
    return std::vector<std::string>(list, list + std::max(count, 0));
}

TEST(CommBluetooth, InquiryEntriesInTheirExactText) {
    Installed f;
    f.bt.found = {answer(0, 0xABCDEF), answer(1, 0x000001), answer(2, 0x5A0204), answer(3, 0)};
    std::string e_acute, euro;
    for (int i = 0; i < 60; ++i) e_acute += "\xc3\xa9";
    for (int i = 0; i < 40; ++i) euro += "\xe2\x82\xac";
    f.bt.names["A5:A4:A3:A2:A1:00"] = "NV-52 #1";
    f.bt.names["A5:A4:A3:A2:A1:01"] = e_acute;
    f.bt.names["A5:A4:A3:A2:A1:02"] = "x" + euro;
    const std::vector<std::string> entries = inquire();
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0],
              "bt:A5:A4:A3:A2:A1:00?channel=1&cod=abcdef&pin=&timeout=60000&name=NV-52%20%231");
    EXPECT_EQ(entries[3], "bt:A5:A4:A3:A2:A1:03?channel=1&cod=000000&pin=&timeout=60000");
    // Long names are cut to fit, at a character boundary, as long as they can be.
    const struct {
        size_t index;
        std::string unit;  // the name is made of whole ones of these, after `lead`
        std::string lead;
        const char* cod;
    } cut[] = {{1, "\xc3\xa9", "", "000001"}, {2, "\xe2\x82\xac", "x", "5a0204"}};
    for (const auto& c : cut) {
        SCOPED_TRACE(c.index);
        const std::string& e = entries[c.index];
        comm_bt_params p;
        ASSERT_EQ(comm_bt_parse(e.c_str(), &p), 1) << e;
        char cod[8];
        std::snprintf(cod, sizeof cod, "%06x", p.cod);
        EXPECT_STREQ(cod, c.cod);
        std::string name = p.name;
        ASSERT_EQ(name.compare(0, c.lead.size(), c.lead), 0);
        std::string rest = name.substr(c.lead.size());
        ASSERT_FALSE(rest.empty());
        EXPECT_EQ(rest.size() % c.unit.size(), 0u) << e;
        for (size_t i = 0; i < rest.size(); i += c.unit.size())
            EXPECT_EQ(rest.compare(i, c.unit.size(), c.unit), 0) << e;
        EXPECT_GT(e.size() + 3 * c.unit.size(), static_cast<size_t>(COMM_CONN_STRING_SIZE - 1))
            << "one more character would have fitted: " << e;
    }
    EXPECT_EQ(f.bt.open_devs, 0);
    // An inquiry of 8 x 1.28 s for up to 255 answers, with the cache flushed; names of up to
    // 248 bytes, each asked for within 3 s.
    EXPECT_EQ(f.bt.inquiry_args, (std::vector<long>{8, 255, 0, IREQ_CACHE_FLUSH}));
    EXPECT_EQ(f.bt.name_args, (std::vector<int>{249, 3000}));
}

TEST(CommBluetooth, AFailingControllerOrInquiry) {
    {
        Installed f;
        f.bt.devinfo_fails = true;
        EXPECT_EQ(comm_bt_is_available(), 0);
    }
    {
        Installed f;  // an inquiry that fails finds nothing
        f.bt.found = {answer(0, 1)};
        f.bt.inquiry_errno = EIO;
        EXPECT_EQ(inquire(), std::vector<std::string>{});
        EXPECT_EQ(f.bt.open_devs, 0);
    }
    {
        Installed f;  // without the controller's descriptor no names are asked for
        f.bt.found = {answer(0, 1)};
        f.bt.names["A5:A4:A3:A2:A1:00"] = "unasked";
        f.bt.open_dev_fails = true;
        EXPECT_EQ(inquire(), std::vector<std::string>{
                                 "bt:A5:A4:A3:A2:A1:00?channel=1&cod=000001&pin=&timeout=60000"});
    }
    {
        Installed f;  // a cancel before an inquiry does not stop the next one
        f.bt.found = {answer(0, 1)};
        EXPECT_EQ(comm_bt_discover_cancel(), 0);
        EXPECT_EQ(inquire().size(), 1u);
        EXPECT_EQ(f.bt.inquiries, 1);
        EXPECT_FALSE(f.bt.cancel_sent);  // nothing to cancel at the controller
        int count = -1;
        EXPECT_EQ(comm_bt_discover(0, 0xFFE050, 0), 0);
        EXPECT_EQ(comm_bt_discover_wait(nullptr, &count), 0);
        EXPECT_EQ(count, 0);
        EXPECT_EQ(comm_bt_discover(0, 0xFFE050, 0), 0);
        EXPECT_EQ(comm_bt_discover_wait(nullptr, nullptr), 0);
    }
}

}  // namespace

#endif  // NV_HAVE_BLUEZ
