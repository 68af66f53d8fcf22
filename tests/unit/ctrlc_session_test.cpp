// The client's copy of the daemon's output when its peers fall silent.
#include "remote/ctrlc_session.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "util/posix.hpp"
#include "util/timeutil.hpp"

TEST(CtrlcTransfer, SilentPeersEndTheCopyAfterTheIdlePasses) {
    auto content = [](FILE* f) {
        std::rewind(f);
        char buf[64] = {};
        return std::string(buf, std::fread(buf, 1, sizeof buf, f));
    };
    int s1[2], s2[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s1), 0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s2), 0);
    posix::UniqueFd a1(s1[0]), b1(s1[1]), a2(s2[0]), b2(s2[1]);
    posix::write_all(b1.get(), "out-data");
    posix::write_all(b2.get(), "err-data");
    fd_stdout = std::tmpfile();
    fd_stderr = std::tmpfile();
    int sleeps = 0;
    set_sleeper([&](long) { ++sleeps; });
    ctrlc_set_idle_pass_limit(2);
    str_log log;
    auto t0 = std::chrono::steady_clock::now();
    STDOUT_STDERR_transfer(a1.get(), a2.get(), log, 1);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    ctrlc_set_idle_pass_limit(0);
    set_sleeper({});
    // Two passes of one second each, a pause after every one.
    EXPECT_EQ(sleeps, 2);
    EXPECT_LT(ms.count(), 4500);
    EXPECT_EQ(content(fd_stdout), "out-data");
    EXPECT_EQ(content(fd_stderr), "err-data");
    std::fclose(fd_stdout);
    std::fclose(fd_stderr);
    fd_stdout = fd_stderr = nullptr;
}
