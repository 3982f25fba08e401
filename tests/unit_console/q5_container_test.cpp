// The container writer on a file shorter than it says, and the upload of a data area the system
// will not hold. (The images, the header's fields, the interactive forms and refusals:
// data/q5_container.txt; the upload: data/q5_upload.txt.)
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>

#include "fixture.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define Q5_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define Q5_TEST_SANITIZED 1
#endif
#endif

namespace {

using Container = Linked;

// A file that ends before the length it states, as the files under /sys do, fails mid-read.
TEST_F(Container, AFileShorterThanItSaysFailsMidRead) {
    const char* short_file = "/sys/devices/system/cpu/online";
    if (!std::filesystem::exists(short_file)) GTEST_SKIP() << short_file << " is not there";
    Console con;
    EXPECT_EQ(Q5_create_xfw(short_file, "fw.xfw", 1, 5, 1, "NV-52", -1, 12), -1);
    EXPECT_EQ(con.out(), std::string("Reading file ") + short_file +
                             "...Error loading file:" + short_file + "!\n");
    EXPECT_FALSE(std::filesystem::exists("fw.xfw"));
}

// A data area the system will not hold is reported like an unreadable file and nothing is sent.
// Run in a child whose address space is capped; the sanitizers need more than the cap leaves.
TEST_F(Container, UploadOfAnAreaTooLargeForMemory) {
#ifdef Q5_TEST_SANITIZED
    GTEST_SKIP() << "the sanitizers reserve more address space than the cap leaves";
#endif
    Bytes header(72, 0);
    put_u32le(&header[44], 12);  // the device type; a size of 0 and no checksums
    write_file("fw.xfw", header);
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
