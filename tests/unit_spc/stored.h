// Texts of the nv-spc tests stored under data/ (the benchmarks share spc_support.h, not this).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "e2e.h"
#include "nv_version.h"

namespace spc_test {

// `text` against data/NAME, with "nv-spc VERSION" for this build's so a new version changes no
// stored text; NV_UPDATE_EXPECTED=1 stores it anew (look at it before committing).
inline void expect_stored(const std::string& name, std::string text) {
    const std::string ours = "nv-spc " NV_VERSION;
    for (size_t at; (at = text.find(ours)) != std::string::npos;)
        text.replace(at, ours.size(), "nv-spc VERSION");
    std::string path = std::string(NV_SOURCE_DIR) + "/tests/unit_spc/data/" + name;
    if (std::getenv("NV_UPDATE_EXPECTED")) e2e::write_file(path, text);
    EXPECT_EQ(text, e2e::read_file(path)) << name << ":\n" << text;
}

}  // namespace spc_test
