// nv-service's finding of Bluetooth devices through the library's inquiry (on the fake BlueZ):
// each listed, only those named NV-52 taken by --all.
#include <gtest/gtest.h>

#include "bt_fake.h"
#include "qxx_comm.h"
#include "svc_devices.h"

#if NV_HAVE_BLUEZ

namespace {

using namespace bt_fake;

TEST(ServiceBluetooth, EveryDeviceListedOnlyInstrumentsTaken) {
    Installed f;
    radio(f.bt, Radio::on);
    answers(f.bt, 0, 0xFFE050, "NV-52 C0001234");
    answers(f.bt, 1, 0x5A020C, "a phone");
    answers(f.bt, 2, 0xFFE050, "NV-52 C0001235");
    ASSERT_EQ(QXX_init(nullptr, nullptr, nullptr), 0);
    svc_options o;
    o.discover = "127.0.0.1";
    o.discover_port = 9;  // nothing answers there
    o.discover_ms = 100;
    std::vector<std::string> found;
    for (const svc_found& f : svc_find(o))
        if (f.kind == "bluetooth")
            found.push_back(f.device.substr(0, 20) + "|" + f.name + "|" +
                            std::to_string(f.instrument));
    EXPECT_EQ(found, (std::vector<std::string>{
                         "bt:A5:A4:A3:A2:A1:00|Bluetooth NV-52 C0001234 (A5:A4:A3:A2:A1:00)|1",
                         "bt:A5:A4:A3:A2:A1:01|Bluetooth a phone (A5:A4:A3:A2:A1:01)|0",
                         "bt:A5:A4:A3:A2:A1:02|Bluetooth NV-52 C0001235 (A5:A4:A3:A2:A1:02)|1"}));
    svc_finder finder{&o, false, {}};
    std::vector<svc_target> all;
    std::string error;
    EXPECT_EQ(svc_resolve_all(&finder, &all, &error), SVC_OK);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1].device.substr(0, 20), "bt:A5:A4:A3:A2:A1:02");
    QXX_shut();
}

}  // namespace

#endif
