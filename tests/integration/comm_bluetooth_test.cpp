// Bluetooth on the fake BlueZ controller (tests/fakes/bt_fake.h) beyond what every Bluetooth side
// promises (comm_bt_contract_test.cpp): a controller that is there but down, the inquiry's
// length and name requests, a cancelled inquiry, every errno of a refused connect, and an
// inquiry or controller that fails.
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

std::vector<std::string> inquire() {
    comm_dev_entry list[40];
    int count = -1;
    EXPECT_EQ(comm_bt_discover(0, 0xFFE050, 0), 0);
    EXPECT_EQ(comm_bt_discover_wait(list, &count), 0);
    return std::vector<std::string>(list, list + std::max(count, 0));
}

TEST(Bluetooth, AvailableOnlyWithAControllerThatIsUp) {
    struct Case {
        int route;
        bool up;
        int available;
    };
    for (const Case& c :
         {Case{-1, true, 0}, Case{0, false, 0}, Case{0, true, 1}, Case{2, true, 1}}) {
        Installed f;
        f.bt.route = c.route;
        f.bt.up = c.up;
        EXPECT_EQ(comm_bt_is_available(), c.available) << c.route << " " << c.up;
    }
}

TEST(Bluetooth, CancelEndsTheInquiryWithWhatWasFound) {
    Installed f;
    f.bt.hold_inquiry = true;
    for (int n = 0; n < 3; ++n) f.bt.found.push_back(answer(n, 0x1F00));
    f.bt.names["A5:A4:A3:A2:A1:00"] = "not asked for";
    ASSERT_EQ(comm_bt_discover(0, 0xFFE050, 0), 0);
    {
        std::unique_lock<std::mutex> held(f.bt.lock);
        ASSERT_TRUE(f.bt.changed.wait_for(held, CommEvents::LIMIT, [&] { return f.bt.inquiring; }));
    }
    EXPECT_EQ(comm_bt_discover_cancel(), 0);
    comm_dev_entry list[32];
    int count = -1;
    ASSERT_EQ(comm_bt_discover_wait(list, &count), 0);
    ASSERT_EQ(count, 3);
    EXPECT_TRUE(f.bt.cancel_sent);
    comm_bt_params p;
    ASSERT_EQ(comm_bt_parse(list[0], &p), 1);
    EXPECT_STREQ(p.name, "");
    EXPECT_EQ(f.bt.open_devs, 0);
}

// An inquiry of 8 x 1.28 s for up to 255 answers, with the cache flushed; names of up to 248
// bytes, each asked for within 3 s.
TEST(CommBluetooth, TheInquiryAsksTheController) {
    Installed f;
    answers(f.bt, 0, 1, "NV-52");
    comm_dev_entry list[4];
    int count = -1;
    ASSERT_EQ(comm_bt_discover(0, 0xFFE050, 0), 0);
    ASSERT_EQ(comm_bt_discover_wait(list, &count), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(f.bt.open_devs, 0);
    EXPECT_EQ(f.bt.inquiry_args, (std::vector<long>{8, 255, 0, IREQ_CACHE_FLUSH}));
    EXPECT_EQ(f.bt.name_args, (std::vector<int>{249, 3000}));
}

// The refusals BlueZ reports in more ways than the contract tests' own.
TEST(CommBluetooth, EveryErrnoOfARefusalHasItsNote) {
    const struct {
        Connect how;
        int err;
        const char* pin;
        std::string note;
    } cases[] = {
        {Connect::now, EHOSTUNREACH, "", NOT_ANSWERING},
        {Connect::later, ETIMEDOUT, "", NOT_ANSWERING},
        {Connect::now, EPERM, "0000", pairing_note(ADDRESS, "0000")},
        {Connect::later, EBADE, "1234", pairing_note(ADDRESS, "1234")},
        {Connect::later, EKEYREJECTED, "", pairing_note(ADDRESS, "")},
        {Connect::later, EKEYEXPIRED, "", pairing_note(ADDRESS, "")},
        {Connect::now, EKEYREVOKED, "", pairing_note(ADDRESS, "")},
        {Connect::later, ENODEV, "", NO_CONTROLLER_NOTE},
        {Connect::now, EADDRNOTAVAIL, "", NO_CONTROLLER_NOTE},
        {Connect::no_socket, EPROTONOSUPPORT, "", NO_SUPPORT_NOTE},
        {Connect::no_socket, EMFILE, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.how)) + " " + std::strerror(c.err));
        Installed f;
        f.bt.connect = c.how;
        f.bt.err = c.err;
        CommRunning running;
        char conn[COMM_CONN_STRING_SIZE];
        ASSERT_EQ(comm_make_conn_string_bt(conn, ADDRESS.c_str(), "", 0xFFE050, 3, c.pin, 60000),
                  0);
        EXPECT_EQ(refused_note(conn), c.note);
    }
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
