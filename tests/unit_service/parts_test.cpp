// nv-service's parts on their own: the JSON reader and writer, SHA-256, the command line, the
// DEVICE forms, patterns, version numbers, refusal texts and the progress text.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>

#include "process.h"
#include "qxx_comm.h"
#include "svc_devices.h"
#include "svc_json.h"
#include "svc_options.h"
#include "svc_output.h"
#include "svc_run.h"
#include "svc_sha256.h"

namespace {

std::string data(const std::string& name) {
    return NV_SOURCE_DIR "/tests/unit_service/data/" + name;
}

// "\xHH" escapes decoded; everything else as it stands.
std::string bytes_of(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s.compare(i, 2, "\\x") == 0 && i + 3 < s.size() + 0) {
            out += static_cast<char>(std::stoi(s.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string trim(const std::string& s) {
    const size_t a = s.find_first_not_of(' '), b = s.find_last_not_of(' ');
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

TEST(ServiceJson, ReadsAndWritesAsTheTableSays) {
    for (const auto& [n, line] : proc::data_lines(data("json.txt"))) {
        const size_t arrow = line.rfind(" => ");
        ASSERT_NE(arrow, std::string::npos) << "json.txt:" << n;
        const std::string text = bytes_of(line.substr(0, arrow));
        const std::string want = trim(line.substr(arrow + 4));
        json_value v;
        const bool read = json_read(text, &v);
        EXPECT_EQ(read ? bytes_of(json_write(v)) : "error", bytes_of(want)) << "json.txt:" << n;
        if (read) {  // what is written reads back as the same value
            json_value again;
            EXPECT_TRUE(json_read(json_write(v), &again)) << "json.txt:" << n;
            EXPECT_EQ(json_write(again), json_write(v)) << "json.txt:" << n;
        }
    }
}

// Text cut off inside a string, a number, a word or between items is read to its end and no
// further (under AddressSanitizer a byte beyond it would be an error: the buffers are exact).
TEST(ServiceJson, ReadsNoByteBeyondTheText) {
    for (const std::string text : {"\"abc", "\"a\\", "[1,", "tru", "{\"k\":", "-1.5e", "\"\\u12"}) {
        const std::unique_ptr<char[]> exact(new char[text.size()]);
        std::memcpy(exact.get(), text.data(), text.size());
        json_value v;
        EXPECT_FALSE(json_read(std::string_view(exact.get(), text.size()), &v)) << text;
    }
}

TEST(ServiceJson, WritesWhatNoReaderWouldMisread) {
    json_value v = json_value::make_object();
    v.set("text", std::string("a\"b\\c\x01\x1f\x7f"
                              "\xff"
                              "d\xc3\xa9",
                              12));
    v.set("n", 0.125);
    v.set("big", 1e300);
    v.set("list", json_value::make_array());
    v.set("n", -3);  // replaces the earlier member of that name
    EXPECT_EQ(json_write(v),
              "{\"text\":\"a\\\"b\\\\c\\u0001\\u001f\\u007f\xef\xbf\xbd"
              "d\xc3\xa9\",\"n\":-3,"
              "\"big\":1e+300,\"list\":[]}");
    EXPECT_EQ(v.text("text").size(), 12u);
    EXPECT_EQ(v.text("n"), "");
    EXPECT_EQ(v.text("missing"), "");
    ASSERT_NE(v.get("n"), nullptr);
    EXPECT_EQ(v.get("n")->n, -3);
}

TEST(ServiceSha256, KnownDigests) {
    // FIPS 180-2, appendix B, and the empty message.
    struct {
        std::string message;
        const char* digest;
    } cases[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        // Whole, and in pieces that cross the 64-byte blocks at every offset.
        sha256_state s;
        sha256_start(&s);
        sha256_add(&s, c.message.data(), c.message.size());
        EXPECT_EQ(sha256_hex(&s), c.digest) << c.message.substr(0, 10);
        sha256_start(&s);
        for (size_t at = 0, piece = 1; at < c.message.size(); at += piece, piece = piece % 97 + 1)
            sha256_add(&s, c.message.data() + at, std::min(piece, c.message.size() - at));
        EXPECT_EQ(sha256_hex(&s), c.digest) << c.message.substr(0, 10) << " in pieces";
    }
}

std::string summary(const svc_options& o) {
    static const char* commands[] = {"run", "list", "history", "help", "version"};
    std::string s = commands[static_cast<int>(o.command)];
    if (o.command == svc_command::help || o.command == svc_command::version) return s;
    std::string devices, actions;
    for (const auto& d : o.devices) devices += (devices.empty() ? "" : ",") + d;
    for (const auto& a : o.actions) {
        actions += (actions.empty() ? "" : ",") + std::string(svc_action_name(a.kind));
        if (!a.file.empty()) actions += ":" + a.file;
        if (a.kind == svc_action_kind::assay) actions += ":" + std::to_string(a.seconds);
    }
    s += " d=" + devices + " all=" + std::to_string(o.all) + " serial=" + o.serial_glob +
         " json=" + std::to_string(o.json) + " record=" + o.record + " log=" + o.log +
         " retries=" + std::to_string(o.retries) + " back=" + std::to_string(o.back_wait_s) +
         " stab=" + std::to_string(o.stabilise_s) + " discover=" + o.discover + ":" +
         std::to_string(o.discover_port) + "/" + std::to_string(o.discover_ms) +
         " actions=" + actions;
    if (o.command == svc_command::history) s += " SERIAL=" + o.history_serial;
    return s;
}

TEST(ServiceOptions, CommandLinesAsTheTableSays) {
    for (const auto& [n, line] : proc::data_lines(data("options.txt"))) {
        const size_t bar = line.find(" | ") != std::string::npos ? line.find(" | ") : 0;
        const std::string args = line.substr(0, bar);
        const std::string want = line.substr(line.find("| ") + 2);
        std::vector<std::string> words = proc::words_of("nv-service " + args);
        std::replace(words.begin(), words.end(), std::string("''"), std::string());
        svc_options o;
        std::string error;
        const int r =
            svc_parse(static_cast<int>(words.size()), proc::argv_of(words).data(), &o, &error);
        const std::string got = r == SVC_OK ? summary(o) : "usage: " + error;
        if (want.rfind("usage: ", 0) == 0)
            EXPECT_EQ(got.substr(0, want.size()), want) << "options.txt:" << n;
        else
            EXPECT_EQ(got, want) << "options.txt:" << n;
        EXPECT_EQ(r, want.rfind("usage: ", 0) == 0 ? SVC_USAGE : SVC_OK) << "options.txt:" << n;
    }
}

// The help text, word for word (data/usage.txt).
TEST(ServiceOptions, Usage) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    svc_print_usage(out);
    std::fclose(out);
    EXPECT_EQ(std::string(text, size), proc::read_file(data("usage.txt")));
    std::free(text);
}

TEST(ServiceDevices, DeviceFormsAsTheTableSays) {
    svc_options o;
    o.discover = "127.0.0.1";
    o.discover_port = 9;  // the discard port: nothing answers there
    o.discover_ms = 100;
    ASSERT_EQ(QXX_init(nullptr, nullptr, nullptr), 0);
    svc_finder finder{&o, false, {}};
    for (const auto& [n, line] : proc::data_lines(data("devices.txt"))) {
        const size_t arrow = line.rfind(" => ");
        ASSERT_NE(arrow, std::string::npos) << "devices.txt:" << n;
        svc_target t;
        std::string error;
        const int r = svc_resolve(line.substr(0, arrow), &finder, &t, &error);
        const std::string got = r == SVC_OK ? t.conn : r == SVC_USAGE ? "usage" : "not-found";
        EXPECT_EQ(got, line.substr(arrow + 4)) << "devices.txt:" << n << " " << error;
        EXPECT_EQ(t.device, line.substr(0, arrow)) << "devices.txt:" << n;
        if (r != SVC_OK) {
            EXPECT_NE(error.find(line.substr(0, arrow)), std::string::npos) << error;
        }
    }
    // Nothing found: --all says so, with the pattern when there was one.
    std::vector<svc_target> all;
    std::string error;
    EXPECT_EQ(svc_resolve_all(&finder, &all, &error), SVC_NOT_FOUND);
    EXPECT_EQ(error, "--all found no instrument");
    o.serial_glob = "C1*";
    EXPECT_EQ(svc_resolve_all(&finder, &all, &error), SVC_NOT_FOUND);
    EXPECT_EQ(error, "--all found no instrument whose serial matches C1*");
    QXX_shut();
}

TEST(ServiceParts, PatternsVersionsRefusalsProgress) {
    struct {
        const char *glob, *text;
        bool match;
    } globs[] = {
        {"C00012*", "C0001234", true},
        {"C00012*", "C0001334", false},
        {"*", "", true},
        {"*34", "C0001234", true},
        {"C?00*4", "C0001234", true},
        {"C?00*4", "C0001235", false},
        {"a*b*c", "aXbYbc", true},
        {"a*b*c", "aXbYc", true},
        {"a*b*c", "acb", false},
        {"", "x", false},
        {"**", "xy", true},
        {"x?", "x", false},
    };
    for (const auto& g : globs)
        EXPECT_EQ(svc_glob(g.glob, g.text), g.match) << g.glob << " " << g.text;

    struct {
        const char* text;
        bool found;
        int major, minor;
    } versions[] = {
        {"NV52-2.15.0", true, 2, 15},   {"NV52-2.14", true, 2, 14}, {"10.0", true, 10, 0},
        {"v255.255.9", true, 255, 255}, {"NV52-", false, 0, 0},     {"2", false, 0, 0},
        {"fw 1234.5", false, 0, 0},     {"", false, 0, 0},
    };
    for (const auto& v : versions) {
        int major = -1, minor = -1;
        EXPECT_EQ(svc_version_numbers(v.text, &major, &minor), v.found) << v.text;
        if (v.found) {
            EXPECT_EQ(std::pair(major, minor), std::pair(v.major, v.minor)) << v.text;
        }
    }

    EXPECT_EQ(svc_refusal_text(3, 1), "the checksum of what was written does not match (status 3)");
    EXPECT_EQ(svc_refusal_text(6, 1), "the other accumulation procedure is running (status 6)");
    EXPECT_EQ(svc_refusal_text(200, 1), "refused (status 200)");
    EXPECT_EQ(svc_refusal_text(1, 2), "it does not know the request (general error reply)");
    EXPECT_EQ(svc_refusal_text(-1, 0), "refused");

    const uint64_t MiB = 1 << 20;
    EXPECT_EQ(svc_progress_text(16 * MiB, 32 * MiB, 2.0),
              "50% (16.0 of 32.0 MiB), 8.4 MB/s, 2 s left");
    EXPECT_EQ(svc_progress_text(32 * MiB, 32 * MiB, 4.0), "100% (32.0 of 32.0 MiB)");
    EXPECT_EQ(svc_progress_text(0, 32 * MiB, 0.0), "0% (0.0 of 32.0 MiB)");
    EXPECT_EQ(svc_progress_text(1, 3 * MiB, 1e-3), "0% (0.0 of 3.0 MiB), 0.0 MB/s, 3146 s left");

    // Every exit code has a meaning of its own, and the help names it.
    std::set<std::string> meanings;
    const auto help = proc::run({NV_SERVICE_BIN, "--help"});
    for (int code = SVC_OK; code <= SVC_FILE; ++code) {
        EXPECT_TRUE(meanings.insert(svc_exit_text(code)).second) << code;
        EXPECT_NE(help.output.find("  " + std::to_string(code) + "  " + svc_exit_text(code) + "\n"),
                  std::string::npos)
            << code;
    }
    EXPECT_STREQ(svc_exit_text(SVC_FILE + 1), "failed");

    // Against Python's calendar.timegm of the same dates.
    struct {
        int64_t y, mo, d, h, mi, s, seconds;
    } dates[] = {
        {1970, 1, 1, 0, 0, 0, 0},
        {2026, 12, 7, 10, 0, 0, 1796637600},
        {2000, 2, 29, 23, 59, 59, 951868799},
        {2100, 3, 1, 0, 0, 0, 4107542400},
        {1969, 12, 31, 23, 59, 59, -1},
        {1600, 1, 1, 0, 0, 0, -11676096000},
        {2024, 2, 29, 12, 0, 0, 1709208000},
        {2199, 12, 31, 23, 59, 59, 7258118399},
        {2004, 7, 1, 12, 0, 0, 1088683200},  // an instrument's clock after a reset
    };
    for (const auto& t : dates)
        EXPECT_EQ(svc_calendar_seconds(t.y, t.mo, t.d, t.h, t.mi, t.s), t.seconds)
            << t.y << "-" << t.mo;
}

}  // namespace
