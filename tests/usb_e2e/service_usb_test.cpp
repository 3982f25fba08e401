// nv-service's finding of USB instruments on a fake bus: listed by place with their serial
// numbers, and reached by place or serial number.
#include <gtest/gtest.h>

#include "qxx_comm.h"
#include "sim_client.h"
#include "svc_devices.h"
#include "usb_fake.h"

#if NV_HAVE_LIBUSB

namespace {

TEST(ServiceUsb, InstrumentsListedByPlaceAndSerial) {
    usb_fake::Bench fake;
    usb_fake::Device named = usb_fake::at(1, {3});
    named.maker = "Orvantis";
    named.name = "NV-52";
    named.serial = "C0001234";
    fake.add(named);
    fake.add(2, {1, 4}, 0x0c45);  // no strings: its serial is not known without a link
    // The first instrument also answers discovery on the network (its USB network gadget).
    InProcessSim sim(options(""));
    ASSERT_EQ(QXX_init(nullptr, nullptr, nullptr), 0);
    svc_options o;
    o.discover = "127.0.0.1";
    o.discover_port = sim_server_udp_port(sim.server());
    o.discover_ms = 300;
    std::vector<std::string> usb;
    for (const svc_found& f : svc_find(o))
        if (f.kind == "usb")
            usb.push_back(f.device + "|" + f.conn + "|" + f.serial + "|" + f.name + "|" +
                          std::to_string(f.instrument));
    EXPECT_EQ(usb, (std::vector<std::string>{
                       "1-3|USBF:1-3:1781/0c44|C0001234|USB bus 1 port 3 (1781:0c44) NV-52, "
                       "serial C0001234|1",
                       "2-1.4|USBS:2-1.4:1781/0c45||USB bus 2 port 1.4 (1781:0c45)|1"}));
    svc_finder finder{&o, false, {}};
    for (const auto& [device, conn] :
         {std::pair{"1-3", "USBF:1-3:1781/0c44"}, std::pair{"C0001234", "USBF:1-3:1781/0c44"},
          std::pair{"2-1.4", "USBS:2-1.4:1781/0c45"}}) {
        svc_target t;
        std::string error;
        EXPECT_EQ(svc_resolve(device, &finder, &t, &error), SVC_OK) << device << error;
        EXPECT_EQ(t.conn, conn) << device;
    }
    // --all takes it once, on the first found (USB).
    std::vector<svc_target> all;
    std::string error;
    EXPECT_EQ(svc_resolve_all(&finder, &all, &error), SVC_OK);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].device + " " + all[1].device, "1-3 2-1.4");
    EXPECT_EQ(finder.all().back().kind + " " + finder.all().back().serial, "net C0001234");
    QXX_shut();
}

}  // namespace

#endif
