// What Linux adds to the removal of our leftover temporaries (names, owners and age are the
// end-to-end test's, on both systems): a link under our name is not followed nor removed, a folder
// where another user could swap a name between the look and the removal is left alone, and each
// folder is looked at once a run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <set>
#include <string>

#include "process.h"
#include "safe_file.h"

namespace {

enum class Kind { file, link, hard_link };

struct Leftover {
    const char* name;
    Kind kind;
    bool removed;
};

// Each name made in `dir` as the table says, untouched for 25 hours.
void make(const proc::TempDir& dir, const Leftover& l) {
    const std::string path = dir.file(l.name);
    if (l.kind == Kind::link) {
        ASSERT_EQ(symlink("spect.spc", path.c_str()), 0);
    } else {
        proc::write_file(path, "a spectrum cut short");
        if (l.kind == Kind::hard_link) {
            ASSERT_EQ(link(path.c_str(), (path + "-kept").c_str()), 0);
        }
    }
    const timespec when = {time(nullptr) - 25 * 3600, 0};
    const timespec times[2] = {when, when};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

std::set<std::string> names_in(const proc::TempDir& dir) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        names.insert(e.path().filename().string());
    return names;
}

bool save(const std::string& path) {
    SafeFile f;
    return f.open(path.c_str()) && f.write("new", 3) && f.commit();
}

TEST(Leftovers, LinksAndSharedFoldersAreLeftAlone) {
    const Leftover table[] = {
        {".nvAbc123", Kind::file, true},
        {".nvLink12", Kind::link, false},
        {".nvHard12", Kind::hard_link, false},
    };
    // The folder as a user makes it, a shared one with the sticky bit, and a shared one without,
    // where another user could put anything under a name once looked at.
    const mode_t modes[] = {0755, 01777, 0777};
    std::array<proc::TempDir, 3> dirs;
    for (size_t i = 0; i < dirs.size(); ++i) {
        const mode_t folder_mode = modes[i];
        const proc::TempDir& dir = dirs[i];
        SCOPED_TRACE(folder_mode);
        std::set<std::string> kept = {"spect.spc"};
        for (const Leftover& l : table) {
            make(dir, l);
            if (!l.removed || folder_mode == 0777) kept.insert(l.name);
            if (l.kind == Kind::hard_link) kept.insert(std::string(l.name) + "-kept");
        }
        ASSERT_EQ(chmod(dir.path().c_str(), folder_mode), 0);
        ASSERT_TRUE(save(dir.file("spect.spc")));
        EXPECT_EQ(names_in(dir), kept);
        // Once a run per folder: a leftover that turns up later stays until the next run.
        make(dir, table[0]);
        ASSERT_TRUE(save(dir.file("spect.spc")));
        EXPECT_EQ(names_in(dir).count(table[0].name), 1u);
    }
}

}  // namespace
