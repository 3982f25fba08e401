// The instrument's menu, command by command, with nv-term against nv52-sim over loopback: the
// whole console output of each session compared with what the operator must see.
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <regex>

#include "e2e.h"
#include "instrument_support.h"

namespace {

using e2e::CONNECTED;
using e2e::DISCONNECTED;
using e2e::NOT_CONNECTED;
using e2e::VERSIONS;
using inst::matches_form;

// The help block alone, as "help" prints it again.
const std::string HELP = e2e::MENU.substr(e2e::MENU.find("[ he]"));

// The simulator's status record; the battery figures fall with its running time and the GPS
// time is its clock, so those stand as numbers of any value.
const std::string STATUS_FORM =
    "Status\n"
    "Status.usb_status         = 0\n"
    "Status.bt_status          = 0\n"
    "Status.wifi_status        = 1\n"
    "Status.stab_status        = 1\n"
    "Status.alarm              = 0\n"
    "\n"
    "Status.bat_charger_status = Ok\n"
    "Status.bat_voltage        = {n} mV\n"
    "Status.bat_gauge          = {n}%\n"
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
    "Status.gps_time           = {n}:{n}:{n}\n"
    "\n"
    "Status.lightsens_status   = 1\n"
    "Status.lightsens_int      = 42\n"
    "Status.lightsens_mono     = 0\n"
    "\n"
    "System status             = 1\n"
    "\n";

const std::string TIME_FORM = "{n}/{n}/{n}  {n}:{n}:{n}";

// The local calendar time as seconds, so that shifts by hours can be compared whatever the
// time zone says.
long long calendar_now() {
    time_t t = time(nullptr);
    tm local{};
    localtime_r(&t, &local);
    return static_cast<long long>(timegm(&local));
}

// The date/time values that follow `label` in `out`, as calendar seconds, in order.
std::vector<long long> times_after(const std::string& out, const std::string& label) {
    std::vector<long long> v;
    std::regex re(label + R"((\d{4})/(\d\d)/(\d\d)  (\d\d):(\d\d):(\d\d))");
    for (std::sregex_iterator it(out.begin(), out.end(), re), end; it != end; ++it) {
        tm t{};
        t.tm_year = std::stoi((*it)[1]) - 1900;
        t.tm_mon = std::stoi((*it)[2]) - 1;
        t.tm_mday = std::stoi((*it)[3]);
        t.tm_hour = std::stoi((*it)[4]);
        t.tm_min = std::stoi((*it)[5]);
        t.tm_sec = std::stoi((*it)[6]);
        v.push_back(static_cast<long long>(timegm(&t)));
    }
    return v;
}

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(InstrumentMenu, ReadingCommandsSetTimeHelpAndUnknownWords) {
    e2e::Sim sim;
    ASSERT_TRUE(sim.start());
    proc::TempDir dir;
    const long long before = calendar_now();
    auto r = e2e::nv_term(sim.net_answers() +
                              "ve\nsa\ngt\n"
                              "st 2\ngt\n"       // the offset on the command line
                              "st 13\n-3\ngt\n"  // out of range: asked, then -3
                              "help\nHE\nxyz\nget time\n\n"
                              "quit\n",
                          dir.path());
    const long long after = calendar_now();
    ASSERT_FALSE(r.timed_out) << r.output;
    EXPECT_EQ(r.exit_code, 0);
    const std::string form =
        CONNECTED + ">" + VERSIONS + ">" + STATUS_FORM + ">Device time: " + TIME_FORM + "\n" +
        ">Setting device time: " + TIME_FORM + " ...Ok.\n" + ">Device time: " + TIME_FORM + "\n" +
        ">Enter offset[0]:Setting device time: " + TIME_FORM + " ...Ok.\n" +
        ">Device time: " + TIME_FORM + "\n" + ">" + HELP + ">" + HELP + ">>>>" + DISCONNECTED;
    std::string why;
    EXPECT_TRUE(matches_form(r.output, form, &why)) << why << "\n" << r.output;

    // What was set is the PC's local time shifted by the offset, and the instrument's clock
    // then reads that time (plus the seconds the session took).
    auto got = times_after(r.output, "Device time: ");
    auto set = times_after(r.output, "Setting device time: ");
    ASSERT_EQ(got.size(), 3u);
    ASSERT_EQ(set.size(), 2u);
    const long long span = after - before + 1;
    struct {
        long long value, low, high;
    } bounds[] = {
        {got[0], before - 1, after + 1},     {set[0], before + 2 * 3600, after + 2 * 3600},
        {got[1], set[0] - 1, set[0] + span}, {set[1], before - 3 * 3600, after - 3 * 3600},
        {got[2], set[1] - 1, set[1] + span},
    };
    for (size_t i = 0; i < std::size(bounds); ++i) {
        EXPECT_GE(bounds[i].value, bounds[i].low) << "value " << i;
        EXPECT_LE(bounds[i].value, bounds[i].high) << "value " << i;
    }
}

TEST(InstrumentMenu, EndOfInputEndsTheProgramAsQuitDoes) {
    e2e::Sim sim;
    ASSERT_TRUE(sim.start());
    const std::string expected = CONNECTED + ">" + VERSIONS + ">" + DISCONNECTED;
    for (const char* tail : {"ve\nq\n", "ve\nQ\n", "ve\n"}) {
        auto r = e2e::nv_term(sim.net_answers() + tail);
        ASSERT_FALSE(r.timed_out) << tail << r.output;
        EXPECT_EQ(r.exit_code, 0) << tail;
        EXPECT_EQ(r.output, expected) << tail;
    }
}

TEST(InstrumentMenu, PowerOffClosesTheLinkAndLaterCommandsFindNoDevice) {
    proc::TempDir dir;
    e2e::Sim sim;
    ASSERT_TRUE(sim.start({}, dir.file("sim.log")));
    inst::Session s;
    ASSERT_TRUE(s.start(dir.path()));
    s.send(sim.net_answers() + "pw\n");
    ASSERT_TRUE(s.wait_for(DISCONNECTED, true)) << s.output();
    s.send("ve\nQ\n");
    auto r = s.finish();
    ASSERT_FALSE(r.timed_out) << r.output;
    EXPECT_EQ(r.exit_code, 0);
    // The link closes on the instrument's side right after its reply: the message comes from
    // the link's thread, before or after the reply's line or the next prompt.
    std::string out = r.output;
    EXPECT_TRUE(inst::take_once(&out, DISCONNECTED, CONNECTED.size() + 1)) << r.output;
    EXPECT_EQ(out,
              CONNECTED + ">Sent 'Power off' command.\n>" + NOT_CONNECTED + ">" + NOT_CONNECTED);
    const std::string log = inst::read_file(dir.file("sim.log"));
    EXPECT_EQ(count_of(log, "rx 8400 "), 1u) << log;
    EXPECT_EQ(count_of(log, "rx 8001 "), 0u) << "a command was sent without a device\n" << log;
}

TEST(InstrumentMenu, UploadAndFlashAContainerMadeByCxfw) {
    proc::TempDir dir;
    // 100000 bytes: two full blocks of 48000 and a remainder of 4000.
    std::string image(100000, '\0');
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 + (i >> 9));
    std::ofstream(dir.file("nv52fw.tar"), std::ios::binary) << image;
    auto made = proc::run({NV_TERM_BIN, "cxfw", "nv52fw.tar", "nv52fw.xfw", "1.2"}, "", dir.path());
    ASSERT_EQ(made.exit_code, 0) << made.output;

    e2e::Sim sim;
    ASSERT_TRUE(sim.start({}, dir.file("sim.log")));
    inst::Session s;
    ASSERT_TRUE(s.start(dir.path()));
    s.send(sim.net_answers() + "up\n\nfl\n\n");
    ASSERT_TRUE(s.wait_for(DISCONNECTED, true)) << s.output();
    s.send("q\n");
    auto r = s.finish();
    ASSERT_FALSE(r.timed_out) << r.output;
    EXPECT_EQ(r.exit_code, 0);

    const std::string upload =
        ">Enter XFW file name[nv52fw.xfw]:Reading file nv52fw.xfw..."
        "Ok (size=0x186a0,flags=0x01).\n"
        "Version:1.02\n"
        "Encrypted:0x01\n"
        "Calc raw checksum:0x{x}\n"
        "Calc enc checksum:0x{x}\n"
        "File raw checksum:0x{x}\n"
        "File enc checksum:0x{x}\n"
        "Erasing external flash....Ok.\n"
        "Writing block 1 of 3...Ok.\n"
        "Writing block 2 of 3...Ok.\n"
        "Writing block 3 of 3...Ok.\n";
    const std::string flash =
        ">Enter XFW file name[nv52fw.xfw]:Reading file nv52fw.xfw...Ok.\n"
        "Encrypted:0x01\n"
        "Raw checksum:0x{x}\n"
        "Enc checksum:0x{x}\n"
        "Starting memory flashing process...";
    // The instrument restarts after the flash request's reply and closes the link itself.
    std::string out = r.output, why;
    EXPECT_TRUE(inst::take_once(&out, DISCONNECTED, out.find("Starting memory flashing")))
        << r.output;
    EXPECT_TRUE(matches_form(out, CONNECTED + upload + flash + ">" + NOT_CONNECTED, &why))
        << why << "\n"
        << r.output;

    // The checksums the upload computed are the ones the container carries, and the flash
    // request hands on the same raw checksum; the instrument accepted it (status 0), so the
    // external flash holds exactly the container's image.
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(r.output, m,
                          std::regex("Calc raw checksum:(0x\\w+)\nCalc enc checksum:(0x\\w+)"
                                     "\nFile raw checksum:(0x\\w+)\nFile enc checksum:"
                                     "(0x\\w+)[^]*Raw checksum:(0x\\w+)\nEnc checksum:"
                                     "(0x\\w+)")));
    EXPECT_EQ(m[1], m[3]);
    EXPECT_EQ(m[2], m[4]);
    EXPECT_EQ(m[3], m[5]);
    EXPECT_EQ(m[4], m[6]);
    const std::string log = inst::read_file(dir.file("sim.log"));
    EXPECT_EQ(count_of(log, "rx 8102 "), 3u) << log;
    EXPECT_NE(log.find("rx 8103 flash firmware (8 bytes) -> 9103 reply status 0"),
              std::string::npos)
        << log;
}

// ---- assay and caesium stabilisation with their events ---------------------------------------

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> v;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        v.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return v;
}

TEST(InstrumentEvents, AssayAndStabilisationShowTheirEventsAndSaveTheSpectrum) {
    const std::string bar = "______________________________________________\n";
    struct {
        const char* command;
        const char* box_line;
        std::vector<std::string> sim_options;
        int spectra_before_stop;  // 0: stop at once
        bool stab_result;         // the procedure ends with a stabilisation result
        long result;
    } cases[] = {
        // --events adds keyboard, status, total and light-sensor events, which stay silent.
        {"as",
         "| Insert sample and press ENTER              |\n",
         {"--event-ms", "40", "--events"},
         3,
         false,
         0},
        {"cs",
         "| Insert Cs-137 and press ENTER              |\n",
         {"--event-ms", "40"},
         2,
         true,
         0},
        // Stopped before the first spectrum: nothing is saved, the result is -1.
        {"cs",
         "| Insert Cs-137 and press ENTER              |\n",
         {"--event-ms", "600000"},
         0,
         true,
         -1},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(std::string(tc.command) + " " + tc.sim_options[1]);
        proc::TempDir dir;
        e2e::Sim sim;
        ASSERT_TRUE(sim.start(tc.sim_options));
        inst::Session s;
        ASSERT_TRUE(s.start(dir.path()));
        s.send(sim.net_answers() + tc.command + "\n");
        ASSERT_TRUE(s.wait_for(bar + tc.box_line + bar)) << s.output();
        s.send("\n");  // the sample is in: start
        if (tc.spectra_before_stop > 0) {
            ASSERT_TRUE(s.wait_for("spectrum(1024) " + std::to_string(tc.spectra_before_stop) +
                                   " received.\n"))
                << s.output();
        }
        s.send("\n");  // stop
        ASSERT_TRUE(s.wait_for(tc.stab_result
                                   ? "CS stab event. Result:" + std::to_string(tc.result) + "\n"
                                   : std::string("Done.\n")))
            << s.output();
        s.send("q\n");
        auto r = s.finish();
        ASSERT_FALSE(r.timed_out) << r.output;
        EXPECT_EQ(r.exit_code, 0);

        std::string fixed = r.output;
        auto events = inst::take_events(&fixed);
        EXPECT_EQ(fixed, CONNECTED + ">" + bar + tc.box_line + bar + ">" + DISCONNECTED);

        // Progress and spectrum alternate, 5 % and one spectrum a period, then the end of
        // the procedure and, for a stabilisation, its result.
        std::vector<inst::Event> want;
        const size_t pairs =
            tc.spectra_before_stop == 0 ? 0 : (events.size() - 1 - tc.stab_result) / 2;
        for (size_t i = 1; i <= pairs; ++i) {
            want.push_back({'p', static_cast<long>(std::min<size_t>(5 * i, 99))});
            want.push_back({'s', static_cast<long>(i)});
        }
        want.push_back({'d', 0});
        if (tc.stab_result) want.push_back({'c', tc.result});
        EXPECT_GE(pairs, static_cast<size_t>(tc.spectra_before_stop));
        ASSERT_EQ(events.size(), want.size()) << r.output;
        for (size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(events[i].kind, want[i].kind) << "event " << i << "\n" << r.output;
            EXPECT_EQ(events[i].value, want[i].value) << "event " << i << "\n" << r.output;
        }

        // The last spectrum is in spect.spc: two header values, 1024 counts, the fixed line;
        // the Cs-137 line is the highest peak above the low-energy region, at channel 331.
        const std::string spc = inst::read_file(dir.file("spect.spc"));
        if (tc.spectra_before_stop == 0) {
            EXPECT_EQ(spc, "");
            continue;
        }
        auto lines = lines_of(spc);
        ASSERT_EQ(lines.size(), 1027u);
        EXPECT_EQ(spc.back(), '\n');
        EXPECT_EQ(lines.back(), "6.8 0 3 0");
        const std::regex integer("-?[0-9]+");
        for (size_t i = 0; i + 1 < lines.size(); ++i)
            ASSERT_TRUE(std::regex_match(lines[i], integer))
                << "line " << i + 1 << ": " << lines[i];
        EXPECT_GE(std::stol(lines[0]), std::stol(lines[1]));  // real time, then live time
        size_t peak = 100;
        for (size_t ch = 100; ch < 1024; ++ch)
            if (std::stol(lines[2 + ch]) > std::stol(lines[2 + peak])) peak = ch;
        EXPECT_EQ(peak, 331u);
    }
}

}  // namespace
