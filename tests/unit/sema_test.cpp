#include "config/sema.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "exec/child.hpp"
#include "installation_env.hpp"
#include "util/posix.hpp"

using testsupport::read_file;
using testsupport::write_file;

namespace {

SCT_SEMA sema(const std::string& name, const std::string& caller = "test") {
    SCT_SEMA s;
    s.szSema = name;
    s.szCaller = caller;
    return s;
}

}  // namespace

TEST(Sema, TakeReleaseInquireAndHolders) {
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
    EXPECT_EQ(i_SEMA('-', &s, {}), 1);
    EXPECT_EQ(i_SEMA('?', &s, {}), 0);
    EXPECT_EQ(s.szMsg, "semaphore job is free");
    EXPECT_EQ(i_SEMA('x', &s, {}), 0);
    EXPECT_EQ(s.szMsg, "error: invalid argument x");

    // Another process holds "busy" until it is killed.
    exec::SpawnOptions opt;
    opt.out = exec::Stdio::pipe();
    exec::Child holder = exec::Child::call(
        [] {
            SCT_SEMA h = sema("busy", "holder job");
            if (i_SEMA('+', &h, {}) != 1 || ::write(1, "x", 1) != 1) return 1;
            for (;;) ::pause();
        },
        opt);
    char c;
    ASSERT_TRUE(holder.started() && posix::read_some(holder.out().get(), &c, 1) == 1);
    const std::string record = std::to_string(holder.pid()) + " holder job";
    s = sema("busy");
    EXPECT_EQ(i_SEMA('*', &s, {}), 0);
    EXPECT_EQ(s.szMsg, "another process " + record + " is holding semaphore busy");
    EXPECT_EQ(s.hSema, 0);
    holder = exec::Child();                                  // killed and reaped
    EXPECT_EQ(read_file(env.work("sem/busy.sem")), record);  // stale record ...
    EXPECT_EQ(i_SEMA('?', &s, {}), 0);                       // ... cleared on inquiry
    EXPECT_EQ(read_file(env.work("sem/busy.sem")), "");
    EXPECT_EQ(i_SEMA('*', &s, {}), 1);
}

TEST(Sema, NoLostUpdatesAcrossProcesses) {
    InstallationEnv env;
    const std::string counter = env.work("counter");
    write_file(counter, "0");
    std::vector<exec::Child> kids;
    for (int p = 0; p < 3; ++p)
        kids.push_back(exec::Child::call([&] {
            for (int i = 0; i < 100; ++i) {
                SCT_SEMA s = sema("counter");
                i_SEMA('+', &s, {});
                write_file(counter, std::to_string(std::atoi(read_file(counter).c_str()) + 1));
                i_SEMA('-', &s, {});
            }
            return 0;
        }));
    for (exec::Child& k : kids) {
        int st = -1;
        EXPECT_TRUE(k.wait(st) && WIFEXITED(st) && WEXITSTATUS(st) == 0);
    }
    EXPECT_EQ(read_file(counter), "300");
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
