// Whole sessions of nv-term against nv52-sim, one table row each: every fault the simulator can
// inject, the firmware upload and flash with their failures and spoilt containers, and bad
// answers at every prompt of the menu's commands (out-of-range numbers, garbage, lines longer
// than the buffers, bytes that are not text, the end of input). Each row gives the whole console
// output and, where it matters, what the simulator was asked and how it answered. Every run
// ends with exit code 0, never a crash or a hang.
#include <gtest/gtest.h>

#include <ctime>
#include <sstream>
#include <regex>

#include "session.h"

namespace {

using namespace session;

constexpr size_t IMAGE = 100000;  // two full blocks and one of 4000 bytes

const std::string VE_TIMED_OUT = ">" + command_error("Q8_cmd_get_fw_version", 255);
const std::string GONE = ">" + NOT_CONNECTED;
const std::string REFUSED_FLASH = command_error("Q5_cmd_flash_fw", 1);
// The versions report of a reply that was never copied: six empty fields.
const std::string EMPTY_VERSIONS =
    "\nVersions\nOverall\t\t= \nFile system\t= \nGui\t\t= \nTalvek\t\t= \nGpp\t\t= \n"
    "Kernel\t\t= \n\n";
const std::string LONG_ANSWER = std::string(1023, '7') + "\n";  // fills the answer buffer
const std::string LONG_COMMAND = std::string(254, 'x');         // fills the command buffer
// Answers every numeric prompt refuses, whatever its range here.
const std::string GARBAGE = "9999\n-9999\nabc\n\xff\xfe\n\x1b[A\n99999999999999999999\n";
constexpr int GARBAGE_LINES = 6;
const std::string OFFSET = "Enter offset[0]:";
const std::string SET_TIME = "Setting device time: TIME ...Ok.\n";
const std::string BOX =
    "______________________________________________\n"
    "| Insert sample and press ENTER              |\n"
    "______________________________________________\n";

// The simulator's status record; the battery figures fall with its running time and the GPS
// time is its clock: normalize() makes them N.
const std::string STATUS =
    "Status\n"
    "Status.usb_status         = 0\n"
    "Status.bt_status          = 0\n"
    "Status.wifi_status        = 1\n"
    "Status.stab_status        = 1\n"
    "Status.alarm              = 0\n"
    "\n"
    "Status.bat_charger_status = Ok\n"
    "Status.bat_voltage        = N mV\n"
    "Status.bat_gauge          = N%\n"
    "Status.bat_change_rate    = -2.5 %hr\n"
    "battery charging          = No\n"
    "battery ac adapter        = Not Connected\n"
    "\n"
    "Status.gpp_status         = 1\n"
    "\n"
    "Status.gps_power_status   = 1\n"
    "Status.gps_comm_status    = 2\n"
    "Status.gps_latitude       = 47.37690\n"
    "Status.gps_longitude      = 8.54170\n"
    "Status.gps_altitude       = 408.25\n"
    "Status.gps_satellites     = 7\n"
    "Status.gps_time           = N\n"
    "\n"
    "Status.lightsens_status   = 1\n"
    "Status.lightsens_int      = 42\n"
    "Status.lightsens_mono     = 0\n"
    "\n"
    "System status             = 1\n"
    "\n";

const std::string HELP = MENU.substr(MENU.find("[ he]"));

// A session over a working link: "Ok.", the menu, `body`, then quitting.
std::string linked(const std::string& body, const std::string& end = QUIT_CONNECTED) {
    return "Ok.\n" + MENU + body + end;
}

// One session: the simulator's options, what is typed at the menu, and what follows
// "Connecting device...". A command that fails because the link closed reports after "Device
// disconnected!". `sent`: the requests after identification as answered ("" : not checked).
struct Row {
    const char* name;
    std::string options, commands, output, sent;
    size_t image;  // bytes of the raw image of nv52fw.xfw
    void (*spoil)(std::string& xfw);
    size_t probes;     // identification requests (0: not checked)
    int offset_hours;  // of a time set in the session
};
Row row(const char* name, const char* options, const std::string& commands,
        const std::string& output, const char* sent = "", size_t image = 8,
        void (*spoil)(std::string&) = nullptr, size_t probes = 0, int offset_hours = 0) {
    return {name, options, commands, output, sent, image, spoil, probes, offset_hours};
}

strings words(const std::string& line) {
    strings w;
    std::istringstream in(line);
    for (std::string word; in >> word;) w.push_back(word);
    return w;
}

std::vector<Row> rows() {
    const Sums small = sums_of(raw_image(8)), large = sums_of(raw_image(IMAGE));
    const Sums bit = {large.raw ^ 0x10, large.enc ^ 0x10};
    const std::string erase_refused = upload_head(8, small, small) + "Erasing external flash...." +
                                      command_error("Q5_cmd_upload_xfw", 1);
    const std::string read_large = ">" + FILE_PROMPT + "Reading file nv52fw.xfw...";
    const std::string flashed_small = upload_ok(8, small, 1) + flash_head("nv52fw.xfw", small);
    const std::string flashed_large = upload_ok(IMAGE, large, 3) + flash_head("nv52fw.xfw", large);
    const std::string two_ve = linked(">" + VERSIONS + ">" + VERSIONS);
    const std::string ve_lost = linked(VE_TIMED_OUT + ">" + VERSIONS);
    return {
        // ---- injected faults. The probe's reply is the first; the second, to "ve", is lost.
        row("dropped reply", "--drop-every 2", "ve\nve\nq\n", ve_lost, "8001:- 8001:0"),
        row("corrupted header", "--corrupt-header-every 2", "ve\nve\nq\n", ve_lost,
            "8001:0 8001:0"),
        row("corrupted payload", "--corrupt-payload-every 2", "ve\nve\nq\n", ve_lost,
            "8001:0 8001:0"),
        // A block write whose reply is lost is written again, silently.
        row("dropped block reply", "--drop-every 3", "up\n\nfl\n\nq\n",
            linked(flashed_small + DISCONNECTED + GONE, ""), "8100:0 8102:- 8102:0 8103:0"),
        row("slow replies within the time-out", "--delay-ms 300", "ve\nq\n", linked(">" + VERSIONS),
            "8001:0"),
        row("replies later than the time-out", "--delay-ms 1200", "ve\nq\n", linked(VE_TIMED_OUT)),
        // A status reply makes the transaction ask again; whether the real reply or another
        // status reply is the first frame an attempt sees depends on how the bytes arrive, so
        // here an empty versions record counts as the versions.
        row("one status reply first", "--status-replies 1", "ve\nve\nq\n", two_ve),
        row("two status replies first", "--status-replies 2", "ve\nve\nq\n", two_ve),
        row("general error reply", "--error-reply 8001", "ve\nq\n",
            linked(">" + command_error("Q8_cmd_get_fw_version", 1)), "8001:1"),
        row("erase answered with the general error reply", "--error-reply 8100", "up\n\nve\nq\n",
            linked(erase_refused + ">" + VERSIONS), "8100:1 8001:0"),
        row("failing status", "--fail-code 8001:7", "ve\nq\n",
            linked(">" + command_error("Q8_cmd_get_fw_version", 1)), "8001:7"),
        row("erase failing", "--fail-code 8100:4", "up\n\nve\nq\n",
            linked(erase_refused + ">" + VERSIONS), "8100:4 8001:0"),
        row("link closed mid-command", "--close-after 2", "ve\nve\nq\n",
            linked(">" + DISCONNECTED + VE_TIMED_OUT.substr(1) + GONE, QUIT_UNLINKED), "8001:-"),
        // The link dies on the second block: its attempts fail at once and the upload stops.
        row("link closed mid-upload", "--close-after 4", "up\n\nve\nq\n",
            linked(upload_head(IMAGE, large, large) + "Erasing external flash....Ok.\n" +
                       "Writing block 1 of 3...Ok.\nWriting block 2 of 3..." + DISCONNECTED +
                       "Error!\n" + GONE,
                   QUIT_UNLINKED),
            "8100:0 8102:0 8102:-", IMAGE),
        // Never recognised after seven probes: no menu; the link is closed at the end.
        row("identification refused", "--refuse-identify", "ve\nq\n",
            "Error!\n\nFound device:   Undefined\n\n" + NOT_CONNECTED + DISCONNECTED, "", 8,
            nullptr, 7),
        row("frames in small pieces", "--split", "ve\nup\n\nfl\n\nq\n",
            linked(">" + VERSIONS + flashed_large + DISCONNECTED + GONE, ""),
            "8001:0 8100:0 8102:0 8102:0 8102:0 8103:0", IMAGE),

        // ---- firmware: a block write failing twice is retried silently, five times ends it.
        row("block write failing twice", "--fail-code 8102:1 --fail-times 2", "up\n\nfl\n\nve\nq\n",
            linked(flashed_large + DISCONNECTED + GONE, QUIT_UNLINKED),
            "8100:0 8102:1 8102:1 8102:0 8102:0 8102:0 8103:0", IMAGE),
        row("block write failing five times", "--fail-code 8102:4", "up\n\nve\nq\n",
            linked(upload_head(IMAGE, large, large) +
                   "Erasing external flash....Ok.\nWriting block 1 of 3...Error!\n>" + VERSIONS),
            "8100:0 8102:4 8102:4 8102:4 8102:4 8102:4 8001:0", IMAGE),
        // The instrument refuses to flash what it did not receive.
        row("flash with nothing uploaded; the end of input takes the default name", "", "fl\n",
            linked(flash_head("nv52fw.xfw", small) + REFUSED_FLASH), "8103:5"),
        // Containers the upload must not send.
        row("container for device type 3", "", "up\n\nve\nq\n",
            linked(read_large + "Invalid XFW file!\n>" + VERSIONS), "8001:0", IMAGE,
            [](std::string& x) { put_u32le(reinterpret_cast<unsigned char*>(&x[44]), 3); }),
        row("container cut short by 12 bytes", "", "up\n\nve\nq\n",
            linked(read_large + "Error,file longer than " + hex(IMAGE - 12, "0x%x") + "!\n>" +
                   VERSIONS),
            "8001:0", IMAGE, [](std::string& x) { x.resize(x.size() - 12); }),
        row("only part of a header, upload", "", "up\n\nve\nq\n",
            linked(read_large + "Error loading file:nv52fw.xfw!\n>" + VERSIONS), "8001:0", IMAGE,
            [](std::string& x) { x.resize(40); }),
        row("only part of a header, flash", "", "fl\n\nve\nq\n",
            linked(read_large + "Error loading file:nv52fw.xfw!\n>" + VERSIONS), "8001:0", IMAGE,
            [](std::string& x) { x.resize(40); }),
        row("one image bit changed", "", "up\n\nve\nq\n",
            linked(upload_head(IMAGE, bit, large) + "Raw chsum wrong!\n>" + VERSIONS), "8001:0",
            IMAGE, [](std::string& x) { x[72 + 50000] ^= 0x10; }),

        // ---- the reading commands, set time with its offset on the line, help, unknown words
        row("reading commands, set time, help", "",
            "ve\nsa\ngt\nst 2\ngt\nhelp\nHE\nxyz\nget time\n\nquit\n",
            linked(">" + VERSIONS + ">" + STATUS + ">Device time: TIME\n>" + SET_TIME +
                   ">Device time: TIME\n>" + HELP + ">" + HELP + ">>>"),
            "8001:0 8203:0 8002:0 8003:0 8002:0", 8, nullptr, 0, 2),

        // ---- bad answers at the menu and the commands' prompts
        row("menu: unknown words, bytes that are not text, an escape sequence", "",
            "xyz\n" + std::string(1, '\0') + "ve\n\xff\xfe\n\x1b[2J\n\t \nq\n",
            linked(times(">", 5))),
        row("menu: a line filling the buffer, its rest read as the next command", "",
            "ve" + std::string(252, ' ') + "\n" + LONG_COMMAND + "ve\nq\n",
            linked(">" + VERSIONS + ">>>" + VERSIONS), "8001:0 8001:0"),
        row("menu: the end of input quits", "", "", linked("")),
        row("set time: refused offsets, then -5", "", "st 13\n-13\n" + GARBAGE + "-5\nq\n",
            linked(">" + times(OFFSET, GARBAGE_LINES + 2) + SET_TIME), "", 8, nullptr, 0, -5),
        row("set time: a line longer than the buffer keeps 0", "", "st\n" + LONG_ANSWER + "q\n",
            linked(">" + times(OFFSET, 2) + SET_TIME)),
        row("set time: the end of input keeps 0", "", "st abc\n", linked(">" + OFFSET + SET_TIME)),
        row("upload: names too long, then the default", "",
            "up\n" + std::string(256, 'n') + "\n" + LONG_ANSWER + "q\n",
            linked(">" + times(FILE_PROMPT, 2) + upload_ok(8, small, 1).substr(1))),
        row("upload: the end of input takes the default", "", "up\n",
            linked(upload_ok(8, small, 1)), "8100:0 8102:0"),
        row("flash: a name of bytes that are not text", "", "fl\n\x1b[A\xff\nq\n",
            linked(">" + FILE_PROMPT + "Error loading file:\x1b[A\xff!\n")),
        row("assay: anything at the box is an Enter", "--event-ms 60000",
            "as\n" + LONG_ANSWER + "\x1b[A\nq\n", linked(">" + BOX + ">")),
        row("assay: the end of input at the box", "--event-ms 60000", "as\n", linked(">" + BOX)),
    };
}

// The local calendar time as seconds, so that shifts by hours compare whatever the time zone.
long long calendar_now() {
    time_t t = time(nullptr);
    tm local{};
    localtime_r(&t, &local);
    return static_cast<long long>(timegm(&local));
}

// Checks the times the session shows, then makes them TIME and the status record's varying
// figures N. Each time set is the PC's local time shifted by the offset; each time read is the
// instrument's clock: the PC's time until a time was set, then shifted as set.
std::string normalize(const std::string& out, int offset_hours, long long before) {
    const long long after = calendar_now();
    static const std::regex when(R"((\d{4})/(\d\d)/(\d\d)  (\d\d):(\d\d):(\d\d))");
    long long shift = 0;
    for (std::sregex_iterator it(out.begin(), out.end(), when), end; it != end; ++it) {
        tm t{};
        int* fields[] = {&t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec};
        for (int i = 0; i < 6; ++i) *fields[i] = std::stoi((*it)[i + 1]);
        t.tm_year -= 1900;
        t.tm_mon -= 1;
        if (it->prefix().str().ends_with("Setting device time: ")) shift = offset_hours * 3600LL;
        const long long moved = static_cast<long long>(timegm(&t)) - shift;
        EXPECT_TRUE(moved >= before - 2 && moved <= after + 2) << it->str();
    }
    static const std::regex varying(R"((voltage +=|gauge +=|gps_time +=) -?[\d.:]+)");
    return std::regex_replace(std::regex_replace(out, when, "TIME"), varying, "$1 N");
}

std::string replaced(std::string text, const std::string& piece, const std::string& by = "") {
    for (size_t at = 0; (at = text.find(piece, at)) != std::string::npos; at += by.size())
        text.replace(at, piece.size(), by);
    return text;
}

TEST(Sessions, EachRowThroughTheConsole) {
    for (const Row& row : rows()) {
        SCOPED_TRACE(row.name);
        Bench b;
        ASSERT_TRUE(b.start(words(row.options)));
        make_container(b, raw_image(row.image), "nv52fw.xfw");
        if (row.spoil) {
            std::string xfw = read_file(b.dir.file("nv52fw.xfw"));
            row.spoil(xfw);
            write_file(b.dir.file("nv52fw.xfw"), xfw);
        }
        const long long before = calendar_now();
        // A session waits out a few time-outs of a second or so at most: one that waits far
        // longer (a time-out taken in the wrong unit) ends the test here.
        proc::Result r = b.run(row.commands, 20000);
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, 0);
        // The stop of an assay reports its end through an event, whenever it comes.
        std::string out = normalize(replaced(r.output, "Done.\n"), row.offset_hours, before);
        if (row.options.find("--status-replies") != std::string::npos)
            out = replaced(out, EMPTY_VERSIONS, VERSIONS);
        EXPECT_EQ(out, BANNER + NET_DIALOGUE + row.output);
        const strings requests = b.requests(), after = after_probes(requests);
        EXPECT_TRUE(row.sent.empty() || after == words(row.sent)) << testing::PrintToString(after);
        EXPECT_TRUE(!row.probes || requests.size() - after.size() == row.probes)
            << testing::PrintToString(requests);
    }
}

// A script saved on Windows (CR LF line ends) or with a byte-order mark runs as the plain one.
TEST(Sessions, ScriptsWithCrLfOrAByteOrderMarkRunAsThePlainOne) {
    std::string plain;
    for (const char* form : {"plain", "CR LF", "byte-order mark"}) {
        SCOPED_TRACE(form);
        Bench b;
        ASSERT_TRUE(b.start());
        std::string script = b.sim.net_answers() + "ve\nst 1\ngt\nxx\nq\n";
        if (form[0] == 'C') script = replaced(script, "\n", "\r\n");
        if (form[0] == 'b') script = "\xEF\xBB\xBF" + script;
        const long long before = calendar_now();
        const std::string out = normalize(nv_term(script, b.dir.path()).output, 1, before);
        if (plain.empty()) plain = out;
        EXPECT_EQ(out, plain);
    }
    EXPECT_NE(plain.find("Setting device time: TIME ...Ok."), std::string::npos) << plain;
}

}  // namespace
