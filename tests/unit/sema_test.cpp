#include "config/sema.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "installation_env.hpp"

using testsupport::read_file;
using testsupport::write_file;

namespace {

SCT_SEMA sema(const std::string& name, const std::string& caller = "test") {
    SCT_SEMA s;
    s.szSema = name;
    s.szCaller = caller;
    return s;
}

// A child that takes the semaphore, tells us, and waits to be killed.
pid_t spawn_holder(const std::string& name) {
    int p[2];
    if (::pipe(p) != 0) return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        SCT_SEMA s = sema(name, "holder job");
        char c = 'x';
        if (i_SEMA('+', &s, {}) != 1 || ::write(p[1], &c, 1) != 1) ::_exit(1);
        for (;;) ::pause();
    }
    ::close(p[1]);
    char c;
    if (::read(p[0], &c, 1) != 1) pid = -1;
    ::close(p[0]);
    return pid;
}

}  // namespace

TEST(Sema, TakeReleaseAndInquire) {
    InstallationEnv env;
    const std::string file = env.work("sem/job.sem");
    SCT_SEMA s = sema("job", "caller text");
    ASSERT_EQ(i_SEMA('S', &s, {}), 1);  // creates the missing directory
    EXPECT_EQ(read_file(file), std::to_string(::getpid()) + " caller text");
    EXPECT_TRUE(::fcntl(s.hSema, F_GETFD) & FD_CLOEXEC);
    struct stat dir {
    }, st{};
    ASSERT_EQ(::stat(env.work("sem").c_str(), &dir) | ::stat(file.c_str(), &st), 0);
    EXPECT_EQ(dir.st_mode & 0002, 0u);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    EXPECT_EQ(i_SEMA('R', &s, {}), 1);
    EXPECT_EQ(s.hSema, 0);
    EXPECT_EQ(read_file(file), "");
    SCT_SEMA other = sema("job");
    EXPECT_EQ(i_SEMA('-', &other, {}), 1);
    EXPECT_EQ(i_SEMA('?', &other, {}), 0);
    EXPECT_EQ(other.szMsg, "semaphore job is free");
    EXPECT_EQ(i_SEMA('x', &other, {}), 0);
    EXPECT_EQ(other.szMsg, "error: invalid argument x");
}

TEST(Sema, OccupiedNamesHolderAndKilledHolderNeverBlocks) {
    InstallationEnv env;
    pid_t holder = spawn_holder("busy");
    ASSERT_GT(holder, 0);
    const std::string record = std::to_string(holder) + " holder job";
    SCT_SEMA s = sema("busy");
    EXPECT_EQ(i_SEMA('*', &s, {}), 0);
    EXPECT_EQ(s.szMsg, "another process " + record + " is holding semaphore busy");
    EXPECT_EQ(s.hSema, 0);

    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(read_file(env.work("sem/busy.sem")), record);  // stale record ...
    EXPECT_EQ(i_SEMA('?', &s, {}), 0);                       // ... cleared on inquiry
    EXPECT_EQ(read_file(env.work("sem/busy.sem")), "");
    EXPECT_EQ(i_SEMA('*', &s, {}), 1);
}

TEST(Sema, NoLostUpdatesAcrossProcesses) {
    InstallationEnv env;
    const std::string counter = env.work("counter");
    write_file(counter, "0");
    constexpr int kProcs = 8, kRounds = 500;
    std::vector<pid_t> kids;
    for (int p = 0; p < kProcs; ++p) {
        pid_t pid = ::fork();
        if (pid == 0) {
            for (int i = 0; i < kRounds; ++i) {
                SCT_SEMA s = sema("counter");
                i_SEMA('+', &s, {});
                FILE* f = std::fopen(counter.c_str(), "r+");
                long v = 0;
                if (!f || std::fscanf(f, "%ld", &v) != 1) ::_exit(2);
                std::rewind(f);
                std::fprintf(f, "%ld", v + 1);
                std::fclose(f);
                i_SEMA('-', &s, {});
            }
            ::_exit(0);
        }
        kids.push_back(pid);
    }
    for (pid_t k : kids) {
        int st = -1;
        ::waitpid(k, &st, 0);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    }
    EXPECT_EQ(read_file(counter), std::to_string(kProcs * kRounds));
}

TEST(SemaDeathTest, PlantedLinksAndFifosAreRefused) {
    InstallationEnv env;
    ASSERT_EQ(::mkdir(env.work("sem").c_str(), 0775), 0);
    write_file(env.work("victim"), "precious");
    ASSERT_EQ(::symlink(env.work("victim").c_str(), env.work("sem/evil.sem").c_str()), 0);
    ASSERT_EQ(::mkfifo(env.work("sem/fifo.sem").c_str(), 0644), 0);
    SCT_SEMA evil = sema("evil"), fifo = sema("fifo");
    EXPECT_EXIT(i_SEMA('+', &evil, {}), testing::ExitedWithCode(3), "");
    EXPECT_EXIT(i_SEMA('+', &fifo, {}), testing::ExitedWithCode(3), "");  // no hang on open
    EXPECT_EQ(read_file(env.work("victim")), "precious");
}
