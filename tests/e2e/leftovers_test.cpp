// The temporaries a killed nv-term left behind (a power cut, the Task Manager) go when a file is
// next written in their folder: only names of ours, plain files with one name, this user's, a day
// old; another user's, a young one (another nv-term may be writing it) and anything else stay.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "session.h"

namespace {

using namespace session;

TEST(Leftovers, OnlyOursGoAndOnlyWhenADayOld) {
    const bool root = geteuid() == 0;
    const struct {
        const char* name;
        int hours_old;
        bool nobodys, folder, linked, removed;
    } table[] = {
        {".nvAbc123", 25, false, false, false, true},
        {".nv0Zz9aQ", 24 * 30, false, false, false, true},
        {".nvYoung1", 23, false, false, false, false},
        {".nvOther1", 25, true, false, false, false},
        {".nvAbc12", 25, false, false, false, false},
        {".nvAbc1234", 25, false, false, false, false},
        {".nvAb-123", 25, false, false, false, false},
        {".NVAbc123", 25, false, false, false, false},
        {"x.nvAbc12", 25, false, false, false, false},
        {".nvDir123", 25, false, true, false, false},
        {".nvHard12", 25, false, false, true, false},
    };
    proc::TempDir dir;
    write_file(dir.file("fw.tar"), "abcdefghijkl");
    std::set<std::string> kept = {"fw.tar", "new.xfw"};
    for (const auto& l : table) {
        if (l.nobodys && !root) continue;
        const std::string path = dir.file(l.name);
        if (l.folder) {
            ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        } else {
            write_file(path, "a container cut short");
        }
        if (l.linked) {
            ASSERT_EQ(link(path.c_str(), (path + "-kept").c_str()), 0);
            kept.insert(std::string(l.name) + "-kept");
        }
        if (l.nobodys) {
            ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        }
        const timespec when = {time(nullptr) - l.hours_old * 3600, 0}, times[2] = {when, when};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
        if (!l.removed) kept.insert(l.name);
    }
    auto r = proc::run({NV_TERM_BIN, "cxfw", "fw.tar", "new.xfw", "1.5"}, "", dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(names_in(dir.path()), kept);
    if (!root) GTEST_SKIP() << "another user's leftover not tried: giving a file away needs root";
}

}  // namespace
