// The "eth" mode end to end over USB: the program's own entry with the real link layer and
// communication library, on a fake USB bus whose one NV-52 is the simulator. The device's bulk
// OUT bytes go to a TCP connection to the simulator, and its bulk IN transfers complete with the
// bytes the simulator sends back.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../sim_tests/sim_harness.h"
#include "../unit_comm/usb_fake.h"
#include "console.h"
#include "e2e.h"
#include "qxx_cmds.h"
#include "qxx_comm.h"

#if NV_HAVE_LIBUSB

int nv_term_main(int argc, char** argv);

namespace {

constexpr int USB_MODE_OFFSET = 136;  // u16 usb_mode in the parameter record
constexpr int IDENTIFY = 8007, GET_PARAMS = 8201, SET_PARAMS = 8202, RESTART = 8021;

usb_fake::Device nv52() {
    usb_fake::Device d;
    d.vendor = 0x1781;
    d.product = 0x0c45;
    d.ports = {3};
    d.kernel_driver = true;
    return d;
}

// Carries bytes between the fake device and a TCP link to the simulator, on its own thread, and
// takes apart what the host sent so the test can see every request it made.
class Bridge {
  public:
    Bridge(usb_fake::Bus* bus, usb_fake::Device* dev, int port)
        : bus_(bus), dev_(dev), fd_(connect_loopback(port)) {
        rx_->count = 0;
        if (fd_ < 0) {
            ADD_FAILURE() << "no link to the simulator";
            return;
        }
        thread_ = std::thread([this] { run(); });
    }
    ~Bridge() {
        stop_ = 1;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    std::vector<int> codes() {
        std::lock_guard<std::mutex> guard(lock_);
        return codes_;
    }
    // The payload of the last request with `code` (empty when there was none).
    bytes payload(int code) {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto it = sent_.rbegin(); it != sent_.rend(); ++it)
            if (it->code == code) return it->data;
        return {};
    }

  private:
    void run() {
        size_t forwarded = 0;
        bool peer_open = true;
        while (!stop_) {
            // Host to simulator: whatever the device took since the last round.
            std::string out = bus_->received(dev_);
            if (out.size() > forwarded && peer_open) {
                std::string fresh = out.substr(forwarded);
                record(fresh);
                if (::send(fd_, fresh.data(), fresh.size(), MSG_NOSIGNAL) !=
                    static_cast<ssize_t>(fresh.size()))
                    peer_open = false;
            }
            forwarded = out.size();
            // Simulator to host. The simulator closes the link when the instrument restarts;
            // the device then simply stays silent.
            pollfd p{fd_, POLLIN, 0};
            if (!peer_open || poll(&p, 1, 2) != 1) {
                if (!peer_open) std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            char buf[4096];
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0) {
                peer_open = false;
                continue;
            }
            bus_->send(dev_, std::string(buf, static_cast<size_t>(n)));
        }
    }
    void record(const std::string& fresh) {
        std::lock_guard<std::mutex> guard(lock_);
        for (char c : fresh) {
            if (!qxx_rx_push(rx_.get(), static_cast<unsigned char>(c))) continue;
            const unsigned char* f = rx_->buf;
            rx_frame r;
            r.code = qxx_frame_code(f);
            r.data.assign(f + 12, f + 12 + qxx_frame_payload_size(f));
            codes_.push_back(r.code);
            sent_.push_back(std::move(r));
            rx_->count = 0;
        }
    }

    usb_fake::Bus* bus_;
    usb_fake::Device* dev_;
    int fd_;
    std::atomic<int> stop_{0};
    std::thread thread_;
    std::mutex lock_;
    std::unique_ptr<QXX_rx> rx_ = std::make_unique<QXX_rx>();
    std::vector<int> codes_;
    std::vector<rx_frame> sent_;
};

// The requests after identification, which is one or more serial-number probes first.
std::vector<int> after_identification(const std::vector<int>& codes) {
    size_t i = 0;
    while (i < codes.size() && codes[i] == IDENTIFY) ++i;
    EXPECT_GT(i, 0u) << "identification first";
    return {codes.begin() + static_cast<long>(i), codes.end()};
}

struct EthRun {
    int exit_code = -1;
    std::string out;
    std::vector<int> codes;
    bytes written;  // the parameter record sent back, if any
};

// Runs "nv-term eth" against a simulator started with `sim_line`, then closes the link the mode
// leaves open, and reads the simulator's usb_mode afterwards over a second connection.
EthRun run_eth(const std::string& sim_line, int* usb_mode_after) {
    EthRun r;
    InProcessSim sim(options(sim_line));
    usb_fake::Installed fake;
    usb_fake::Device* dev = fake.bus.add(nv52());
    {
        Bridge bridge(&fake.bus, dev, sim.port());
        Console con;
        connected = 0;
        std::string arg0 = "nv-term", arg1 = "eth";
        char* argv[] = {arg0.data(), arg1.data(), nullptr};
        r.exit_code = nv_term_main(2, argv);
        r.out = con.out();
        // The mode leaves the link open on purpose; the program's exit would close it.
        QXX_shut();
        r.codes = after_identification(bridge.codes());
        r.written = bridge.payload(SET_PARAMS);
    }
    SimClient second(sim);
    rx_frame params = second.call(GET_PARAMS);
    *usb_mode_after =
        params.data.size() >= USB_MODE_OFFSET + 2 ? get_u16le(&params.data[USB_MODE_OFFSET]) : -1;
    return r;
}

TEST(EthModeOverUsb, SwitchesUsbModeZeroToOneAndRestarts) {
    int after = -1;
    EthRun r = run_eth("--usb-mode 0", &after);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, e2e::BANNER + "\nConnecting device...Ok.\n");
    EXPECT_EQ(r.codes, (std::vector<int>{GET_PARAMS, SET_PARAMS, RESTART}));
    ASSERT_GE(r.written.size(), static_cast<size_t>(USB_MODE_OFFSET + 2));
    EXPECT_EQ(get_u16le(&r.written[USB_MODE_OFFSET]), 1);
    EXPECT_EQ(after, 1) << "the simulator kept the new record";
}

TEST(EthModeOverUsb, LeavesUsbModeOneAlone) {
    int after = -1;
    EthRun r = run_eth("--usb-mode 1", &after);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, e2e::BANNER + "\nConnecting device...Ok.\n");
    EXPECT_EQ(r.codes, std::vector<int>{GET_PARAMS});
    EXPECT_EQ(after, 1);
}

TEST(EthModeOverUsb, RefusedParameterReadWritesNothing) {
    int after = -1;
    EthRun r = run_eth("--fail-code 8201", &after);
    EXPECT_NE(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind(e2e::BANNER + "\nConnecting device...Ok.\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("Command Q8_get_params error(code="), std::string::npos) << r.out;
    EXPECT_EQ(r.codes, std::vector<int>{GET_PARAMS});
    EXPECT_TRUE(r.written.empty());
}

}  // namespace

#endif  // NV_HAVE_LIBUSB
