// Replacing the operator's files where the path is not a plain file in a plain folder, as the
// test's user and as nobody (root writes anywhere; nobody shows what permissions do).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <fstream>
#include <list>
#include <optional>
#include <set>

#include "fixture.h"
#include "q5_cmds.h"
#include "q8_cmds.h"
#include "safe_file.h"

namespace {

namespace fs = std::filesystem;
constexpr uid_t NOBODY = 65534;
constexpr uid_t OTHER = 4242;  // a third user, neither root nor nobody

void put(const std::string& path, const std::string& content, mode_t mode, uid_t owner) {
    std::ofstream(path, std::ios::binary) << content;
    if (chown(path.c_str(), owner, static_cast<gid_t>(-1)) != 0) {
    }
    chmod(path.c_str(), mode);  // after the owner, whose change clears set-ID bits
}
std::string get(const std::string& path) {
    return fs::is_regular_file(path) ? proc::read_file(path) : "";
}
// Every name under the case's folders, with its kind: a leftover temporary shows up here.
std::set<std::string> listing() {
    std::set<std::string> names;
    for (const char* folder : {"w", "ro", "other"})
        for (const auto& e : fs::directory_iterator(folder))
            names.insert(e.path().string() + (e.is_symlink() ? "@" : e.is_directory() ? "/" : ""));
    return names;
}
bool same_inode(const struct stat& a, const std::string& path) {
    struct stat b;
    return stat(path.c_str(), &b) == 0 && a.st_ino == b.st_ino;
}

// A spectrum event of 1024 channels: channel i holds i * mul + 5, the header values 1234567
// (at 116, first in the file) and -2 (at 112), the printed value `mul` as a u16.
Bytes spectrum(int32_t mul) {
    Bytes d(4326, 0x5A);
    put_i32le(d.data() + 2, 1024);
    put_u16le(d.data() + 8, static_cast<uint16_t>(mul));
    put_i32le(d.data() + 112, -2);
    put_i32le(d.data() + 116, 1234567);
    for (int i = 0; i < 1024; ++i) put_i32le(d.data() + 230 + 4 * i, i * mul + 5);
    return frame_of(10002, d);
}
Bytes spectrum_text(int32_t mul) {
    std::string t = "1234567\n-2\n";
    for (int i = 0; i < 1024; ++i) t += std::to_string(i * mul + 5) + "\n";
    return text(t + "6.8 0 3 0\n");
}

enum class Op { container, spectrum, spc_export, upload };
enum class Who { self, nobody, other };

// Runs the writer in a child as `who` (umask 022); the spectrum handler writes spect.spc in the
// folder of `path`. Exits 0 if the writer reported success, 1 failure, 2 anything else.
int write_as(Who who, bool unnamed, Op op, const std::string& path) {
    pid_t pid = fork();
    if (pid == 0) {
        const uid_t as = who == Who::nobody ? NOBODY : OTHER;
        if (who != Who::self && (setgid(as) != 0 || setuid(as) != 0)) _exit(3);
        umask(022);
        safe_file_tmpfile = unnamed;
#ifdef NV_SPC_BIN
        if (op == Op::spc_export) {
            execl(NV_SPC_BIN, NV_SPC_BIN, "export", "-f", "csv", "-o", path.c_str(), "in.spc",
                  nullptr);
            _exit(3);
        }
#endif
        Console con(path + "\n");
        std::string line = "up\n";
        if (op == Op::upload)  // from the container at `path`
            _exit(Q5_cmd_upload_xfw(line.data(), "x", 12, -1) == 0 &&
                          fake_qxx::codes() == std::vector<int>{8100, 8102}
                      ? 0
                      : 2);
        if (op == Op::spectrum) {
            if (chdir(fs::path(path).parent_path().c_str()) != 0) _exit(3);
            Q8_event_spectrum_data(7, nullptr, spectrum(3).data(), 0);
            _exit(con.out() == "spectrum(1024) 3 received.\n" ? 0 : 2);
        }
        int r = Q5_create_xfw("raw.bin", path.c_str(), 1, 5, 1, "NV-52", -1, 12);
        const std::string out = con.out(), head = "Writing file " + path + "...";
        if (r == 0 && out.ends_with(head + "Ok.\n")) _exit(0);
        if (r == -1 && out.ends_with(head + "Error writing file:" + path + "!\n")) _exit(1);
        _exit(2);
    }
    const int status = proc::status_of(pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// What each writer puts in its file (the container of raw.bin: the date and time fields aside).
bool written_by(Op op, const std::string& content) {
    if (op == Op::container) return content.size() == 84 && content.substr(72) == "abcddfghyjkl";
    if (op == Op::spectrum) return text(content) == spectrum_text(3);
    return content.find("channel,counts") != std::string::npos;
}

class SafeFiles : public Linked {
  protected:
    void SetUp() override {
        Linked::SetUp();
        put("raw.bin", "abcdefghijkl", 0644, geteuid());
        write_file("in.spc", spectrum_text(3));
    }
    // w belongs to a third user, so that root's links there are followed for being root's.
    void folders() {
        chmod("ro", 0777);
        for (const char* f : {"w", "ro", "other"}) {
            fs::remove_all(f);
            fs::create_directory(f);
            chmod(f, 0777);
        }
        if (chown("w", OTHER, OTHER) != 0) {
        }
    }
    void ro_closed() { chmod("ro", 0555); }
    void TearDown() override {
        chmod("ro", 0777);
        Linked::TearDown();
    }
};

// A step that prepares a case (KIND=A:B...), its files owned by `u`; `@` stands for `at`.
void prepare(const std::string& step, uid_t u, const std::string& at = "") {
    Strings a;
    for (size_t i = step.find('=') + 1; i <= step.size(); i = step.find(':', i) + 1) {
        a.push_back(step.substr(i, step.find(':', i) - i));
        if (a.back() == "@") a.back() = at;
        if (step.find(':', i) == std::string::npos) break;
    }
    const std::string kind = step.substr(0, step.find('='));
    const auto id = [u](const std::string& t) { return t == "U" ? u : std::stoul(t); };
    if (kind == "file") put(a[0], std::string(200, 'o'), std::stoul(a[1], nullptr, 8), u);
    if (kind == "mine") put(a[0], "mine", 0644, u);
    if (kind == "link") fs::create_symlink(a[0], a[1]);
    if (kind == "hardlink") fs::create_hard_link(a[0], a[1]);
    if (kind == "chown" && lchown(a[0].c_str(), id(a[1]), id(a[2])) != 0) {
    }
    if (kind == "mode") chmod(a[0].c_str(), std::stoul(a[1], nullptr, 8));
    if (kind == "dir") fs::create_directory(a[0]);
    if (kind == "fifo") mkfifo(a[0].c_str(), 0666);
    if (kind == "node" && mknod(at.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
        fs::create_symlink("/dev/null", at);
}

TEST_F(SafeFiles, ReplacesOnlyWhatTheUserMayWriteAndLeavesNothingBehind) {
    struct Row {
        std::string name, path, written, how;
        Op op;
        bool ok_root, ok_user;
        mode_t mode;
        Strings setup;
    };
    std::vector<Row> rows;
    for (const auto& [n, line] : data_lines("replace.txt")) {
        Strings w = words(line);
        for (std::string& x : w)  // <pid>, <251n>
            if (const size_t at = x.find('<'); at != std::string::npos)
                x = x.substr(0, at) +
                    (x[at + 1] == 'p' ? std::to_string(getpid()) : std::string(251, 'n')) +
                    x.substr(x.find('>') + 1);
        rows.push_back({::quoted(w[7]), w[1], w[4] == "=" ? w[1] : w[4], w[6],
                        w[0] == "spc" ? Op::spectrum : Op::container, w[2] == "ok", w[3] == "ok",
                        static_cast<mode_t>(std::stoul(w[5], nullptr, 8)),
                        Strings(w.begin() + 8, w.end())});
    }
    const bool root = geteuid() == 0;
    for (const Row& row : rows)
        for (Who who : {Who::self, Who::nobody})
            for (bool unnamed : {true, false}) {
                if (who == Who::nobody && !root) continue;
                const bool as_root = who == Who::self && root;
                SCOPED_TRACE(std::string(row.name) + (as_root ? ", root" : ", user") +
                             (unnamed ? ", unnamed temporary" : ", named temporary"));
                folders();
                for (const std::string& step : row.setup) prepare(step, root ? NOBODY : geteuid());
                ro_closed();
                const std::string& written = row.written;
                const std::string old = get(written);
                struct stat before {};
                stat(written.c_str(), &before);
                const auto names = listing();
                const bool ok = as_root ? row.ok_root : row.ok_user;

                const int result = write_as(who, unnamed, row.op, row.path);
                EXPECT_EQ(result, ok || row.op == Op::spectrum ? 0 : 1);  // spectrum: no report
                std::set<std::string> expected = names;
                if (ok && row.how == "new") expected.insert(written);
                EXPECT_EQ(listing(), expected);
                if (ok) {
                    EXPECT_TRUE(written_by(row.op, get(written)));
                    struct stat after {};
                    lstat(written.c_str(), &after);
                    EXPECT_TRUE(S_ISREG(after.st_mode));
                    EXPECT_EQ(after.st_mode & 07777, row.mode);
                    if (as_root && row.how != "new") {
                        EXPECT_EQ(after.st_uid, before.st_uid);  // root keeps the owner
                        EXPECT_EQ(after.st_gid, before.st_gid);
                    }
                    EXPECT_EQ(same_inode(before, written), !as_root && row.how == "in-place");
                    if (written != row.path) {
                        EXPECT_TRUE(fs::is_symlink(row.path));
                    }
                } else if (fs::exists(written)) {
                    struct stat after {};
                    lstat(written.c_str(), &after);
                    EXPECT_EQ(after.st_mode, before.st_mode);
                    EXPECT_TRUE(same_inode(before, written));
                    if (S_ISREG(after.st_mode)) {
                        EXPECT_EQ(get(written), old);
                    }
                }
                for (const auto& n : names)
                    if (n.find("tmp") != std::string::npos) {
                        EXPECT_EQ(get(n), "mine") << n;
                    }
            }
    if (!root) GTEST_SKIP() << "not root: the cases as user nobody did not run";
}

// A folder "shared" of mode `shared`, and root's own "secret" holding root's file "victim".
void attacked_folders(mode_t shared, mode_t victim) {
    for (const char* f : {"shared", "secret"}) fs::remove_all(f);
    fs::create_directory("shared");
    chmod("shared", shared);
    fs::create_directory("secret");
    chmod("secret", 0700);
    put("secret/victim", "victim", victim, 0);
}

// In a folder others may write, sticky or not: a FIFO or device under the name is never opened
// for writing, and root's own links are followed as before.
TEST_F(SafeFiles, RootNeverWritesWhereAnotherUsersNamesLead) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: the attack is root's writing in nobody's reach";
    const auto rows = data_lines("attacks.txt");
    const Op ops[] = {Op::container, Op::spectrum, Op::spc_export};
    for (mode_t shared : {01777, 0777})
        for (Op op : ops)
            for (const auto& [n, line] : rows) {
#ifndef NV_SPC_BIN
                if (op == Op::spc_export) continue;  // nv-spc is not built here
#endif
                const Strings w = words(line);
                SCOPED_TRACE("attacks.txt:" + std::to_string(n) +
                             (shared & 01000 ? ", sticky" : ", 0777") + ", writer " +
                             std::to_string(static_cast<int>(op)));
                attacked_folders(shared, 0600);
                const std::string target = op == Op::container  ? "shared/fw.xfw"
                                           : op == Op::spectrum ? "shared/spect.spc"
                                                                : "shared/out.csv";
                for (size_t k = 2; k < w.size(); ++k) prepare(w[k], 0, target);
                struct stat before {};
                lstat(target.c_str(), &before);
                const int reader =
                    S_ISFIFO(before.st_mode) ? ::open(target.c_str(), O_RDONLY | O_NONBLOCK) : -1;
                const int watch = inotify_init1(IN_NONBLOCK);
                if (!S_ISLNK(before.st_mode)) inotify_add_watch(watch, target.c_str(), IN_OPEN);

                const int result = write_as(Who::self, true, op, target);
                const bool ok = w[0] != "-";
                if (op != Op::spectrum) {
                    EXPECT_EQ(result, ok ? 0 : 1);
                }
                char events[256];
                EXPECT_LT(read(watch, events, sizeof events), 1) << "opened";
                close(watch);
                if (reader >= 0) close(reader);
                if (ok) {
                    EXPECT_TRUE(written_by(op, get(w[0])));
                    EXPECT_TRUE(fs::is_symlink(target));
                    continue;
                }
                struct stat after {};
                lstat(target.c_str(), &after);
                EXPECT_EQ(after.st_ino, before.st_ino);  // the name is as planted
                EXPECT_EQ(after.st_mode, before.st_mode);
                EXPECT_EQ(get("secret/victim"), "victim");
                EXPECT_FALSE(fs::exists("secret/new"));
                EXPECT_EQ(std::distance(fs::directory_iterator("shared"), fs::directory_iterator()),
                          fs::exists("shared/hop") ? 2 : 1);
            }
}

// Another user swaps the name between their file, their link to root's set-user-ID file and
// their FIFO while root writes it: no file takes that mode, and the FIFO is never opened.
TEST_F(SafeFiles, ANameSwappedWhileRootWritesNeverLeadsThroughTheLink) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: the attack is root's writing in nobody's reach";
    for (mode_t shared : {01777, 0777}) {
        SCOPED_TRACE(shared & 01000 ? "sticky" : "0777");
        attacked_folders(shared, 04755);
        put("shared/fw.xfw", "mine", 0644, NOBODY);
        prepare("link=../secret/victim:shared/alt", NOBODY);
        prepare("chown=shared/alt:U:U", NOBODY);
        mkfifo("shared/fifo", 0666);
        const int reader = ::open("shared/fifo", O_RDONLY | O_NONBLOCK);
        const int watch = inotify_init1(IN_NONBLOCK);
        inotify_add_watch(watch, "shared/fifo", IN_OPEN);
        if (chown("shared/fifo", NOBODY, NOBODY) != 0) ADD_FAILURE();
        pid_t attacker = fork();
        if (attacker == 0) {
            if (setgid(NOBODY) != 0 || setuid(NOBODY) != 0) _exit(3);
            for (int i = 0; i < 2000000 && getppid() != 1; ++i)
                renameat2(AT_FDCWD, "shared/fw.xfw", AT_FDCWD, i % 2 ? "shared/alt" : "shared/fifo",
                          RENAME_EXCHANGE);
            _exit(0);
        }
        int written = 0;
        for (int i = 0; i < 300; ++i) {
            SafeFile f;
            if (f.open("shared/fw.xfw") && f.write("new", 3) && f.commit()) ++written;
            for (const char* name : {"shared/fw.xfw", "shared/alt"}) {
                struct stat st {};
                if (lstat(name, &st) == 0 && S_ISREG(st.st_mode)) {
                    EXPECT_EQ(st.st_mode & 07000, 0u) << name;
                }
            }
            ASSERT_EQ(get("secret/victim"), "victim") << "after " << i << " writes";
        }
        kill(attacker, SIGKILL);
        waitpid(attacker, nullptr, 0);
        char events[256];
        EXPECT_LT(read(watch, events, sizeof events), 1) << "the FIFO was opened";
        close(watch);
        close(reader);
        struct stat st {};
        stat("secret/victim", &st);
        EXPECT_EQ(st.st_mode & 07777, 04755u);
        std::cout << "swapped name: " << written << " of 300 writes went through\n";
    }
}

// An ordinary user replacing another user's file in a folder open to both cannot give the new
// file away: it is the writer's own, and so it must not keep a set-user or set-group bit.
TEST_F(SafeFiles, AFileThatChangesOwnerLosesItsSetIdBits) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: the two users are made by it";
    folders();
    put("w/t.xfw", "old", 06777, NOBODY);
    ASSERT_EQ(write_as(Who::other, true, Op::container, "w/t.xfw"), 0);
    struct stat st {};
    stat("w/t.xfw", &st);
    EXPECT_EQ(st.st_uid, OTHER);
    EXPECT_EQ(st.st_mode & 07777, 0777u);
}

// Holds the writer with the temporary complete, not yet in place: the widest window for a signal.
int hold_pipe = -1;
void hold(struct tm*) {
    if (write(hold_pipe, "x", 1) != 1) _exit(4);
    for (;;) pause();
}

// Writes beyond `bytes` fail (no signal) until the end of the scope.
struct FileSizeLimit {
    rlimit saved{};
    explicit FileSizeLimit(rlim_t bytes) {
        signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit lower{bytes, saved.rlim_max};
        setrlimit(RLIMIT_FSIZE, &lower);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved); }
};

// What happens to the names at the last moment before the rename (`before-rename`): nothing,
// the temporary removed, another file renamed over the target's name, or a file put there.
std::string late_change, late_path;
void change_late(int folder, const char* temp, const char* name) {
    if (late_change == "remove-temp") unlinkat(folder, temp, 0);
    if (late_change == "swap") renameat(AT_FDCWD, late_path.c_str(), folder, name);
    if (late_change == "put") {
        const int fd = openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (write(fd, late_path.data(), late_path.size()) < 0 || close(fd) != 0) ADD_FAILURE();
    }
}

// data/safe_file.txt: steps on one SafeFile, for what the console writers cannot reach.
TEST_F(SafeFiles, OpenWriteCommitAndDiscard) {
    const auto original_name = safe_file_temp_name;
    static std::vector<std::string> drawn;
    static std::string always;
    static int draws = 0;  // of draw-always
    std::list<SafeFile> held;
    std::optional<FileSizeLimit> limit;
    std::string ignored;  // signals not tried
    SafeFile f;
    size_t descriptors = 0;
    int in = -1;
    folders();
    for (const auto& [n, line] : data_lines("safe_file.txt")) {
        SCOPED_TRACE("safe_file.txt:" + std::to_string(n) + ": " + line);
        Strings w = words(line);
        for (std::string& x : w) {
            if (x[0] == '"') x = ::quoted(x);
            if (x.starts_with("$/")) x = dir + x.substr(1);
        }
        const std::string& op = w[0];
        const char* path = w.size() < 2 || w[1] == "null" ? nullptr
                           : w[1] == "empty"              ? ""
                                                          : w[1].c_str();
        const bool ok = w.back() == "ok";
        bool good = true;                          // the step went as the line says
        const auto failed_with = [&](size_t at) {  // with the error named at w[at], if any
            const char* name = strerrorname_np(errno);
            return w.size() <= at || (name != nullptr && w[at] == name);
        };
        if (op == "open") good = f.open(path) == ok && failed_with(3);
        if (op == "write") good = f.write(w[1].data(), w[1].size()) == ok;
        if (op == "write-at") good = f.write_at(w[2].data(), w[2].size(), std::stoll(w[1])) == ok;
        if (op == "commit") good = f.commit() == ok && failed_with(2);
        if (op == "before-rename") {
            late_change = w[1], late_path = w.size() > 2 ? w[2] : "";
            safe_file_before_rename = w[1] == "none" ? nullptr : change_late;
        }
        if (op == "discard") f.discard();
        if (op == "fd") good = f.fd() == -1;
        if (op == "replace")
            good = (f.open(path) && f.write(w[2].data(), w[2].size()) && f.commit()) == ok;
        if (op == "has") good = w[2] == "absent" ? !fs::exists(w[1]) : get(w[1]) == w[2];
        if (op == "link") fs::create_symlink(w[1], w[2]);
        if (op == "put") put(w[1], w[2], 0644, geteuid());
        if (op == "islink") good = fs::is_symlink(w[1]);
        if (op == "count") good = listing().size() == std::stoul(w[1]);
        if (op == "remove") fs::remove(w[1]);
        if (op == "folders") folders();
        if (op == "temporaries") safe_file_tmpfile = w[1] == "unnamed";
        if (op == "renames") safe_file_noreplace = w[1] == "noreplace";
        if (op == "draw") {
            drawn.assign(w.begin() + 1, w.end());
            safe_file_temp_name = [] {
                std::string next = drawn.front();
                drawn.erase(drawn.begin());
                return next;
            };
        }
        if (op == "drawn") good = drawn.empty();
        if (op == "draw-always") {
            always = w[1], draws = 0;
            safe_file_temp_name = [] { return ++draws, always; };
        }
        if (op == "draws") good = draws == std::stoi(w[1]), draws = 0;
        if (op == "draw-random") safe_file_temp_name = original_name;
        for (int i = 0; op == "drop" && i < std::stoi(w[1]); ++i) {
            good = good && f.open(w[2].c_str());
            f.discard();
        }
        for (int i = 0; op == "hold" && i < std::stoi(w[1]); ++i)
            good = held.emplace_back().open(w[2].c_str()) && good;
        if (op == "release") held.clear();
        if (op == "stdin" && w[1] == "closed") in = dup(0), close(0);
        if (op == "stdin" && w[1] == "back") dup2(in, 0), close(in);
        if (op == "descriptors" && w[1] == "mark") descriptors = open_descriptors();
        if (op == "descriptors" && w[1] == "same") good = open_descriptors() == descriptors;
        if (op == "fill") write_file(w[1], Bytes(std::stoul(w[2]), 0x5A));
        if (op == "limit" && w[1] == "none") limit.reset();
        if (op == "limit" && w[1] != "none") limit.emplace(std::stoul(w[1]));
        if (op == "xfw") {  // the container of raw.bin written to PATH
            Console con;
            const int r = Q5_create_xfw("raw.bin", path, 1, 5, 1, "NV-52", -1, 12);
            good = ok ? r == 0
                      : r == -1 && con.out().ends_with("Writing file " + w[1] +
                                                       "...Error creating file:" + w[1] + "!\n");
        }
        if (op == "size") good = fs::file_size(w[1]) == std::stoul(w[2]);
        if (op == "spectrum") {  // the event spectrum(MUL), and the line it prints
            Console con;
            const int32_t mul = std::stoi(w[1]);
            good = Q8_event_spectrum_data(7, nullptr, spectrum(mul).data(), 0) == 0 &&
                   con.out() == "spectrum(1024) " + std::to_string(uint16_t(mul)) + " received.\n";
        }
        if (op == "has-spectrum") good = text(get(w[1])) == spectrum_text(std::stoi(w[2]));
        if (op == "entries")
            good = std::distance(fs::directory_iterator("."), {}) == std::stol(w[1]);
        if (op == "isdir") good = fs::is_directory(w[1]);
        if (op == "chmod") chmod(w[1].c_str(), std::stoul(w[2], nullptr, 8));
        if (op == "upload")  // as user nobody, so that root too is held to the permissions
            good = write_as(geteuid() ? Who::self : Who::nobody, true, Op::upload,
                            dir + "/" + w[1]) == 0;
        if (op == "mkdir") fs::create_directories(w[1]);
        if (op == "interrupt") {  // the writer of w/fw.xfw, held (see hold), ends by SIG
            const int sig = w[1] == "TERM" ? SIGTERM : w[1] == "INT" ? SIGINT : SIGHUP;
            struct sigaction now {};
            sigaction(sig, nullptr, &now);
            if (now.sa_handler == SIG_IGN) {  // under nohup: the writer leaves it ignored
                ignored += " " + w[1];
                continue;
            }
            int p[2];
            ASSERT_EQ(pipe(p), 0);
            const pid_t pid = fork();
            if (pid == 0) {
                hold_pipe = p[1];
                Q5_local_now = hold;
                Console con;
                Q5_create_xfw("raw.bin", "w/fw.xfw", 1, 5, 1, "NV-52", -1, 12);
                _exit(5);
            }
            close(p[1]);
            char byte = 0;
            // Named, the temporary is there to be removed; unnamed, nothing is in the folder yet.
            good = read(p[0], &byte, 1) == 1 && listing().size() == (safe_file_tmpfile ? 1u : 2u);
            close(p[0]);
            kill(pid, sig);
            const int status = proc::status_of(pid);
            good = good && WIFSIGNALED(status) && WTERMSIG(status) == sig;
        }
        if (op == "abandon") {
            SafeFile g;
            good = g.open(path) && g.write(w[2].data(), w[2].size());
        }
        EXPECT_TRUE(good);
    }
    safe_file_temp_name = original_name;
    safe_file_tmpfile = true;
    safe_file_before_rename = nullptr;
    safe_file_noreplace = true;
    if (!ignored.empty()) GTEST_SKIP() << "ignored here, not tried:" << ignored;
}

// Under nohup a writer leaves SIGHUP ignored: the handler that removes the temporary and then
// lets the signal end the program goes only over a signal that would end it. An empty name is
// no file (ENOENT); a name ending in a slash is a folder (EISDIR).
TEST(SafeFileEdges, AnIgnoredSignalStaysIgnoredAndAnEmptyNameIsNoFile) {
    char dir[] = "/tmp/nv-safe-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string target = std::string(dir) + "/f";
    const pid_t pid = fork();
    if (pid == 0) {  // a process of its own: the handlers go in with its first temporary name
        signal(SIGHUP, SIG_IGN);
        signal(SIGTERM, SIG_DFL);
        safe_file_tmpfile = false;
        SafeFile f;
        const bool opened = f.open(target.c_str());
        struct sigaction hup {
        }, term{};
        sigaction(SIGHUP, nullptr, &hup);
        sigaction(SIGTERM, nullptr, &term);
        _exit(!opened ? 2 : hup.sa_handler != SIG_IGN ? 3 : term.sa_handler == SIG_DFL ? 4 : 0);
    }
    EXPECT_EQ(proc::status_of(pid), 0)
        << "2: not opened, 3: SIGHUP no longer ignored, 4: SIGTERM not handled";
    SafeFile f;
    EXPECT_FALSE(f.open(""));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(f.open((std::string(dir) + "/").c_str()));
    EXPECT_EQ(errno, EISDIR);
    rmdir(dir);
}

}  // namespace
