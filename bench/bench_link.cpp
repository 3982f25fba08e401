// Whole-path benchmarks over TCP loopback against nv52-sim, each beside a baseline measured in
// the same run: one status transaction, a firmware upload, connecting to an identified
// instrument, nv-term's peak memory, and building a container from a large image.
//
// Everything is bounded: fixed counts, a time limit on every process and every transaction.
// Temporary files live in one directory under /tmp that is removed at the end.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_report.h"
#include "comm_peers.h"
#include "libcomm.h"
#include "process.h"
#include "q8_comm.h"
#include "qxx_comm.h"

namespace {

using bench_clock = std::chrono::steady_clock;

constexpr int STATUS_COUNT = 10000;
constexpr int STATUS_WARMUP = 500;
constexpr int STATUS_REPLY = 346;
constexpr int STATUS_RUNS = 3;
constexpr int CONNECT_COUNT = 100;
constexpr int CONNECT_RUNS = 3;
constexpr double IDLE_PROBE_MS = 200;  // what a probe driven by the idle period would wait
constexpr int UPLOAD_BLOCK = 48000;
constexpr size_t UPLOAD_IMAGE = size_t{32} << 20;
constexpr int UPLOAD_RUNS = 11;
constexpr int UPLOAD_READ_PAUSE_US = 1000;  // 2% of a 32 MiB upload at 800 MB/s
constexpr size_t CXFW_IMAGE = size_t{256} << 20;
constexpr int CXFW_RUNS = 3;
constexpr int IDLE_RUNS = 3;
constexpr int IDLE_WAIT_MS = 1000;
constexpr int PROCESS_LIMIT_MS = 120000;
constexpr int XFW_HEADER = 72;
constexpr int CLOSE_RUNS = 5;
constexpr int CLOSE_BEAT_US = 2000;
constexpr int CLOSE_BEATS = 600;  // 1.2 s of beats, longer than a closed socket may linger

double ms_since(bench_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(bench_clock::now() - t0).count();
}

// Not inlined: GCC 12 inlining the sort into its callers takes a moved vector for a pointer
// with an offset and warns (-Wfree-nonheap-object) where there is nothing to warn about.
[[gnu::noinline]] double median_of(std::vector<double> v) {
    return bench::spread(std::move(v)).median;
}

// ---- where the two ends run ------------------------------------------------------------------

// The tool and the instrument are two machines; on loopback they share this one, and where the
// scheduler puts the two ends decides the link figures. When it runs both threads of a raw
// baseline on one processor, the "transfer" is a copy within that processor's cache, two to
// three times faster than between processors, and which of the two happens changes from run to
// run. So the figures with a target run with each end on its own processor: this process (the
// library's I/O thread, the raw senders and the nv-term children it starts) on one, nv52-sim and
// the raw peers on another. Status and upload are also measured with the scheduler choosing, for
// reference.
struct Ends {
    cpu_set_t all;
    int tool = -1, device = -1;
    std::atomic<bool> apart{false};

    Ends() {
        CPU_ZERO(&all);
        if (sched_getaffinity(0, sizeof all, &all) != 0) return;
        for (int cpu = 0; cpu < CPU_SETSIZE && device < 0; ++cpu)
            if (CPU_ISSET(cpu, &all)) (tool < 0 ? tool : device) = cpu;
    }
    bool possible() const { return device >= 0; }

    static cpu_set_t only(int cpu) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        return one;
    }
    // Places every thread of this process (and so what they start from now on) and the
    // simulator: each end on its own processor, or wherever the scheduler likes.
    void place(bool apart_now, pid_t sim) {
        apart = apart_now && possible();
        const cpu_set_t mine = apart ? only(tool) : all, theirs = apart ? only(device) : all;
        if (DIR* d = opendir("/proc/self/task")) {
            while (dirent* e = readdir(d))
                if (e->d_name[0] != '.')
                    sched_setaffinity(std::atoi(e->d_name), sizeof mine, &mine);
            closedir(d);
        }
        sched_setaffinity(sim, sizeof theirs, &theirs);
    }
    // Called first thing by a raw peer thread.
    void device_side() {
        if (!apart) return;
        const cpu_set_t theirs = only(device);
        sched_setaffinity(0, sizeof theirs, &theirs);
    }
};

Ends ends;

// ---- processes ---------------------------------------------------------------------------------

// A program with a pipe on standard input kept open until close_input(), its output (standard
// output and error merged) collected, killed at its time limit.
struct Child {
    pid_t pid = -1;
    int in = -1, out = -1;
    std::string output;
    bench_clock::time_point deadline;
    // A pause after each read of the output, so that a reader woken by every line does not
    // compete for the processors with the program it measures (the marks seen are then up to
    // this much late, at both ends of a measured span).
    int read_pause_us = 0;

    bool start(std::vector<std::string> args, int limit_ms = PROCESS_LIMIT_MS) {
        int i[2], o[2];
        if (pipe2(i, O_CLOEXEC) != 0 || pipe2(o, O_CLOEXEC) != 0) return false;
        pid = fork();
        if (pid == 0) {
            dup2(i[0], 0);
            dup2(o[1], 1);
            dup2(o[1], 2);
            auto argv = proc::argv_of(args);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(i[0]);
        close(o[1]);
        in = i[1];
        out = o[0];
        deadline = bench_clock::now() + std::chrono::milliseconds(limit_ms);
        return pid > 0;
    }
    void send(const std::string& text) {
        if (in >= 0 && write(in, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            close_input();
    }
    void close_input() {
        if (in >= 0) close(in);
        in = -1;
    }
    // Reads output until `marker` appears after `from` (true), or the output ends or the time
    // limit passes (false).
    bool wait_for(const std::string& marker, size_t from = 0) {
        while (output.find(marker, from) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                              bench_clock::now());
            if (left.count() <= 0 || out < 0) return false;
            pollfd p{out, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buf[65536];
            ssize_t n = read(out, buf, sizeof buf);
            if (n <= 0) {
                close(out);
                out = -1;
                return false;
            }
            output.append(buf, static_cast<size_t>(n));
            if (read_pause_us > 0)
                std::this_thread::sleep_for(std::chrono::microseconds(read_pause_us));
        }
        return true;
    }
    // Peak resident memory in KiB (the kernel's high-water mark), while it runs.
    long peak_kib() const {
        std::ifstream f("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(f, line))
            if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
        return -1;
    }
    // Waits for the end (killing it at the time limit); the exit status, or -1.
    int finish() {
        close_input();
        while (wait_for("\x01\x02never")) {
        }
        if (out >= 0) close(out);
        out = -1;
        // The output ends as the program exits, a moment before it can be waited for (longer on
        // a busy machine): wait for that up to the time limit, then kill it.
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (bench_clock::now() >= deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/nv-bench-XXXXXX";
        path = mkdtemp(tmpl) ? tmpl : "";
    }
    ~TempDir() {
        if (path.empty()) return;
        std::string cmd = "rm -rf '" + path + "'";
        if (std::system(cmd.c_str()) != 0)
            std::fprintf(stderr, "could not remove %s\n", path.c_str());
    }
};

bool write_random_file(const std::string& path, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    std::vector<uint64_t> chunk(1 << 17);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    bool ok = true;
    for (size_t done = 0; ok && done < size;) {
        for (auto& w : chunk) {  // xorshift: fast, and no compressible pattern
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            w = x;
        }
        size_t n = std::min(size - done, chunk.size() * sizeof(uint64_t));
        ok = std::fwrite(chunk.data(), 1, n, f) == n;
        done += n;
    }
    return std::fclose(f) == 0 && ok;
}

// ---- raw loopback peers ------------------------------------------------------------------------

bool read_all(int fd, unsigned char* p, size_t n) {
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool write_all(int fd, const unsigned char* p, size_t n) {
    while (n > 0) {
        ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// A blocking TCP pair on loopback: `server` is the accepted end, `client` the connecting one.
struct RawPair {
    int server = -1, client = -1;
    RawPair() {
        int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (l < 0 || bind(l, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(l, 1) != 0 ||
            getsockname(l, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            if (l >= 0) close(l);
            return;
        }
        client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(client, reinterpret_cast<sockaddr*>(&a), len) == 0)
            server = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
        close(l);
        int one = 1;
        for (int fd : {server, client})
            if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~RawPair() {
        for (int fd : {server, client})
            if (fd >= 0) close(fd);
    }
    bool ok() const { return server >= 0 && client >= 0; }
};

// Median round trip in microseconds of `count` requests of `request` bytes, each answered with
// `reply` bytes by a peer thread.
double raw_ping_pong(int count, size_t request, size_t reply) {
    RawPair pair;
    if (!pair.ok()) return -1;
    std::thread peer([&] {
        ends.device_side();
        std::vector<unsigned char> in(request), out(reply, 0x5A);
        for (int i = 0; i < count; ++i)
            if (!read_all(pair.server, in.data(), in.size()) ||
                !write_all(pair.server, out.data(), out.size()))
                return;
    });
    std::vector<unsigned char> req(request, 0xA5), rep(reply);
    std::vector<double> us;
    us.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        auto t0 = bench_clock::now();
        if (!write_all(pair.client, req.data(), req.size()) ||
            !read_all(pair.client, rep.data(), rep.size()))
            break;
        us.push_back(ms_since(t0) * 1000);
    }
    shutdown(pair.client, SHUT_RDWR);
    peer.join();
    return static_cast<int>(us.size()) == count ? median_of(us) : -1;
}

// Stop-and-wait of the upload's blocks: each block frame written whole, stored by the peer at
// its place in a flash image as the simulator does, and answered with 13 bytes. MB/s.
double raw_stop_and_wait(const std::vector<unsigned char>& image) {
    RawPair pair;
    if (!pair.ok()) return -1;
    const size_t blocks = (image.size() + UPLOAD_BLOCK - 1) / UPLOAD_BLOCK;
    // The flash is in memory before the clock starts, as the simulator's is after its first
    // upload.
    std::vector<unsigned char> flash(image.size(), 0xFF);
    std::thread peer([&] {
        ends.device_side();
        std::vector<unsigned char> frame(UPLOAD_BLOCK + 2 + QXX_FRAME_OVERHEAD);
        unsigned char answer[QXX_FRAME_OVERHEAD];
        qxx_build_frame(answer, 9102, nullptr, 0, 0, 0);
        for (size_t b = 0; b < blocks; ++b) {
            size_t n = std::min<size_t>(UPLOAD_BLOCK, image.size() - b * UPLOAD_BLOCK);
            if (!read_all(pair.server, frame.data(), n + 2 + QXX_FRAME_OVERHEAD)) return;
            std::memcpy(flash.data() + b * UPLOAD_BLOCK, frame.data() + QXX_OFF_PAYLOAD + 2, n);
            if (!write_all(pair.server, answer, sizeof answer)) return;
        }
    });
    std::vector<unsigned char> frame(UPLOAD_BLOCK + 2 + QXX_FRAME_OVERHEAD);
    unsigned char answer[QXX_FRAME_OVERHEAD];
    auto t0 = bench_clock::now();
    size_t b = 0;
    for (; b < blocks; ++b) {
        size_t n = std::min<size_t>(UPLOAD_BLOCK, image.size() - b * UPLOAD_BLOCK);
        std::memcpy(frame.data() + QXX_OFF_PAYLOAD + 2, image.data() + b * UPLOAD_BLOCK, n);
        if (!write_all(pair.client, frame.data(), n + 2 + QXX_FRAME_OVERHEAD) ||
            !read_all(pair.client, answer, sizeof answer))
            break;
    }
    double ms = ms_since(t0);
    peer.join();
    return b == blocks ? static_cast<double>(image.size()) / 1e3 / ms : -1;
}

// ---- nv-term and the simulator -----------------------------------------------------------------

struct Sim {
    proc::Background process;
    int port = -1;
    bool start() {
        if (!process.start(
                {NV52_SIM_BIN, "--port", "0", "--discovery-port", "0", "--erase-ms", "0"}))
            return false;
        std::string address = process.wait_line("listening tcp ");
        size_t colon = address.rfind(':');
        port = colon == std::string::npos ? -1 : std::atoi(address.c_str() + colon + 1);
        return port > 0 && !process.wait_line("listening udp ").empty();
    }
    std::string answers() const {  // Net, Enter host, the host with its port
        return "3\n3\n127.0.0.1:" + std::to_string(port) + "\n";
    }
};

int link_connect(const Sim& sim, int* handle) {
    char conn[COMM_CONN_STRING_SIZE];
    QXX_make_net_conn_string(conn, "127.0.0.1", sim.port);
    if (QXX_connect(conn, handle, nullptr, nullptr, nullptr, Q8_probe, Q8_test_probe, 0) != 0)
        return -1;
    return QXX_wait_connected(*handle, 5000);
}

// Median of `count` status transactions in microseconds on an identified link.
double status_median(const Sim& sim, int count) {
    int h = -1;
    if (link_connect(sim, &h) != 0) return -1;
    unsigned char status[STATUS_REPLY];
    std::vector<double> us;
    us.reserve(static_cast<size_t>(count));
    for (int i = 0; i < STATUS_WARMUP + count; ++i) {
        auto t0 = bench_clock::now();
        if (Q8_get_status(h, status, 1) != 0) break;
        if (i >= STATUS_WARMUP) us.push_back(ms_since(t0) * 1000);
    }
    QXX_disconnect(h);
    return static_cast<int>(us.size()) == count ? median_of(us) : -1;
}

// Median time in ms from QXX_connect to the return of QXX_wait_connected.
double connect_median(const Sim& sim, int count) {
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        int h = -1;
        auto t0 = bench_clock::now();
        int r = link_connect(sim, &h);
        double took = ms_since(t0);
        if (h > 0) QXX_disconnect(h);
        if (r != 0) return -1;
        ms.push_back(took);
        // Let the simulator see the old link end before the next one knocks.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return median_of(ms);
}

// One upload of `xfw` through nv-term's menu: MB/s from the erase to the last block's answer;
// `peak_kib` gets nv-term's peak resident memory up to the last block's answer.
double nvterm_upload(const Sim& sim, const std::string& xfw, size_t data_len, long* peak_kib) {
    const size_t blocks = (data_len + UPLOAD_BLOCK - 1) / UPLOAD_BLOCK;
    const std::string last =
        "Writing block " + std::to_string(blocks) + " of " + std::to_string(blocks) + "...Ok.";
    Child c;
    c.read_pause_us = UPLOAD_READ_PAUSE_US;
    if (!c.start({NV_TERM_BIN})) return -1;
    c.send(sim.answers() + "up\n" + xfw + "\n");
    double mbs = -1;
    if (c.wait_for("Erasing external flash")) {
        auto t0 = bench_clock::now();
        if (c.wait_for(last)) mbs = static_cast<double>(data_len) / 1e3 / ms_since(t0);
    }
    // Read while it runs: the peak a parent learns at the end also counts the memory of the
    // forked copy of this benchmark before nv-term replaced it.
    *peak_kib = c.peak_kib();
    c.send("q\n");
    if (c.finish() != 0) mbs = -1;
    if (mbs < 0) std::fprintf(stderr, "upload failed:\n%s\n", c.output.c_str());
    return mbs;
}

// nv-term connected and idle: its peak resident memory in KiB.
long nvterm_idle_peak(const Sim& sim) {
    Child c;
    if (!c.start({NV_TERM_BIN})) return -1;
    c.send(sim.answers());
    long peak = -1;
    if (c.wait_for("quits program")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(IDLE_WAIT_MS));
        peak = c.peak_kib();
    }
    c.send("q\n");
    c.finish();
    return peak;
}

double run_ms(std::vector<std::string> args) {
    Child c;
    auto t0 = bench_clock::now();
    if (!c.start(std::move(args))) return -1;
    int status = c.finish();
    double ms = ms_since(t0);
    return status == 0 ? ms : -1;
}

bool all_valid(const std::vector<double>& v) {
    for (double x : v)
        if (x < 0) return false;
    return !v.empty();
}

// The rows of a figure measured with each end on its own processor (the target) and then, for
// reference, with the scheduler choosing. `measure` fills ours and the baseline for a placement.
template <typename Measure>
void both_placements(const Sim& sim, const char* name, const char* unit, bench::Goal goal,
                     double target, Measure measure) {
    for (bool apart : {true, false}) {
        if (!apart && !ends.possible()) break;
        ends.place(apart, sim.process.pid());
        std::vector<double> ours, base;
        measure(ours, base);
        const char* label = apart ? name : "  the scheduler placing the ends";
        if (all_valid(ours) && all_valid(base))
            bench::row(label, bench::spread(ours), bench::spread(base), unit,
                       apart ? goal : bench::Goal::none, target);
        else
            std::printf("%s: FAILED\n", label);
    }
    ends.place(true, sim.process.pid());
}

// One status transaction (8203, 346-byte reply) against a raw ping-pong of the same sizes.
void figure_status(const Sim& sim) {
    both_placements(sim, "status transaction (us, median)", "us", bench::Goal::ratio_at_most, 1.5,
                    [&](std::vector<double>& ours, std::vector<double>& base) {
                        for (int r = 0; r < STATUS_RUNS; ++r) {
                            base.push_back(raw_ping_pong(STATUS_COUNT, QXX_FRAME_OVERHEAD,
                                                         STATUS_REPLY + QXX_FRAME_OVERHEAD));
                            ours.push_back(status_median(sim, STATUS_COUNT));
                        }
                    });
}

// Connect to identified against the idle period a probe driven by idle events would wait.
void figure_connect(const Sim& sim) {
    std::vector<double> ours;
    for (int r = 0; r < CONNECT_RUNS; ++r) ours.push_back(connect_median(sim, CONNECT_COUNT));
    if (all_valid(ours))
        bench::row("connect to identified (ms, median)", bench::spread(ours),
                   bench::Spread{IDLE_PROBE_MS, IDLE_PROBE_MS, IDLE_PROBE_MS}, "ms",
                   bench::Goal::value_below, 5);
    else
        std::printf("connect to identified: FAILED\n");
}

// Upload of a 32 MiB container through nv-term against raw stop-and-wait of its blocks; with
// `memory`, nv-term's peak memory connected and idle, and over the upload of the N-byte
// container (read during the uploads with each end on its own processor).
void figure_upload(const Sim& sim, const TempDir& tmp, bool upload, bool memory) {
    const std::string raw = tmp.path + "/image.bin", xfw = tmp.path + "/image.xfw";
    std::vector<unsigned char> image(UPLOAD_IMAGE);
    std::vector<double> peaks;
    const bool made =
        write_random_file(raw, UPLOAD_IMAGE) && run_ms({NV_TERM_BIN, "cxfw", raw, xfw, "1.0"}) >= 0;
    unlink(raw.c_str());
    if (!made) {
        std::printf("upload: could not make the container\n");
        return;
    }
    std::ifstream f(xfw, std::ios::binary);
    f.seekg(XFW_HEADER);
    f.read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(image.size()));
    auto uploads = [&](std::vector<double>& ours, std::vector<double>& base) {
        const bool first = peaks.empty();
        for (int r = 0; r < UPLOAD_RUNS; ++r) {
            if (upload) base.push_back(raw_stop_and_wait(image));
            long peak = -1;
            ours.push_back(nvterm_upload(sim, xfw, UPLOAD_IMAGE, &peak));
            if (first) peaks.push_back(static_cast<double>(peak) / 1024);
        }
    };
    if (upload) {
        both_placements(sim, "upload 32 MiB container (MB/s)", "MB/s", bench::Goal::ratio_at_least,
                        0.8, uploads);
    } else {
        std::vector<double> ours, base;
        uploads(ours, base);
    }
    unlink(xfw.c_str());
    if (!memory) return;

    std::vector<double> idle;
    for (int r = 0; r < IDLE_RUNS; ++r)
        idle.push_back(static_cast<double>(nvterm_idle_peak(sim)) / 1024);
    if (all_valid(idle))
        bench::row("nv-term peak RSS, connected idle", bench::spread(idle), bench::Spread{}, "MiB",
                   bench::Goal::value_below, 8);
    const double n_mib = static_cast<double>(UPLOAD_IMAGE + XFW_HEADER) / (1 << 20);
    if (all_valid(peaks))  // the target: under N + 4 MiB for a container of N bytes
        bench::row("nv-term peak RSS, uploading 32 MiB", bench::spread(peaks), bench::Spread{},
                   "MiB", bench::Goal::value_below, n_mib + 4);
}

// nv-term cxfw on a 256 MiB raw image against a durable copy of the same file to a new file:
// nv-term syncs the container to the disk before it renames it over the target, so the
// baseline is a copy that syncs too (dd conv=fsync: write, then fsync). cat, which leaves the
// data in the page cache, is printed beside it.
void figure_cxfw(const TempDir& tmp) {
    const std::string big = tmp.path + "/big.bin", copy = tmp.path + "/copy.bin",
                      big_xfw = tmp.path + "/big.xfw";
    if (!write_random_file(big, CXFW_IMAGE)) {
        std::printf("cxfw: could not write the image\n");
        return;
    }
    std::vector<double> ours, synced, cat;
    for (int r = 0; r < CXFW_RUNS; ++r) {
        synced.push_back(
            run_ms({"/bin/dd", "if=" + big, "of=" + copy, "bs=1M", "conv=fsync", "status=none"}));
        unlink(copy.c_str());
        cat.push_back(run_ms({"/bin/sh", "-c", "cat \"$0\" > \"$1\"", big, copy}));
        unlink(copy.c_str());
        ours.push_back(run_ms({NV_TERM_BIN, "cxfw", big, big_xfw, "1.0"}));
        unlink(big_xfw.c_str());
    }
    unlink(big.c_str());
    if (all_valid(ours) && all_valid(synced) && all_valid(cat)) {
        bench::row("cxfw 256 MiB image (ms)", bench::spread(ours), bench::spread(synced), "ms",
                   bench::Goal::ratio_at_most, 2);
        bench::row("  against cat, not synced", bench::spread(ours), bench::spread(cat), "ms",
                   bench::Goal::none, 0);
    } else {
        std::printf("cxfw: FAILED\n");
    }
}

// ---- a closing link beside a busy one ---------------------------------------------------------

// The times a link's bytes were delivered.
struct Beats {
    std::mutex lock;
    std::vector<bench_clock::time_point> at;
    int bytes = 0;
    std::atomic<bool> opened{false};
    static int proc(int, int kind, const unsigned char*, int count, void* context) {
        auto self = static_cast<Beats*>(context);
        if (kind == COMM_EVENT_OPENED) self->opened = true;
        std::lock_guard<std::mutex> guard(self->lock);
        if (kind == COMM_EVENT_DATA) self->at.push_back(bench_clock::now()), self->bytes += count;
        return 0;
    }
};

// A link to `peer`, opened, with the peer's end in *fd; -1 when it did not open within 5 s.
int open_link(TcpPeer& peer, Beats& beats, int* fd) {
    char conn[COMM_CONN_STRING_SIZE];
    int handle = -1;
    if (comm_make_conn_string_net(conn, "127.0.0.1", peer.port(), 5000) != 0 ||
        comm_connect(&handle, conn, Beats::proc, 4096, 0, &beats) != 0)
        return -1;
    *fd = peer.accept();
    for (int i = 0; i < 5000 && !beats.opened; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return beats.opened && *fd >= 0 ? handle : -1;
}

// The longest wait between two deliveries on a link whose peer sends a byte every 2 ms, while
// (`close`) another link is closed with 16 MiB its peer takes nothing of, so that its socket
// lingers the whole second a close may; -1 on failure.
double longest_gap_ms(bool close) {
    TcpPeer busy_peer, closing_peer(true, 4096);
    Beats busy, closing;
    int busy_fd = -1, closing_fd = -1;
    const int b = open_link(busy_peer, busy, &busy_fd),
              c = open_link(closing_peer, closing, &closing_fd);
    if (b < 0 || c < 0) return -1;
    const std::string stalled(16 << 20, 's');
    comm_write(c, stalled.data(), static_cast<int>(stalled.size()), 0, 100);
    std::thread beat([&] {
        for (int i = 0; i < CLOSE_BEATS && ::write(busy_fd, "x", 1) == 1; ++i)
            std::this_thread::sleep_for(std::chrono::microseconds(CLOSE_BEAT_US));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (close) comm_disconnect(c);
    beat.join();
    comm_disconnect(b);
    if (!close) comm_disconnect(c);
    double longest = 0;
    std::lock_guard<std::mutex> guard(busy.lock);
    for (size_t i = 1; i < busy.at.size(); ++i)
        longest = std::max(
            longest,
            std::chrono::duration<double, std::milli>(busy.at[i] - busy.at[i - 1]).count());
    return busy.bytes < CLOSE_BEATS ? -1 : longest;
}

void figure_close() {
    std::vector<double> ours, base;
    for (int r = 0; r < CLOSE_RUNS; ++r) {
        base.push_back(longest_gap_ms(false));
        ours.push_back(longest_gap_ms(true));
    }
    if (all_valid(ours) && all_valid(base))
        bench::row("another link's longest wait (ms)", bench::spread(ours), bench::spread(base),
                   "ms", bench::Goal::value_below, 50);
    else
        std::printf("another link's longest wait: FAILED\n");
}

}  // namespace

// Names on the command line choose figures (status, connect, close, upload, memory, cxfw); none:
// all.
int main(int argc, char** argv) {
    const bench::Chosen wanted = bench::start(argc, argv);
    Sim sim;
    if (!sim.start()) {
        std::fprintf(stderr, "nv52-sim did not start\n");
        return 1;
    }
    ends.place(true, sim.process.pid());
    if (ends.possible())
        std::printf(
            "each end on its own processor: this benchmark and nv-term on %d, nv52-sim "
            "and the raw peers on %d\n",
            ends.tool, ends.device);
    else
        std::printf("one processor: both ends share it\n");
    if (QXX_init(nullptr, nullptr, nullptr) != 0) return 1;
    TempDir tmp;
    if (tmp.path.empty()) return 1;

    if (wanted("status")) figure_status(sim);
    if (wanted("connect")) figure_connect(sim);
    if (wanted("close")) figure_close();
    QXX_shut();
    if (wanted("upload") || wanted("memory"))
        figure_upload(sim, tmp, wanted("upload"), wanted("memory"));
    ends.place(false, sim.process.pid());
    if (wanted("cxfw")) figure_cxfw(tmp);

    sim.process.stop();
    bench::finish();
    return 0;
}
