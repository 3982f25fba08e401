// A technician stops the terminal's output (Ctrl-S) while an assay runs, to read or to select
// text, and lets it go on (Ctrl-Q). Meanwhile the console's event lines cannot be printed, so the
// event procedure that prints them waits; the instrument's spectra must all be there afterwards.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>

#include "e2e.h"

namespace {

TEST(PausedTerminal, EverySpectrumOfAnAssayIsAnnouncedInOrder) {
    if (proc::windows_run()) GTEST_SKIP() << "the Windows program's console is not a terminal";
    constexpr int PAUSES = 4;
    constexpr auto PAUSED = std::chrono::milliseconds(600), GOING = std::chrono::milliseconds(300);
    proc::TempDir dir;
    e2e::Sim sim;
    ASSERT_TRUE(sim.start({"--event-ms", "100"}));
    proc::Child term;
    term.on_terminal();
    ASSERT_TRUE(term.start({NV_TERM_BIN}, dir.path()));
    term.send(sim.net_answers());
    ASSERT_TRUE(term.wait_for("\n>"));
    term.send("as\n\n");
    ASSERT_TRUE(term.wait_for("spectrum(1024) 1 received.\n"));
    // The technician's own timing, not a synchronisation: output held, then let go.
    for (int i = 0; i < PAUSES; ++i) {
        term.pause_output();
        std::this_thread::sleep_for(PAUSED);
        term.resume_output();
        std::this_thread::sleep_for(GOING);
    }
    term.send("\nq\n");
    const std::string out = term.finish().output;
    static const std::regex announced(R"(spectrum\(1024\) (\d+) received\.\n)");
    int next = 1;
    for (std::sregex_iterator it(out.begin(), out.end(), announced), end; it != end; ++it, ++next)
        ASSERT_EQ(std::stoi((*it)[1].str()), next) << "lost or out of order";
    EXPECT_GT(next, 30) << out;
}

}  // namespace
