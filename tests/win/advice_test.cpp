// What the console tells a technician whose instrument is not bound to WinUSB: two lines, the
// command that binds it, the catalog the driver package names (64-bit Windows refuses the package
// without it, signed), and a section of the README.txt that comes with the programs, which says
// how to sign one.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "sysfile.h"

namespace {

std::string source(const std::string& name) {
    std::ifstream in(std::string(NV_SOURCE_DIR) + "/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(WinAdvice, BindingNamesTheCatalogAndWhereToReadOn) {
    const std::string advice = SYS_USB_ACCESS_ADVICE;
    EXPECT_EQ(std::count(advice.begin(), advice.end(), '\n'), 2) << advice;
    EXPECT_EQ(advice.back(), '\n');
    EXPECT_NE(advice.find("pnputil /add-driver nv52-winusb.inf /install"), std::string::npos);

    std::smatch m;
    const std::string inf = source("winusb/nv52-winusb.inf");
    ASSERT_TRUE(std::regex_search(inf, m, std::regex(R"(CatalogFile\s*=\s*(\S+))")));
    EXPECT_NE(advice.find(m[1].str()), std::string::npos) << "the catalog " << m[1];

    ASSERT_TRUE(std::regex_search(advice, m, std::regex(R"(README\.txt[^"]*"([^"]+)\")")));
    const std::string readme = source("win/README.txt.in"), section = m[1];
    const size_t at = readme.find("\n" + section + "\n");
    ASSERT_NE(at, std::string::npos) << "README.txt has no section " << section;
    EXPECT_EQ(readme.substr(at + section.size() + 2, section.size()), std::string(section.size(), '-'));
    // The section (up to the next heading) says how to sign a catalog on the service PC.
    const std::string rest = readme.substr(at + 1 + section.size());
    const bool more = std::regex_search(rest, m, std::regex("\n[^\n]+\n-+\n"));
    const std::string text = more ? rest.substr(0, static_cast<size_t>(m.position())) : rest;
    for (const char* step : {"Inf2Cat", "New-SelfSignedCertificate", "signtool"})
        EXPECT_NE(text.find(step), std::string::npos) << step;
}

}  // namespace
