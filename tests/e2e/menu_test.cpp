// The menu commands whose events come from the link's thread at moments of their own, typed step
// by step: the assay and stabilisation with their events and spect.spc. (Every other command is
// a case of data/sessions.txt.)
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>
#include <regex>

#include "session.h"

namespace {

using namespace session;

// Removes the instrument's event lines (a line, or the rest of a line after the ">" prompt)
// from `out` and returns them in order as "p5" (progress), "s1" (spectrum), "d" (done), "c0"
// (stabilisation result); what remains is the console's fixed text.
strings take_events(std::string* out) {
    static const std::regex event(
        R"((\d+)%|spectrum\(1024\) (\d+) received\.|(Done\.)|CS stab event\. Result:(-?\d+))");
    strings events;
    std::string kept;
    size_t pos = 0;
    for (size_t nl; (nl = out->find('\n', pos)) != std::string::npos; pos = nl + 1) {
        const size_t body = std::min(out->find_first_not_of('>', pos), nl);
        const std::string text = out->substr(body, nl - body);
        std::smatch m;
        if (!std::regex_match(text, m, event)) {
            kept += out->substr(pos, nl + 1 - pos);
            continue;
        }
        events.push_back(m[1].matched   ? "p" + m[1].str()
                         : m[2].matched ? "s" + m[2].str()
                         : m[3].matched ? "d"
                                        : "c" + m[4].str());
        kept += out->substr(pos, body - pos);
    }
    *out = kept + out->substr(pos);
    return events;
}

TEST(InstrumentMenu, AssayAndStabilisationShowTheirEventsAndSaveTheSpectrum) {
    const std::string bar = "______________________________________________\n";
    const struct {
        const char* command;
        std::string box_line;
        strings sim_options;
        int spectra_before_stop;  // 0: stop at once
        const char* result;       // the stabilisation's result line, or none
        const char* folder = "";  // of the session, inside the bench's, where spect.spc is held
    } cases[] = {
        // --events adds keyboard, status, total and light-sensor events, which stay silent. A
        // reader holds spect.spc (in a folder of a Cyrillic name) all along: every spectrum is
        // saved all the same, on Windows after a wait of 200 ms each (so spectra come slower
        // here than that, lest the simulator drop those nobody reads in time).
        {"as",
         "| Insert sample and press ENTER              |\n",
         {"--event-ms", "300", "--events"},
         3,
         nullptr,
         "\xd1\x81\xd0\xbf\xd0\xb5\xd0\xba\xd1\x82\xd1\x80"},
        {"cs", "| Insert Cs-137 and press ENTER              |\n", {"--event-ms", "40"}, 2, "c0"},
        // Stopped before the first spectrum: nothing is saved, the result is -1.
        {"cs",
         "| Insert Cs-137 and press ENTER              |\n",
         {"--event-ms", "600000"},
         0,
         "c-1"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(std::string(tc.command) + " " + tc.sim_options[1]);
        Bench b;
        ASSERT_TRUE(b.start(tc.sim_options));
        const std::string dir = b.dir.path() + (*tc.folder ? "/" : "") + tc.folder;
        mkdir(dir.c_str(), 0755);
        std::unique_ptr<Holder> reader;
        if (*tc.folder) {
            write_file(dir + "/spect.spc", "old\n");
            reader = std::make_unique<Holder>(dir + "/spect.spc");
            ASSERT_TRUE(reader->holding());
        }
        proc::Child s;
        ASSERT_TRUE(s.start({NV_TERM_BIN}, dir));
        s.send(b.sim.net_answers() + tc.command + "\n");
        ASSERT_TRUE(s.wait_for(bar + tc.box_line + bar)) << s.output();
        s.send("\n");  // the sample is in: start
        const std::string spectrum = "spectrum(1024) " + std::to_string(tc.spectra_before_stop);
        ASSERT_TRUE(tc.spectra_before_stop == 0 || s.wait_for(spectrum + " received.\n"))
            << s.output();
        s.send("\n");  // stop
        ASSERT_TRUE(s.wait_for(tc.result ? "CS stab event. Result:" + std::string(tc.result + 1)
                                         : std::string("Done.\n")))
            << s.output();
        s.send("q\n");
        auto r = s.finish();
        EXPECT_EQ(r.exit_code, 0);
        std::string fixed = r.output;
        strings events = take_events(&fixed);
        EXPECT_EQ(fixed, screen("linked") + ">" + bar + tc.box_line + bar + screen("quit"));

        // Progress and spectrum alternate, 5 % and one spectrum a period, then the end of the
        // procedure and, for a stabilisation, its result.
        strings want;
        const size_t pairs = events.size() < 2 ? 0 : (events.size() - 1 - !!tc.result) / 2;
        for (size_t i = 1; i <= pairs; ++i)
            want.insert(want.end(), {"p" + std::to_string(std::min<size_t>(5 * i, 99)),
                                     "s" + std::to_string(i)});
        want.push_back("d");
        if (tc.result) want.push_back(tc.result);
        EXPECT_GE(pairs, static_cast<size_t>(tc.spectra_before_stop));
        EXPECT_EQ(events, want) << r.output;

        // The last spectrum is in spect.spc: two header values, 1024 counts, the fixed line;
        // the Cs-137 line is the highest peak above the low-energy region, at channel 331.
        const std::string spc = read_text(dir + "/spect.spc");
        if (tc.spectra_before_stop == 0) {
            EXPECT_EQ(spc, "");
            continue;
        }
        ASSERT_GT(spc.size(), 10u);
        EXPECT_EQ(spc.substr(spc.size() - 11), "\n6.8 0 3 0\n");
        std::vector<long> v;
        for (size_t pos = 0; pos < spc.size() - 10; pos = spc.find('\n', pos) + 1) {
            char* end;
            v.push_back(strtol(spc.c_str() + pos, &end, 10));
            ASSERT_TRUE(*end == '\n' && end > spc.c_str() + pos) << "line " << v.size();
        }
        ASSERT_EQ(v.size(), 1026u);
        EXPECT_GE(v[0], v[1]);  // real time, then live time
        EXPECT_EQ(std::max_element(v.begin() + 102, v.end()) - v.begin() - 2, 331);
    }
}

}  // namespace
