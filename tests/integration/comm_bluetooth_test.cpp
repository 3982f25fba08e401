// Bluetooth on the fake BlueZ controller (tests/fakes/bt_fake.h) beyond what every Bluetooth side
// promises (comm_bt_contract_test.cpp, which also runs every errno of a refused connect): a
// controller that is there but down or failing, the inquiry's length and name requests, a
// cancelled inquiry, and an inquiry that fails.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bt_fake.h"
#include "comm_internal.h"
#include "comm_links.h"

#if NV_HAVE_BLUEZ

namespace {

using namespace bt_fake;

TEST(Bluetooth, AvailableOnlyWithAControllerThatIsUp) {
    const struct {
        int route;
        bool up, devinfo_fails;
        int available;
    } cases[] = {
        {0, false, false, 0}, {0, true, false, 1}, {2, true, false, 1}, {0, true, true, 0}};
    for (const auto& c : cases) {
        Installed f;
        f.bt.route = c.route;
        f.bt.up = c.up;
        f.bt.devinfo_fails = c.devinfo_fails;
        EXPECT_EQ(comm_bt_is_available(), c.available) << c.route << c.up << c.devinfo_fails;
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

TEST(CommBluetooth, AFailingControllerOrInquiry) {
    {
        Installed f;  // an inquiry that fails finds nothing
        f.bt.found = {answer(0, 1)};
        f.bt.inquiry_errno = EIO;
        EXPECT_EQ(bt_inquiry(), std::vector<std::string>{});
        EXPECT_EQ(f.bt.open_devs, 0);
    }
    {
        Installed f;  // without the controller's descriptor no names are asked for
        f.bt.found = {answer(0, 1)};
        f.bt.names["A5:A4:A3:A2:A1:00"] = "unasked";
        f.bt.open_dev_fails = true;
        EXPECT_EQ(bt_inquiry(),
                  std::vector<std::string>{
                      "bt:A5:A4:A3:A2:A1:00?channel=1&cod=000001&pin=&timeout=60000"});
    }
    {
        Installed f;  // a cancel before an inquiry does not stop the next one
        f.bt.found = {answer(0, 1)};
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
}

}  // namespace

#endif  // NV_HAVE_BLUEZ
