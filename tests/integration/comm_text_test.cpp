// Text forms, parsers, log and capture calls are data: one test per section of each data file
// (the format is at the head of data/conn_text.txt). The few checks that fit no row follow.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "comm_links.h"
#include "error_log.h"
#include "escapes.h"
#include "comm_internal.h"
#include "process.h"
#include "qxx_comm.h"

namespace {

struct Arg {
    std::string s;
    bool null = false;
    const char* c() const { return null ? nullptr : s.c_str(); }
    int i() const { return static_cast<int>(std::strtol(s.c_str(), nullptr, 0)); }
    long l() const { return std::strtol(s.c_str(), nullptr, 0); }
};
using Args = std::vector<Arg>;

// The text of an argument or result: escapes resolved, "<null>" none.
Arg unescape(const std::string& t) {
    return t == "<null>" ? Arg{"", true} : Arg{escapes::unescaped(t)};
}

// A maker's result: its text, or "-1" for a refusal (which must leave the buffer empty).
std::string made(const std::function<int(char*)>& make) {
    char out[COMM_CONN_STRING_SIZE];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(make(nullptr), -1) << "no buffer to make it in";
    int r = make(out);
    if (r == 0) return out;
    EXPECT_EQ(r, -1);
    EXPECT_EQ(out[0], '\0') << "a refused string leaves the buffer empty";
    return "-1";
}

template <typename P, typename Show>
std::string parsed(int (*parse)(const char*, P*), const Args& a, Show show) {
    P p;
    std::memset(&p, 0x55, sizeof p);
    int r = parse(a[0].c(), &p);
    return r == 1 ? show(p) : std::to_string(r);
}
std::string hex(unsigned v, const char* format) {
    char t[16];
    std::snprintf(t, sizeof t, format, v);
    return t;
}
// Table entries: a maker on its buffer `o`, a parser showing its result `p`, a number parser
// reading into `v`, a printing call of the format `f` and arguments `v` (see logged), each on the
// line's arguments `a`.
#define MADE(call) [](const Args& a) { return made([&](char* o) { return call; }); }
#define NUMBER(call) [](const Args& a) { return number([&](long* v) { return call; }); }
#define PARSED(parse, shown) \
    [](const Args& a) { return parsed(parse, a, [](const auto& p) { return shown; }); }
#define PRINTS(at, call) \
    [](const Args& a) { return logged(a, at, [&](const char* f, auto... v) { return call; }); }

// A number parser's result: the value, or "refused" (which must leave the value untouched).
std::string number(const std::function<bool(long*)>& parse) {
    long v = -7;
    if (parse(&v)) return std::to_string(v);
    EXPECT_EQ(v, -7) << "a refused number leaves the value untouched";
    return "refused";
}

// The log of the section under way, and a log call's result with what it printed.
ErrorLog* log_now = nullptr;
std::string logged(int result) {
    const std::string printed = log_now->take();
    return std::to_string(result) + (printed.empty() ? "" : " " + printed);
}
// A printing call: the format at a[at], then up to two arguments, numbers as int.
template <typename Call>
std::string logged(const Args& a, size_t at, Call call) {
    const Arg &f = a[at], &v = a[at + 1], &w = a[at + 2];
    const bool number = v.s.find_first_not_of("-0123456789") == std::string::npos;
    return logged(v.s.empty()   ? call("%s", f.c())
                  : w.s.empty() ? (number ? call(f.c(), v.i()) : call(f.c(), v.c()))
                  : number      ? call(f.c(), v.i(), w.i())
                                : call(f.c(), v.c(), w.i()));
}

// The capture of the section under way, and a capture call's result with the slots' lengths.
struct Slots {
    comm_capture c;
    unsigned char buf[3][8];
}* capture_now = nullptr;
std::string captured(int result) {
    int l[3] = {-1, -1, -1};
    comm_capture_wait(&capture_now->c, l, 0);
    return std::to_string(result) + " " + std::to_string(l[0]) + " " + std::to_string(l[1]) + " " +
           std::to_string(l[2]);
}
template <typename Call>
std::string wait_during(Call call) {
    std::thread other(call);
    int l[3] = {-1, -1, -1};
    const int r = comm_capture_wait(&capture_now->c, l, NEVER_MS);
    other.join();
    return std::to_string(r) + " " + std::to_string(l[0]) + " " + std::to_string(l[1]) + " " +
           std::to_string(l[2]);
}

const std::map<std::string, std::function<std::string(const Args&)>> FUNCTIONS = {
    {"hook",
     [](const Args& a) {
         int codes[3], sizes[3];
         void* buffers[3];
         for (int i = 0; i < 3; ++i) {
             codes[i] = a[2 * i].i();
             sizes[i] = a[2 * i + 1].i();
             buffers[i] = sizes[i] >= 0 ? capture_now->buf[i] : nullptr;
         }
         return captured(comm_capture_hook(&capture_now->c, codes, buffers, sizes));
     }},
    {"offer",
     [](const Args& a) {
         const int n = a[1].null ? 3 : static_cast<int>(a[1].s.size());
         return captured(comm_capture_offer(&capture_now->c, a[0].i(), a[1].c(), n));
     }},
    {"slots",
     [](const Args&) {
         int l[3] = {0, 0, 0};
         comm_capture_wait(&capture_now->c, l, 0);
         std::string out;
         for (int i = 0; i < 3; ++i)
             if (l[i] > 0)
                 out += (out.empty() ? "" : " ") +
                        std::string(reinterpret_cast<char*>(capture_now->buf[i]), l[i]);
         return out;
     }},
    {"unhook",
     [](const Args&) {
         comm_capture_unhook(&capture_now->c);
         return wait_during([] {});
     }},
    {"wait_offer",
     [](const Args& a) {
         return wait_during(
             [&] { comm_capture_offer(&capture_now->c, a[0].i(), a[1].c(), int(a[1].s.size())); });
     }},
    {"wait_cancel",
     [](const Args&) {
         return wait_during([] { EXPECT_TRUE(comm_capture_cancel(&capture_now->c)); });
     }},
    {"cancel", [](const Args&) { return std::to_string(comm_capture_cancel(&capture_now->c)); }},
    {"addlevel",
     [](const Args& a) { return logged(log_addlevel(a[0].c(), 0, a[1].i(), 0, 0, a[2].c())); }},
    {"setlevel", [](const Args& a) { return logged(log_setlevel(a[0].c(), a[1].i())); }},
    {"seterror", [](const Args& a) { return logged(log_seterror(0, a[0].i(), 0, 0, a[1].c())); }},
    {"reset", [](const Args&) { return log_reset(), logged(0); }},
    {"write", PRINTS(1, log_write(a[0].c(), f, v...))},
    {"append", PRINTS(1, log_append(a[0].c(), f, v...))},
    {"error", PRINTS(0, log_error(f, v...))},
    {"net", MADE(comm_make_conn_string_net(o, a[0].c(), a[1].i(), a[2].i()))},
    {"serial", MADE(comm_make_conn_string_serial(o, a[0].i(), a[1].i(), a[2].i(), a[3].i(),
                                                 a[4].i(), a[5].i()))},
    {"serial_path", MADE(comm_make_conn_string_serial_path(o, a[0].c(), a[1].i(), a[2].i(),
                                                           a[3].i(), a[4].i(), a[5].i()))},
    {"bt", MADE(comm_make_conn_string_bt(o, a[0].c(), a[1].c(), a[2].i(), a[3].i(), a[4].c(),
                                         a[5].i()))},
    {"usb", MADE(comm_make_conn_string_usb(o, a[0].c(), a[1].i(), a[2].i(), a[3].i()))},
    {"qxx_usb", MADE(QXX_make_usb_conn_string(o, a[0].c(), a[1].i()))},
    {"parse_net", PARSED(comm_net_parse, std::string(p.host) + " " + std::to_string(p.port) +
                                             " " + std::to_string(p.timeout_ms))},
    {"parse_serial",
     PARSED(comm_serial_parse, std::to_string(p.com_port) + " '" + p.path + "' " +
                                   std::to_string(p.baud) + " " + std::to_string(p.data_bits) +
                                   std::to_string(p.parity) + std::to_string(p.stop_bits) +
                                   std::to_string(p.flow))},
    {"parse_bt",
     PARSED(comm_bt_parse, std::string(p.address) + " " + std::to_string(p.channel) + " " +
                               hex(p.cod, "%06x") + " '" + p.pin + "' " +
                               std::to_string(p.timeout_ms) + " '" + p.name + "'")},
    {"parse_usb", PARSED(comm_usb_parse, std::string(p.tag) + " " + p.location + " " +
                                             hex(p.vendor_id, "%04x ") + std::to_string(p.arg) +
                                             hex(p.product_id, " %04x"))},
    {"connect",
     [](const Args& a) {
         CommRunning running;
         CommEvents ev;
         int h = 12345;
         const int r = comm_connect(&h, a[0].c(), CommEvents::proc, 4096, 0, &ev);
         EXPECT_EQ(h, 12345);
         EXPECT_EQ(comm_connect(nullptr, a[0].c(), nullptr, 4096, 0, nullptr), -1);
         EXPECT_EQ(ev.total(), 0u);
         return r == -1 ? "refused" : "taken";
     }},
    {"devid",
     [](const Args& a) {
         char text[COMM_DEVID_SIZE];
         std::memset(text, 'x', sizeof text);
         EXPECT_EQ(comm_get_devid_string(a[0].c(), nullptr), -1);
         return comm_get_devid_string(a[0].c(), text) == 0 ? std::string(text) : "-1";
     }},
    {"bt_describe",
     [](const Args& a) {
         char text[COMM_DEVID_SIZE];
         return comm_bt_describe(a[0].c(), text, 64) == 1 ? std::string(text) : "0";
     }},
    {"location",
     [](const Args& a) {
         std::vector<uint8_t> ports;
         for (const char* p = a[1].c(); *p != '\0';)
             ports.push_back(static_cast<uint8_t>(std::strtol(p, const_cast<char**>(&p), 10)));
         char out[COMM_TEXT_SIZE];
         std::memset(out, 'x', sizeof out);
         const int r = comm_usb_location(a[0].i(), ports.data(), static_cast<int>(ports.size()),
                                         out, a[2].i());
         return r == 0 ? std::string(out) : out[0] == '\0' ? "-1" : "not emptied";
     }},
    {"usb_display",
     [](const Args& a) {
         comm_usb_params p{};
         std::snprintf(p.location, sizeof p.location, "%s", a[0].c());
         p.vendor_id = 0x1781;
         p.product_id = 0x0C4D;
         char text[COMM_DEVID_SIZE];
         return comm_usb_display(p, a[1].c(), a[2].c(), text, sizeof text) == 0 ? std::string(text)
                                                                                : "-1";
     }},
    {"decimal", NUMBER(comm_parse_decimal(a[0].s, a[1].l(), a[2].l(), v))},
    {"hex", NUMBER(comm_parse_hex(a[0].s, a[1].i(), a[2].l(), a[3].l(), v))},
    {"com_path",
     [](const Args& a) {
         proc::TempDir dev;
         std::istringstream files(a[0].s);
         for (std::string n; files >> n;) std::fclose(std::fopen(dev.file(n).c_str(), "w"));
         char path[COMM_TEXT_SIZE];
         const std::string dir = a[0].null ? "/nonexistent/nv-comm" : dev.path();
         const int r = comm_serial_com_path(dir.c_str(), a[1].i(), path,
                                            a[2].s.empty() ? COMM_TEXT_SIZE : a[2].i());
         return r == 0 ? std::string(path).substr(dir.size() + 1) : "-1";
     }},
    {"discovery_send",
     [](const Args& a) {
         CommRunning running;
         EXPECT_EQ(comm_net_broadcast_send("early", 5, "127.0.0.1", 9), -1);  // no socket yet
         EXPECT_EQ(
             comm_net_broadcast_register([](const unsigned char*, int) { return 0; }, nullptr), 0);
         return std::to_string(comm_net_broadcast_send(a[0].c(), a[1].i(), a[2].c(), a[3].i()));
     }},
    {"query",
     [](const Args& a) {
         comm_query q;
         return std::to_string(comm_query_split(a[0].s, &q) ? q.count : -1);
     }},
};

struct Case {
    int line;
    std::string text, function;
    Args args;
    std::string expected;
};

std::map<std::string, std::vector<Case>> read_cases(const std::string& file) {
    std::map<std::string, std::vector<Case>> sections;
    std::ifstream in(NV_SOURCE_DIR "/tests/integration/data/" + file);
    std::string line, section;
    for (int n = 1; std::getline(in, line); ++n) {
        if (line.rfind("## ", 0) == 0) section = line.substr(3);
        if (line.empty() || line[0] == '#') continue;
        Case c{n, line, line.substr(0, line.find(' ')), {}, ""};
        const size_t start = c.function.size() + 1, arrow = line.find(" =>", start);
        if (arrow == std::string::npos) {
            sections[section].push_back({n, line, "<no =>>", {}, ""});
            continue;
        }
        c.expected = unescape(line.substr(std::min(arrow + 4, line.size()))).s;
        const std::string args = line.substr(start, arrow - start);
        for (size_t at = 0;;) {
            const size_t bar = args.find(" | ", at);
            c.args.push_back(unescape(args.substr(at, bar - at)));
            if (bar == std::string::npos) break;
            at = bar + 3;
        }
        c.args.resize(6);  // absent arguments are empty
        sections[section].push_back(c);
    }
    return sections;
}

class Section : public testing::Test {
  public:
    Section(std::string file, std::vector<Case> cases)
        : file_(std::move(file)), cases_(std::move(cases)) {}
    void TestBody() override {
        ErrorLog log(true);  // a log and a capture of the section's own, for their calls
        log_now = &log;
        auto capture = std::make_unique<Slots>();
        capture_now = capture.get();
        for (const Case& c : cases_) {
            SCOPED_TRACE(file_ + ":" + std::to_string(c.line) + ": " + c.text);
            auto f = FUNCTIONS.find(c.function);
            ASSERT_NE(f, FUNCTIONS.end()) << "no such function";
            EXPECT_EQ(f->second(c.args), c.expected);
        }
    }

  private:
    std::string file_;
    std::vector<Case> cases_;
};

[[maybe_unused]] const bool registered = [] {
    const std::pair<const char*, const char*> files[] = {{"conn_text.txt", "CommText"},
                                                         {"log_calls.txt", "CommLog"},
                                                         {"capture.txt", "CommCapture"}};
    for (auto [file, suite] : files) {
        auto sections = read_cases(file);
        if (sections.empty()) sections["DataFile"] = {{0, "", "", {}, ""}};  // fails: no file
        for (const auto& section : sections) {
            const std::string data = file;  // copies, for the factory, which outlives the loop
            const std::vector<Case> cases = section.second;
            testing::RegisterTest(
                suite, section.first.c_str(), nullptr, nullptr, __FILE__, __LINE__,
                [data, cases]() -> testing::Test* { return new Section(data, cases); });
        }
    }
    return true;
}();

// In a child that ends without flushing: each call must have been written whole and at once.
TEST(CommLog, StandardStreamsGetEveryCallAtOnce) {
    int out[2], err[2];
    ASSERT_EQ(pipe(out), 0);
    ASSERT_EQ(pipe(err), 0);
    const std::string long_text(5000, 'L');
    pid_t child = fork();
    if (child == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        log_set_sink(nullptr, nullptr);
        log_reset();
        log_addlevel("MAIN", 0, 1, 0, 0, "> ");
        log_addlevel("EVENTS", 0, 0, 0, 0, "");
        log_seterror(0, 1, 0, 0, "! ");
        log_write("MAIN", "Connecting device...");
        log_append("MAIN", "Ok.\n");
        log_write("EVENTS", "hidden\n");
        log_error("\nError connecting device!\n");
        log_write("MAIN", "%s\n", long_text.c_str());
        _exit(0);
    }
    ::close(out[1]);
    ::close(err[1]);
    EXPECT_EQ(read_bytes(out[0]), "> Connecting device...Ok.\n> " + long_text + "\n");
    EXPECT_EQ(read_bytes(err[0]), "! \nError connecting device!\n");
    EXPECT_EQ(waitpid(child, nullptr, 0), child);
    ::close(out[0]);
    ::close(err[0]);
}

// What no row reaches: null and empty arguments, and a value that holds '='.
TEST(CommText, TheRestOfTheHelpers) {
    uint8_t bytes[6] = {};
    EXPECT_FALSE(comm_bt_address_bytes(nullptr, bytes));
    comm_query q;
    std::string_view value;
    ASSERT_TRUE(comm_query_split("b=2&a=x=1", &q) && comm_query_find(q, "a", &value));
    EXPECT_EQ(value, "x=1");
    char out[8];
    EXPECT_EQ(comm_format(out, 8, "%s", ""), 0);  // an empty text fits
    EXPECT_EQ(comm_format(out, 0, "x"), -1);
    EXPECT_EQ(comm_format(nullptr, 8, "x"), -1);
}

}  // namespace
