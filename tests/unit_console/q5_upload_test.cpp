// The upload of a data area the system will not hold. (Blocks, fill, repeats, the containers
// refused: data/q5_upload.txt; the flash request: data/q5_commands.txt.)
#include <sys/resource.h>
#include <sys/wait.h>

#include "q5_support.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define Q5_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define Q5_TEST_SANITIZED 1
#endif
#endif

namespace {

using Upload = Linked;

// A data area the system will not hold is reported like an unreadable file and nothing is sent.
// Run in a child whose address space is capped; the sanitizers need more than the cap leaves.
TEST_F(Upload, DataAreaTooLargeForMemory) {
#ifdef Q5_TEST_SANITIZED
    GTEST_SKIP() << "the sanitizers reserve more address space than the cap leaves";
#endif
    write_file("fw.xfw", q5test::Header().bytes());
    std::filesystem::resize_file("fw.xfw", 72 + 2000000000ull);
    pid_t pid = fork();
    if (pid == 0) {
        unsigned long pages = 0;
        FILE* statm = fopen("/proc/self/statm", "r");
        if (statm == nullptr || fscanf(statm, "%lu", &pages) != 1) _exit(99);
        fclose(statm);
        const rlim_t cap = pages * sysconf(_SC_PAGESIZE) + (rlim_t{512} << 20);
        rlimit limit{cap, cap};
        if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(98);
        Console con("\n");
        std::string line = "up\n";
        const int r = Q5_cmd_upload_xfw(line.data(), "fw.xfw", 12, -1);
        _exit(r == -1 &&
                      con.out() ==
                          "Enter XFW file name[fw.xfw]:Reading file fw.xfw...Error loading "
                          "file:fw.xfw!\n" &&
                      fake_qxx::st().calls.empty()
                  ? 0
                  : 1);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
