// A bench of instruments over loopback: nv-service flashing eight simulated instruments with a
// 32 MiB container at once against flashing one, its peak memory meanwhile, and how long a
// link's disconnect holds up seven others that upload.
//
//   bench_service [flash] [memory] [disconnect]
//
// The flash figures run nv52-sim --instruments 8 with an instrument's own timing (INSTRUMENT
// below: the time it takes to store a block, to program its firmware, to start again), so that
// what is compared is the bench's: does the tool keep every instrument busy at once? The same
// without any instrument time is printed beside, without a target: it measures the PC alone.
// Everything is bounded: fixed counts, a time limit on every process.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_report.h"
#include "process.h"
#include "q5_comm.h"
#include "q8_comm.h"
#include "qxx_comm.h"
#include "xfw.h"

namespace {

using bench_clock = std::chrono::steady_clock;

constexpr size_t IMAGE = size_t{32} << 20;
constexpr int BENCH = 8;
constexpr int RUNS = 3;
constexpr int LIMIT_MS = 300000;
// An instrument's own time: 5 ms to store a 48000-byte block (about 10 MB/s, an eMMC's pace),
// half a second to erase, two seconds to program the firmware, three to start again.
const std::vector<std::string> INSTRUMENT = {"--block-ms", "5",    "--erase-ms", "500",
                                             "--flash-ms", "2000", "--boot-ms",  "3000"};
const std::vector<std::string> NO_TIME = {"--erase-ms", "0"};
// The disconnect figure: seven links upload this many blocks each, paced by the instruments.
constexpr int DISCONNECT_BLOCKS = 1000;
constexpr int DISCONNECT_AFTER_MS = 500;
constexpr int STALL_WRITE = 8 << 20;

double ms_since(bench_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(bench_clock::now() - t0).count();
}

// nv52-sim --instruments N on free loopback ports, its TCP ports read from its first lines.
struct Bench {
    proc::Child process;
    std::vector<int> ports;
    bool start(int n, const std::vector<std::string>& timing) {
        std::vector<std::string> args = {
            NV52_SIM_BIN, "--instruments", std::to_string(n), "--port", "0", "--discovery-port",
            "0"};
        args.insert(args.end(), timing.begin(), timing.end());
        if (!process.start(args, "", "/dev/null")) return false;
        for (int k = 0; k < n; ++k) {
            const std::string line = process.wait_line("listening tcp ");
            if (line.empty()) return false;
            ports.push_back(std::atoi(line.c_str() + line.rfind(':') + 1));
        }
        return true;
    }
};

// The peak resident memory of a running process, KiB (0 when it is gone).
long peak_kib(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(f, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

// nv-service flashing the first `n` instruments of `bench`: seconds, or -1 when it failed.
// `peak` gets its peak resident memory in MiB.
double flash(const Bench& bench, int n, const std::string& dir, double* peak) {
    std::vector<std::string> args = {NV_SERVICE_BIN, "--record", dir + "/service.jsonl",
                                     "--back-wait", "120"};
    for (int k = 0; k < n; ++k) {
        args.push_back("-d");
        args.push_back("127.0.0.1:" + std::to_string(bench.ports[k]));
    }
    args.push_back("flash");
    args.push_back(dir + "/fw.xfw");
    proc::Child c;
    const auto t0 = bench_clock::now();
    if (!c.start(args, dir)) return -1;
    // Read while it runs: VmHWM only grows, and the process waits seconds after its uploads.
    long kib = 0;
    for (long now; (now = peak_kib(c.pid())) > 0 && ms_since(t0) < LIMIT_MS;) {
        kib = std::max(kib, now);
        if (c.wait_for("\x01never", false, 20)) break;
    }
    const proc::Result r = c.finish(LIMIT_MS);
    const double seconds = ms_since(t0) / 1000;
    *peak = static_cast<double>(kib) / 1024;
    if (r.exit_code != 0) {
        std::fprintf(stderr, "nv-service failed (%d):\n%s\n", r.exit_code, r.output.c_str());
        return -1;
    }
    return seconds;
}

bool make_container(const std::string& dir) {
    std::vector<unsigned char> image(IMAGE);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (size_t i = 0; i < image.size(); ++i) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        image[i] = static_cast<unsigned char>(x);
    }
    const char version[] = "NV52-2.15.0";
    std::memset(image.data(), 0, 32);
    std::memcpy(image.data(), version, sizeof version);
    std::ofstream(dir + "/fw.tar", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<long>(image.size()));
    const proc::Result r = proc::run({NV_TERM_BIN, "cxfw", "fw.tar", "fw.xfw", "2.15"}, "", dir);
    return r.exit_code == 0;
}

void figure_flash(const std::string& dir, bool times, bool memory) {
    for (const bool instrument_time : {true, false}) {
        Bench bench;
        if (!bench.start(BENCH, instrument_time ? INSTRUMENT : NO_TIME)) {
            std::fprintf(stderr, "nv52-sim --instruments %d did not start\n", BENCH);
            return;
        }
        std::vector<double> one, eight, peaks;
        for (int run = 0; run < RUNS; ++run) {
            double peak = 0;
            one.push_back(flash(bench, 1, dir, &peak));
            eight.push_back(flash(bench, BENCH, dir, &peak));
            peaks.push_back(peak);
        }
        if (times)
            bench::row(
                instrument_time ? "flash 8 at once vs 1, 32 MiB" : "the same, no instrument time",
                bench::spread(eight), bench::spread(one), "s",
                instrument_time ? bench::Goal::ratio_at_most : bench::Goal::none, 1.3);
        if (memory && instrument_time)
            bench::row("nv-service peak RSS flashing 8", bench::spread(peaks), bench::Spread{},
                       "MiB", bench::Goal::value_below, static_cast<double>(IMAGE >> 20) + 16);
        bench.process.stop();
    }
}

// ---- a disconnect while seven links upload
// -------------------------------------------------------

// A peer that takes the connection and reads nothing, so that what is written to it stays
// unacknowledged: the hardest close there is.
struct SilentPeer {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port = 0;
    int accepted = -1;
    SilentPeer() {
        const int small = 4096;
        setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(listener, reinterpret_cast<sockaddr*>(&a), len) == 0 && listen(listener, 1) == 0 &&
            getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
    }
    ~SilentPeer() {
        if (accepted >= 0) close(accepted);
        close(listener);
    }
};

int quiet_events(int, int, const unsigned char*, int, void*) {
    return 0;
}

struct Timed {
    double at_ms, took_ms;
};

void figure_disconnect() {
    Bench bench;
    if (!bench.start(BENCH - 1, {"--block-ms", "2"})) return;
    if (QXX_init(nullptr, nullptr, nullptr) != 0) return;
    std::vector<int> handles;
    for (int port : bench.ports) {
        char conn[COMM_CONN_STRING_SIZE];
        QXX_make_net_conn_string(conn, "127.0.0.1", port);
        int h = -1;
        if (QXX_connect(conn, &h, nullptr, nullptr, nullptr, Q8_probe, Q8_test_probe, 0) != 0 ||
            QXX_wait_connected(h, 10000) != 0) {
            std::fprintf(stderr, "no link to port %d\n", port);
            return;
        }
        handles.push_back(h);
    }
    SilentPeer silent;
    const auto t0 = bench_clock::now();
    std::vector<std::vector<Timed>> blocks(handles.size());
    std::vector<std::thread> uploads;
    const std::vector<unsigned char> block(XFW_BLOCK, 0x5A);
    for (size_t k = 0; k < handles.size(); ++k)
        uploads.emplace_back([&, k] {
            // A block that times out is timed all the same: that is the delay.
            for (int n = 0; n < DISCONNECT_BLOCKS; ++n) {
                const auto b0 = bench_clock::now();
                const int r = Q5_write_ext_flash(handles[k], static_cast<uint16_t>(n), block.data(),
                                                 XFW_BLOCK, 1);
                blocks[k].push_back({ms_since(t0), ms_since(b0)});
                if (r != 0 && r != 255) break;
            }
        });
    // The eighth link: written to until its peer's window is shut, then closed while the
    // seven upload.
    char conn[COMM_CONN_STRING_SIZE];
    QXX_make_net_conn_string(conn, "127.0.0.1", silent.port);
    int stalled = -1;
    comm_connect(&stalled, conn, quiet_events, 4096, 200, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(DISCONNECT_AFTER_MS));
    std::vector<unsigned char> junk(STALL_WRITE, 0xEE);
    comm_write(stalled, junk.data(), static_cast<int>(junk.size()), 0, 200);
    const double closing = ms_since(t0);
    comm_disconnect(stalled);
    const double closed = ms_since(t0);
    for (std::thread& t : uploads) t.join();
    for (int h : handles) QXX_disconnect(h);
    QXX_shut();
    bench.process.stop();

    // Each link's blocks before the close give its usual time; the close may delay the blocks
    // that were under way during it.
    std::vector<double> delays, usual;
    bool complete = true;
    for (const auto& link : blocks) {
        complete = complete && link.size() == DISCONNECT_BLOCKS;
        std::vector<double> before;
        double worst = 0;
        for (const Timed& b : link) {
            if (b.at_ms < closing) before.push_back(b.took_ms);
            if (b.at_ms >= closing && b.at_ms - b.took_ms <= closed)
                worst = std::max(worst, b.took_ms);
        }
        const double normal = bench::spread(before).median;
        usual.push_back(normal);
        delays.push_back(std::max(0.0, worst - normal));
    }
    if (!complete) std::printf("an upload stopped early: its link broke\n");
    std::printf("the close of the eighth link took %.1f ms\n", closed - closing);
    bench::row("block delay while a link closes", bench::spread(delays), bench::spread(usual), "ms",
               bench::Goal::value_below, 50);
}

}  // namespace

int main(int argc, char** argv) {
    const bench::Chosen wanted = bench::start(argc, argv);
    proc::TempDir dir;
    if (wanted("flash") || wanted("memory")) {
        if (!make_container(dir.path())) {
            std::fprintf(stderr, "no container\n");
            return 1;
        }
        figure_flash(dir.path(), wanted("flash"), wanted("memory"));
    }
    if (wanted("disconnect")) figure_disconnect();
    bench::finish();
    return 0;
}
