// The note for an instrument not bound to WinUSB: two lines, the binding command, the catalog the
// INF names (64-bit Windows refuses the package without it, signed), and a section of the
// README.txt that comes with the programs, which has the steps to sign one.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "sysfile_win.h"

TEST(WinAdvice, BindingNamesTheCatalogAndWhereToReadOn) {
    std::ostringstream inf, readme;
    inf << std::ifstream(NV_SOURCE_DIR "/winusb/nv52-winusb.inf").rdbuf();
    readme << std::ifstream(NV_SOURCE_DIR "/win/README.txt.in").rdbuf();
    const std::string advice = SYS_USB_ACCESS_ADVICE, steps = readme.str();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        advice, m,
        std::regex("[^\n]*pnputil /add-driver nv52-winusb.inf /install[^\n]*\n"
                   "[^\n]*(nv52-winusb.cat)[^\n]*README.txt[^\"\n]*\"([^\"]+)\"[^\n]*\n")))
        << advice;
    EXPECT_NE(inf.str().find("CatalogFile = " + m[1].str()), std::string::npos);
    // The section, from its underlined heading to the next, with the steps to sign a catalog.
    const std::regex section(
        std::string("\n").append(m[2].str()).append("\n-+\n([^]*?)\n[^\n]+\n-+\n"));
    ASSERT_TRUE(std::regex_search(steps, m, section));
    for (const char* step :
         {"Inf2Cat", "New-SelfSignedCertificate", "signtool", "TrustedPublisher"})
        EXPECT_NE(m[1].str().find(step), std::string::npos) << step;
}
