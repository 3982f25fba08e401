// The "eth" mode and a refused device end to end: the program's own entry with the real link
// layer and communication library, on a fake USB bus whose one NV-52 is the simulator, its bulk
// OUT bytes carried over TCP to the simulator and its bulk IN transfers completing with replies.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "sim_client.h"
#include "usb_fake.h"
#include "console.h"
#include "e2e.h"
#include "qxx_cmds.h"
#include "qxx_comm.h"

#if NV_HAVE_LIBUSB

int nv_term_main(int argc, char** argv);

namespace {

constexpr int USB_MODE_OFFSET = 136;  // u16 usb_mode in the parameter record

// Carries bytes between the fake device and a TCP link to the simulator on its own thread. The
// simulator closes the link when the instrument restarts; the device then stays silent.
struct Bridge {
    usb_fake::Bench* bus;
    usb_fake::Device* dev;
    int fd;
    std::atomic<bool> stop{false};
    std::thread thread{[this] {
        size_t forwarded = 0;
        for (bool open = fd >= 0; !stop;) {
            const std::string out = bus->received(dev);
            if (open && out.size() > forwarded) open = write_all(fd, out.substr(forwarded));
            forwarded = out.size();
            if (!open) bus->wait([this](usb_fake::Bench&) { return stop.load(); });
            if (!open || !wait_fd(fd, POLLIN, 2)) continue;
            char buf[4096];
            ssize_t n = read(fd, buf, sizeof buf);
            if (n > 0) bus->send(dev, std::string(buf, static_cast<size_t>(n)));
            open = n > 0;
        }
    }};
    ~Bridge() {
        bus->set([this](usb_fake::Bench&) { stop = true; });  // under the lock: wakes the wait
        thread.join();
        if (fd >= 0) close(fd);
    }
};

TEST(EthModeOverUsb, SwitchesUsbModeToOneOnlyWhenNeeded) {
    const std::string linked = e2e::BANNER + "\nConnecting device...Ok.\n";
    const struct {
        const char* sim_line;
        int exit_code;
        std::string output;
        std::vector<int> requests;  // after the identification probes
        int usb_mode_after;         // as the simulator keeps it (-1: not read back)
    } cases[] = {
        {"--usb-mode 0", 0, linked, {8201, 8202, 8021}, 1},
        {"--usb-mode 1", 0, linked, {8201}, 1},
        // A refused parameter read writes nothing back.
        {"--fail-code 8201", -1, linked + "Command Q8_get_params error(code=1)!\n", {8201}, -1},
        // Not recognised: nothing at all is sent after the probes.
        {"--refuse-identify",
         -1,
         e2e::BANNER + "\nConnecting device...Error!\nThe device was not recognised as an NV-52: "
                       "nothing was sent to it.\n",
         {},
         -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sim_line);
        InProcessSim sim(options(c.sim_line));
        usb_fake::Bench fake;
        usb_fake::Device* dev = fake.add(1, {3}, 0x0c45);
        dev->kernel_driver = true;
        std::string sent;
        {
            Bridge bridge{&fake, dev, connect_loopback(sim.port())};
            Console con;
            connected = 0;
            std::string arg0 = "nv-term", arg1 = "eth";
            char* argv[] = {arg0.data(), arg1.data(), nullptr};
            EXPECT_EQ(nv_term_main(2, argv), c.exit_code);
            EXPECT_EQ(con.out(), c.output);
            QXX_shut();  // the mode leaves the link open on purpose; the program's exit closes it
            sent = fake.received(dev);
        }
        // Frame by frame after the probes; the record goes back with usb_mode 1.
        auto rx = std::make_unique<QXX_rx>();
        rx->count = 0;
        std::vector<int> codes;
        for (char byte : sent) {
            if (!qxx_rx_push(rx.get(), static_cast<unsigned char>(byte))) continue;
            const int code = qxx_frame_code(rx->buf);
            if (code != 8007 || !codes.empty()) codes.push_back(code);
            EXPECT_TRUE(code != 8202 || get_u16le(rx->buf + 12 + USB_MODE_OFFSET) == 1);
            rx->count = 0;
        }
        EXPECT_EQ(codes, c.requests);
        if (c.usb_mode_after < 0) continue;
        bytes params = sim_call(sim, 8201);
        ASSERT_EQ(params.size(), 1400u);
        EXPECT_EQ(get_u16le(&params[USB_MODE_OFFSET]), c.usb_mode_after);
    }
}

TEST(UsbEntry, ARefusedDeviceGetsTheProgramsAdvice) {
    usb_fake::Bench fake;
    fake.add(1, {3});
    fake.set([](usb_fake::Bench& k) { k.errors.open = LIBUSB_ERROR_ACCESS; });
    Console con("1\n1\n");  // USB, the first device
    std::string arg0 = "nv-term";
    char* argv[] = {arg0.data(), nullptr};
    EXPECT_EQ(nv_term_main(1, argv), 0);
    EXPECT_NE(con.err().find("No permission to use the USB device at bus 1 port 3 (1781:0c44).\n"
                             "Install udev/60-nv52.rules into /etc/udev/rules.d,"),
              std::string::npos)
        << con.err();
}

}  // namespace

#endif  // NV_HAVE_LIBUSB
