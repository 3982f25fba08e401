// Byte parser throughput on a stream of valid frames of 13, 359 and 48013 bytes, against a bare
// loop that reads and XORs every byte of the same buffer.
//
// The stream is handed over in pieces of 4096 bytes, the size libcomm reads a link in. Three
// receivers are measured: the receive step alone (what the parser runs per data event), the
// assembler fed one byte at a time, and the whole QXX_event_proc DATA path with dispatch and
// the reply-capture offer.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_report.h"
#include "qxx_comm.h"

namespace {

constexpr int FRAME_SIZES[] = {13, 359, 48013};
constexpr size_t STREAM_TARGET = 512 * 1024;  // stays in the second-level cache
constexpr int READ_PIECE = 4096;
constexpr int EVENT_CODE = 10002;  // an event nobody handles here
constexpr int REPETITIONS = 7;
constexpr double MIN_TIME_S = 0.1;

// Whole frames of `frame_size` bytes, at least STREAM_TARGET bytes of them.
const std::vector<unsigned char>& stream_of(int frame_size) {
    static std::map<int, std::vector<unsigned char>> made;
    auto& s = made[frame_size];
    if (!s.empty()) return s;
    std::minstd_rand rng(frame_size);
    std::vector<unsigned char> payload(static_cast<size_t>(frame_size - QXX_FRAME_OVERHEAD));
    size_t frames = std::max<size_t>(STREAM_TARGET / static_cast<size_t>(frame_size), 4);
    s.resize(frames * static_cast<size_t>(frame_size));
    for (size_t f = 0; f < frames; ++f) {
        for (auto& b : payload) b = static_cast<unsigned char>(rng());
        qxx_build_frame(s.data() + f * static_cast<size_t>(frame_size), EVENT_CODE, payload.data(),
                        static_cast<int>(payload.size()), 0, 0);
    }
    return s;
}

void finish_state(benchmark::State& state, size_t bytes, size_t frames, size_t seen) {
    if (seen != frames * static_cast<size_t>(state.iterations()))
        state.SkipWithError("frames were lost");
    state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
}

// The baseline: one byte read and XORed per step, as the loop is written. Left to itself the
// compiler widens this loop to 32 bytes a step and measures the memory instead; that widened
// loop is kept beside as a reference.
#if defined(__clang__)
#define BYTE_STEPS _Pragma("clang loop vectorize(disable) interleave(disable)")
#define KEEP_BYTE_STEPS
#else
#define BYTE_STEPS
#define KEEP_BYTE_STEPS __attribute__((optimize("no-tree-vectorize")))
#endif

KEEP_BYTE_STEPS unsigned char xor_bytes(const std::vector<unsigned char>& s) {
    unsigned char x = 0;
    BYTE_STEPS
    for (unsigned char b : s) x ^= b;
    return x;
}

void xor_loop(benchmark::State& state) {
    const auto& s = stream_of(static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(xor_bytes(s));
    state.SetBytesProcessed(static_cast<int64_t>(s.size()) * state.iterations());
}

void xor_widened(benchmark::State& state) {
    const auto& s = stream_of(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        unsigned char x = 0;
        for (unsigned char b : s) x ^= b;
        benchmark::DoNotOptimize(x);
    }
    state.SetBytesProcessed(static_cast<int64_t>(s.size()) * state.iterations());
}

// What the link runs on every read: frames lying whole in a read are checked where they lie.
void assembler(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    const auto& s = stream_of(size);
    auto rx = std::make_unique<QXX_rx>();
    rx->count = 0;
    size_t seen = 0;
    for (auto _ : state) {
        for (size_t at = 0; at < s.size(); at += READ_PIECE) {
            const int piece = static_cast<int>(std::min<size_t>(READ_PIECE, s.size() - at));
            for (int used = 0; used < piece;) {
                int n = 0, length = 0;
                const unsigned char* frame = nullptr;
                if (qxx_rx_next(rx.get(), s.data() + at + used, piece - used, &n, &frame,
                                &length)) {
                    benchmark::DoNotOptimize(frame[QXX_OFF_CODE]);
                    rx->count = 0;
                    ++seen;
                }
                used += n;
            }
        }
    }
    finish_state(state, s.size(), s.size() / static_cast<size_t>(size), seen);
}

void assembler_bytewise(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    const auto& s = stream_of(size);
    auto rx = std::make_unique<QXX_rx>();
    rx->count = 0;
    size_t seen = 0;
    for (auto _ : state) {
        for (unsigned char b : s) {
            if (qxx_rx_push(rx.get(), b)) {
                benchmark::DoNotOptimize(rx->buf[QXX_OFF_CODE]);
                rx->count = 0;
                ++seen;
            }
        }
    }
    finish_state(state, s.size(), s.size() / static_cast<size_t>(size), seen);
}

// Counts what reaches the default handler: every frame of the stream should.
size_t handled = 0;
int count_frame(int, void*, const unsigned char*, int) {
    ++handled;
    return 0;
}

void event_proc(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    const auto& s = stream_of(size);
    auto ctx = std::make_unique<QXX_conn_ctx>();
    ctx->identified = 1;
    ctx->hooks[QXX_DEFAULT_HOOK] = QXX_hook{static_cast<uint16_t>(QXX_CODE_DEFAULT), count_frame};
    handled = 0;
    // Handle 1 names no open link (libcomm is not started): the capture offer finds none, as it
    // finds no armed slot on a link where no transaction waits.
    for (auto _ : state) {
        for (size_t at = 0; at < s.size(); at += READ_PIECE) {
            const int piece = static_cast<int>(std::min<size_t>(READ_PIECE, s.size() - at));
            QXX_event_proc(1, COMM_EVENT_DATA, s.data() + at, piece, ctx.get());
        }
    }
    finish_state(state, s.size(), s.size() / static_cast<size_t>(size), handled);
}

// Keeps the rate of every repetition, by benchmark and frame size; prints nothing itself.
class Collector : public benchmark::BenchmarkReporter {
  public:
    std::map<std::string, std::map<int64_t, std::vector<double>>> rates;
    bool failed = false;

    bool ReportContext(const Context&) override { return true; }
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration) continue;
            if (r.error_occurred) {
                std::fprintf(stderr, "%s: %s\n", r.benchmark_name().c_str(),
                             r.error_message.c_str());
                failed = true;
                continue;
            }
            auto it = r.counters.find("bytes_per_second");
            if (it == r.counters.end()) continue;
            int64_t arg = std::stoll(r.run_name.args);
            rates[r.run_name.function_name][arg].push_back(it->second.value / 1e9);
        }
    }
};

}  // namespace

// Every benchmark runs each frame size; repetitions give the medians and ranges.
void configure(benchmark::internal::Benchmark* b) {
    for (int size : FRAME_SIZES) b->Arg(size);
    b->Repetitions(REPETITIONS)->MinTime(MIN_TIME_S);
}

BENCHMARK(xor_loop)->Apply(configure);
BENCHMARK(xor_widened)->Apply(configure);
BENCHMARK(assembler)->Apply(configure);
BENCHMARK(assembler_bytewise)->Apply(configure);
BENCHMARK(event_proc)->Apply(configure);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    std::printf(
        "byte parser throughput (GB/s), baseline: a bare loop reading and XORing every "
        "byte of the same buffer\n");
    for (int size : FRAME_SIZES) {
        const bench::Spread base = bench::spread(collector.rates["xor_loop"][size]);
        std::string name = "assembler, " + std::to_string(size) + "-byte frames";
        bench::row(name.c_str(), bench::spread(collector.rates["assembler"][size]), base, "GB/s",
                   bench::Goal::ratio_at_least, 0.5);
        const struct {
            const char* name;
            const char* function;
        } others[] = {{"  byte by byte", "assembler_bytewise"},
                      {"  QXX_event_proc DATA", "event_proc"},
                      {"  XOR loop widened by the compiler", "xor_widened"}};
        for (const auto& o : others)
            bench::row(o.name, bench::spread(collector.rates[o.function][size]), base, "GB/s",
                       bench::Goal::none, 0);
    }
    bench::finish();
    return collector.failed ? 1 : 0;
}
