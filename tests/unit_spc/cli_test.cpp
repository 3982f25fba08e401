// nv-spc as a user runs it: exit codes, messages, what is written and what is not, and the
// watch that follows a file replaced by rename.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "spc_support.h"

using namespace spc_test;

namespace {

// The simulator's kind of spectrum, from a fixed seed: a line at channel 331 on a continuum.
std::string good_text(int32_t scale_lines = 1) {
    scene s;
    s.exp_level = 800, s.exp_length = 180, s.flat = 40;
    s.lines = {{331, 11, 100000.0 * scale_lines}};
    return spectrum_text(poisson(s, 3), 20, 19);
}

}  // namespace

TEST(Cli, HelpVersionAndUsageErrors) {
    auto r = nv_spc({"--help"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.output.find("Usage: nv-spc COMMAND"), std::string::npos);
    EXPECT_NE(r.output.find("nv-spc info --calibrate 331=661.7"), std::string::npos);
    r = nv_spc({"--version"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.output.rfind("nv-spc ", 0), 0u);
    for (const char* cmd : {"info", "plot", "watch", "export"}) {
        r = nv_spc({cmd, "--help"});
        EXPECT_EQ(r.exit_code, 0) << cmd;
        EXPECT_EQ(r.output.rfind(std::string("Usage: nv-spc ") + cmd, 0), 0u) << r.output;
    }
    struct usage {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{}, "Usage: nv-spc COMMAND"},
        {{"show"}, "nv-spc: unknown command 'show'"},
        {{"info", "--log"}, "nv-spc info: 'info' has no option '--log'"},
        {{"info", "a.spc", "b.spc"}, "only one FILE"},
        {{"info", "--json=1"}, "--json takes no value"},
        {{"info", "--calibrate"}, "--calibrate needs a value"},
        {{"info", "--calibrate", "x"}, "--calibrate needs CH=KEV"},
        {{"info", "--kev-per-channel", "-2"}, "--kev-per-channel needs a positive number"},
        {{"info", "--kev-per-channel=2", "--calibrate=1=2"}, "one calibration only"},
        {{"export"}, "export needs -f n42|csv"},
        {{"export", "-f", "xml"}, "--format is n42 or csv"},
        {{"plot", "-o", "a.jpg"}, "-o needs a name ending in .png, .svg or .pdf"},
        {{"plot", "--width", "5"}, "--width needs a whole number from 20"},
        {{"watch", "-o", "a.png"}, "'watch' has no option '-o'"},
    };
    for (const auto& c : cases) {
        r = nv_spc(c.args);
        EXPECT_EQ(r.exit_code, 2) << c.message;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
    }
}

// Bad input: exit 1, the file and line named, and no output file created or changed.
TEST(Cli, BadInputWritesNothing) {
    proc::TempDir dir;
    e2e::write_file(dir.file("bad.spc"), "20\n19\n1\n-4\n6.8 0 3 0\n");
    e2e::write_file(dir.file("keep.csv"), "old\n");
    const std::vector<std::vector<std::string>> runs = {
        {"info", "bad.spc"},
        {"info", "--json", "bad.spc"},
        {"plot", "bad.spc"},
        {"plot", "-o", "out.png", "bad.spc"},
        {"export", "-f", "n42", "-o", "out.n42", "bad.spc"},
        {"export", "-f", "csv", "-o", "keep.csv", "bad.spc"},
    };
    for (const auto& args : runs) {
        auto r = nv_spc(args, dir.path());
        EXPECT_EQ(r.exit_code, 1) << args[0];
        EXPECT_EQ(r.output, "nv-spc: bad.spc:4: negative count -4\n");
    }
    auto r = nv_spc({"info"}, dir.path());  // the default file is not there
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output, "nv-spc: spect.spc: No such file or directory\n");
    EXPECT_EQ(e2e::read_file(dir.file("keep.csv")), "old\n");
    struct stat st;
    EXPECT_NE(stat(dir.file("out.png").c_str(), &st), 0);
    EXPECT_NE(stat(dir.file("out.n42").c_str(), &st), 0);
    // Only the two files written above: no temporary file left anywhere.
    r = proc::run({"/bin/ls", "-A", dir.path()});
    EXPECT_EQ(r.output, "bad.spc\nkeep.csv\n");
}

TEST(Cli, InfoExportAndPlotFiles) {
    proc::TempDir dir;
    e2e::write_file(dir.file("spect.spc"), good_text());
    auto r = nv_spc({"info", "--calibrate", "331=661.7"}, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("Channels:     1024\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Header:       20 19 (real time 20 s, live time 19 s)\n"),
              std::string::npos);
    EXPECT_NE(r.output.find("Peaks:        1\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("661."), std::string::npos) << r.output;

    r = nv_spc({"info", "--json", "--kev-per-channel", "2"}, dir.path());
    ASSERT_EQ(r.exit_code, 0);
    auto j = nlohmann::json::parse(r.output);
    EXPECT_EQ(j["channels"], 1024);
    EXPECT_EQ(j["header"], nlohmann::json::array({20, 19}));
    EXPECT_EQ(j["calibration"]["keV_per_channel"], 2.0);
    ASSERT_EQ(j["peaks"].size(), 1u);
    auto p = j["peaks"][0];
    EXPECT_NEAR(p["centroid_channel"].get<double>(), 331, 0.5);
    EXPECT_NEAR(p["energy_keV"].get<double>(), 662, 1);
    EXPECT_NEAR(p["net_area"].get<double>(), 100000, 3 * p["net_area_err"].get<double>());
    double res = p["resolution_percent"].get<double>();
    EXPECT_NEAR(res, 100 * p["fwhm_keV"].get<double>() / p["energy_keV"].get<double>(), 1e-9);
    EXPECT_GT(j["total_counts"].get<int64_t>(), 100000);

    r = nv_spc({"info", "--json"}, dir.path());  // uncalibrated: null, energies left out
    j = nlohmann::json::parse(r.output);
    EXPECT_TRUE(j.contains("calibration") && j["calibration"].is_null()) << r.output;
    EXPECT_FALSE(j["peaks"][0].contains("energy_keV"));

    r = nv_spc({"export", "-f", "csv", "-o", "out.csv"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(r.output, "");
    std::string csv = e2e::read_file(dir.file("out.csv"));
    EXPECT_NE(csv.find("\nchannel,counts\n0,"), std::string::npos);
    r = nv_spc({"export", "-f", "n42", "--calibrate", "331=661.7"}, dir.path());
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.output.find("<RadInstrumentData xmlns=\"http://physics.nist.gov/N42/2011/N42\""),
              std::string::npos);

    // A figure of each kind; an existing target keeps its mode.
    e2e::write_file(dir.file("fig.svg"), "old");
    chmod(dir.file("fig.svg").c_str(), 0640);
    for (const char* name : {"fig.png", "fig.svg", "fig.PDF"}) {
        r = nv_spc({"plot", "-o", name, "--log"}, dir.path());
        EXPECT_EQ(r.exit_code, 0) << name << r.output;
    }
    EXPECT_EQ(e2e::read_file(dir.file("fig.png")).substr(1, 3), "PNG");
    EXPECT_EQ(e2e::read_file(dir.file("fig.PDF")).substr(0, 5), "%PDF-");
    struct stat st;
    ASSERT_EQ(stat(dir.file("fig.svg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_NE(e2e::read_file(dir.file("fig.svg")).find("<svg"), std::string::npos);
    // A target in a folder that does not exist: exit 1, a message naming it.
    r = nv_spc({"plot", "-o", "no/such/fig.png"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output.rfind("nv-spc: no/such/fig.png: ", 0), 0u) << r.output;

    // The terminal plot at a given width: every line at most that many columns.
    r = nv_spc({"plot", "--width", "50"}, dir.path());
    EXPECT_EQ(r.exit_code, 0);
    size_t start = 0;
    for (size_t nl; (nl = r.output.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::string line = r.output.substr(start, nl - start);
        size_t columns = 0;
        for (unsigned char ch : line) columns += (ch & 0xC0) != 0x80;
        EXPECT_LE(columns, 50u) << line;
    }
}

// The watch redraws when the file is replaced by a rename, as nv-term replaces it, and ends at
// the end of its input.
TEST(Cli, WatchFollowsReplacements) {
    proc::TempDir dir;
    proc::Child watch;
    ASSERT_TRUE(watch.start({NV_SPC_BIN, "watch", "--width", "60"}, dir.path()));
    EXPECT_TRUE(watch.wait_for("nv-spc: waiting for spect.spc\n", false, 10000));
    std::string first = good_text(1), second = good_text(3);
    e2e::write_file(dir.file("spect.spc.tmp"), first);
    std::rename(dir.file("spect.spc.tmp").c_str(), dir.file("spect.spc").c_str());
    EXPECT_TRUE(watch.wait_for("spect.spc: 1024 channels", false, 10000)) << watch.output();
    EXPECT_TRUE(watch.wait_for("▼331.", false, 10000));
    // Another file in the folder changes nothing; the next replacement redraws.
    e2e::write_file(dir.file("other.txt"), "x");
    e2e::write_file(dir.file("spect.spc.tmp"), second);
    std::rename(dir.file("spect.spc.tmp").c_str(), dir.file("spect.spc").c_str());
    EXPECT_TRUE(watch.wait_for("spect.spc: 1024 channels", false, 10000));
    // A file written in place but broken is reported, and the watch goes on.
    e2e::write_file(dir.file("spect.spc"), "1\n2\n");
    EXPECT_TRUE(watch.wait_for("nv-spc: spect.spc:3: missing closing line", false, 10000));
    auto r = watch.finish(10000);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_FALSE(r.timed_out);
    size_t draws = 0;
    for (size_t at = 0; (at = r.output.find("spect.spc: 1024 channels", at)) != std::string::npos;
         ++at)
        draws++;
    EXPECT_EQ(draws, 2u) << r.output;
}

TEST(Cli, WatchEndsOnInterrupt) {
    proc::TempDir dir;
    e2e::write_file(dir.file("spect.spc"), good_text());
    proc::Child watch;
    ASSERT_TRUE(watch.start({NV_SPC_BIN, "watch", "--width", "40"}, dir.path()));
    EXPECT_TRUE(watch.wait_for("spect.spc: 1024", false, 10000));
    EXPECT_EQ(watch.stop(SIGINT), 0);
    // A folder that does not exist: nothing to watch.
    auto r = nv_spc({"watch", "/nonexistent-dir/spect.spc"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output, "nv-spc: /nonexistent-dir: No such file or directory\n");
}

// The whole road: an assay on the simulator with counting noise, saved by nv-term, read by
// nv-spc, which finds the simulator's four lines.
TEST(Cli, AssayFromTheNoisySimulator) {
    e2e::Sim sim;
    ASSERT_TRUE(sim.start({"--noise-seed", "7", "--event-ms", "40"}));
    proc::TempDir dir;
    proc::Child term;
    ASSERT_TRUE(term.start({NV_TERM_BIN}, dir.path()));
    term.send(sim.net_answers() + "as\n");
    ASSERT_TRUE(term.wait_for("press ENTER")) << term.output();
    term.send("\n");
    ASSERT_TRUE(term.wait_for("spectrum(1024) 20 received.\n")) << term.output();
    term.send("\n");
    ASSERT_TRUE(term.wait_for("Done.\n")) << term.output();
    term.send("q\n");
    EXPECT_EQ(term.finish().exit_code, 0);
    auto r = nv_spc({"info", "--json"}, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    auto j = nlohmann::json::parse(r.output);
    std::vector<double> centroids;
    for (const auto& p : j["peaks"]) centroids.push_back(p["centroid_channel"].get<double>());
    const double lines[] = {16, 304, 331, 730};
    ASSERT_EQ(centroids.size(), 4u) << r.output;
    for (size_t i = 0; i < 4; ++i) EXPECT_NEAR(centroids[i], lines[i], 1.5) << r.output;
}
