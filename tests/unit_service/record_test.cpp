// The service record's file: opened for appending under the link rules of every file we write,
// whole records appended by many writers at once, a write that falls short taken back, and
// history read from it.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <map>
#include <set>
#include <sstream>

#include "process.h"
#include "safe_file.h"
#include "svc_json.h"
#include "svc_options.h"
#include "svc_record.h"
#include "svc_sys.h"

namespace {

using proc::read_file, proc::write_file;

constexpr uid_t NOBODY = 65534;

// Appends `text` through safe_file_append; the errno of a refusal, else 0.
int append(const std::string& path, const std::string& text) {
    const int fd = safe_file_append(path.c_str());
    if (fd < 0) return errno;
    const bool ok = svc_append(fd, text);
    svc_close(fd);
    return ok ? 0 : -1;
}

TEST(ServiceRecordFile, OpensOnlyWhatTheLinkRulesAllow) {
    proc::TempDir dir;
    const std::string file = dir.file("service.jsonl");
    EXPECT_EQ(append(file, "one\n"), 0);  // made when missing
    EXPECT_EQ(append(file, "two\n"), 0);  // appended to after that
    EXPECT_EQ(read_file(file), "one\ntwo\n");
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
    // A link of this user's is followed, a dangling one makes its file.
    ASSERT_EQ(symlink(file.c_str(), dir.file("mine").c_str()), 0);
    EXPECT_EQ(append(dir.file("mine"), "three\n"), 0);
    EXPECT_EQ(read_file(file), "one\ntwo\nthree\n");
    ASSERT_EQ(symlink("made.jsonl", dir.file("dangling").c_str()), 0);
    EXPECT_EQ(append(dir.file("dangling"), "x\n"), 0);
    EXPECT_EQ(read_file(dir.file("made.jsonl")), "x\n");
    // Never a folder, a FIFO or a device; no folder that is not there.
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(append(dir.file("fifo"), "x\n"), EINVAL);
    EXPECT_EQ(append(dir.path(), "x\n"), EISDIR);
    EXPECT_EQ(append("/dev/null", "x\n"), EINVAL);
    EXPECT_EQ(append(dir.file("none/service.jsonl"), "x\n"), ENOENT);
}

// Root in a world-writable sticky folder must not append where another user's link points.
TEST(ServiceRecordFile, AnotherUsersLinkInASharedFolderIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "planting another user's link needs root";
    proc::TempDir dir;
    const std::string shared = dir.file("shared"), target = dir.file("precious");
    ASSERT_EQ(mkdir(shared.c_str(), 01777), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    write_file(target, "earlier record\n");
    const std::string link = shared + "/service.jsonl";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(lchown(link.c_str(), NOBODY, NOBODY), 0);
    EXPECT_EQ(append(link, "x\n"), EACCES);
    EXPECT_EQ(read_file(target), "earlier record\n");
    // The same link of root's own is followed.
    ASSERT_EQ(lchown(link.c_str(), 0, 0), 0);
    EXPECT_EQ(append(link, "x\n"), 0);
    EXPECT_EQ(read_file(target), "earlier record\nx\n");
}

// Several processes append records far larger than a pipe's atomic write, at once, to one file:
// every record comes out whole on a line of its own, none lost.
TEST(ServiceRecordFile, WritersAtOnceNeverInterleave) {
    proc::TempDir dir;
    const std::string file = dir.file("service.jsonl");
    constexpr int WRITERS = 4, RECORDS = 60;
    std::vector<pid_t> children;
    for (int w = 0; w < WRITERS; ++w) {
        const pid_t pid = fork();
        if (pid == 0) {
            for (int i = 0; i < RECORDS; ++i) {
                const std::string body(20000 + 997 * i % 9000, static_cast<char>('a' + w));
                if (append(file, std::to_string(w) + " " + std::to_string(i) + " " + body + "\n"))
                    _exit(1);
            }
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) EXPECT_EQ(proc::status_of(pid), 0);
    std::istringstream in(read_file(file));
    std::set<std::string> seen;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        int w = -1, i = -1;
        std::string body;
        words >> w >> i >> body;
        ASSERT_TRUE(w >= 0 && w < WRITERS && i >= 0 && i < RECORDS) << line.substr(0, 40);
        EXPECT_EQ(body, std::string(20000 + 997 * i % 9000, static_cast<char>('a' + w)));
        EXPECT_TRUE(seen.insert(std::to_string(w) + " " + std::to_string(i)).second);
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(WRITERS * RECORDS));
}

// A record that does not fit (a full disk; here the process's file size limit) is taken back:
// the file ends with the earlier records, whole.
TEST(ServiceRecordFile, ARecordThatDoesNotFitIsTakenBack) {
    proc::TempDir dir;
    const std::string file = dir.file("service.jsonl");
    write_file(file, "{\"earlier\":1}\n{\"earlier\":2}\n");
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);  // the write then fails with EFBIG instead
        const rlimit limit{40, 40};
        setrlimit(RLIMIT_FSIZE, &limit);
        const int fd = safe_file_append(file.c_str());
        const bool ok = svc_append(fd, "{\"new\":\"" + std::string(100, 'x') + "\"}\n");
        _exit(ok ? 1 : errno == EFBIG ? 0 : 2);
    }
    EXPECT_EQ(proc::status_of(pid), 0);
    EXPECT_EQ(read_file(file), "{\"earlier\":1}\n{\"earlier\":2}\n");
}

TEST(ServiceHistory, RecordsOfOneInstrumentOrAll) {
    const std::string record = NV_SOURCE_DIR "/tests/unit_service/data/history.jsonl";
    const std::string skipped =
        "nv-service: 3 line(s) of " + record + " are no records and were skipped\n";
    std::map<std::string, std::string> cases;  // serial ("*": all) -> what is printed
    std::string* current = nullptr;
    for (const auto& [n, line] :
         proc::data_lines(NV_SOURCE_DIR "/tests/unit_service/data/history.txt")) {
        if (line.rfind("serial ", 0) == 0)
            current = &cases[line.substr(7)];
        else if (current != nullptr)
            *current += line.substr(2) + "\n";
    }
    ASSERT_EQ(cases.size(), 2u);
    for (const auto& [serial, lines] : cases) {
        std::vector<std::string> args = {NV_SERVICE_BIN, "history", "--record", record};
        if (serial != "*") args.push_back(serial);
        const auto r = proc::run(args);
        EXPECT_EQ(r.output, lines + skipped) << serial;
        EXPECT_EQ(r.exit_code, SVC_OK) << serial;
    }
    auto none = proc::run({NV_SERVICE_BIN, "history", "--record", record, "C7777777"});
    EXPECT_EQ(none.exit_code, SVC_NOT_FOUND);
    EXPECT_EQ(none.output, skipped + "nv-service: no record of C7777777 in " + record + "\n");
    auto json = proc::run({NV_SERVICE_BIN, "history", "--json", "--record", record, "C0001235"});
    std::istringstream out(json.output);
    std::vector<std::string> devices;
    for (std::string line; std::getline(out, line);) {
        if (line.rfind("nv-service: ", 0) == 0) continue;
        json_value v;
        ASSERT_TRUE(json_read(line, &v)) << line;
        EXPECT_EQ(v.text("serial"), "C0001235");
        devices.push_back(v.text("time"));
    }
    EXPECT_EQ(devices, (std::vector<std::string>{"2026-12-07T08:00:00Z", "2026-12-07T09:00:00Z"}));
    proc::TempDir dir;
    write_file(dir.file("one.jsonl"), "{\"serial\":\"C1\",\"exit_code\":0}\n{\"cut\n");
    EXPECT_EQ(
        proc::run({NV_SERVICE_BIN, "history", "--record", dir.file("one.jsonl"), "C2"}).output,
        "nv-service: 1 line(s) of " + dir.file("one.jsonl") +
            " are no records and were skipped\nnv-service: no record of C2 in " +
            dir.file("one.jsonl") + "\n");
    auto missing = proc::run({NV_SERVICE_BIN, "history", "--record", dir.file("nothing")});
    EXPECT_EQ(missing.exit_code, SVC_FILE);
    EXPECT_EQ(missing.output, "nv-service: cannot read the service record " + dir.file("nothing") +
                                  ": No such file or directory\n");
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(proc::run({NV_SERVICE_BIN, "history", "--record", dir.file("fifo")}).output,
              "nv-service: cannot read the service record " + dir.file("fifo") +
                  ": not a regular file\n");
}

}  // namespace
