// The dispatcher in process: what it shows of a command, its asynchronous
// form, and the external control client's failures.
#include "remote/remote_cmd.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "installation_env.hpp"
#include "remote/ctrld_access.hpp"
#include "remote/ssh_access.hpp"
#include "util/posix.hpp"

using testsupport::read_file;

namespace {
constexpr auto npos = std::string::npos;
}

TEST(RemoteCmd, ShownTextStandsForTheCommandInProtocolTraceAndMessage) {
    InstallationEnv env;
    str_log log;
    log.iFlg = 1;
    log.szFile = env.sb.path("rw/lgc/remote_cmd.lgc");
    const std::string cmd = "false pw=S3CRET", shown = "false pw=*****", out = env.work("out");
    std::string msg = cmd;
    EXPECT_EQ(REMOTE_CMD("LOCAL|" + out, msg, 1, log, shown), 0);
    EXPECT_EQ(msg, shown);
    EXPECT_TRUE(env.sb.prot_has("E014-HOSTS", "RemoteCmd LOCAL > error: " + shown));
    // The roads to a node that does not answer (nobody listens on port 1).
    std::string opt = "-p 1 -o BatchMode=yes -o ConnectTimeout=2", amsg;
    EXPECT_NE(iSshAccess("127.0.0.1", opt, "UNIX", cmd, "/dev/null", out, out, amsg, 5, log, shown), 0);
    EXPECT_EQ(amsg.find("S3CRET"), npos) << amsg;
    opt = "-p 1";
    EXPECT_NE(iCtrldAccess("127.0.0.1", opt, "UNIX", cmd, 5, "/dev/null", out, out, amsg, log, shown), 0);
    EXPECT_EQ(amsg.find("S3CRET"), npos) << amsg;
    EXPECT_TRUE(env.sb.prot_has("I003-BASICS", "ssh -l root"));
    EXPECT_TRUE(env.sb.prot_has("I003-BASICS", "CTRLC_LIB_CALL: 127.0.0.1"));
    EXPECT_EQ(env.sb.protocol().find("S3CRET"), npos) << env.sb.protocol();
    EXPECT_EQ(read_file(log.szFile).find("S3CRET"), npos);
}

TEST(RemoteCmd, AsyncReturnsAtOnceAndItsChildLeavesTheAnswer) {
    InstallationEnv env;
    str_log log;
    const std::string out = env.work("async.out");
    std::string cmd = "sleep 2; echo done";
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(i_ASYNC_REMOTE_CMD("LOCAL|" + out, cmd, log), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1900));
    // The message is the pid of the child that runs it; it ends as a run command does.
    const pid_t pid = std::atoi(cmd.c_str());
    ASSERT_GT(pid, 0) << cmd;
    int st = 0;
    ASSERT_EQ(posix::retry_eintr([&] { return ::waitpid(pid, &st, 0); }), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << st;
    EXPECT_EQ(read_file(out), "done\n");
}

TEST(RemoteCmd, ExternalControlClientThatCannotStartIsNamed) {
    InstallationEnv env;
    const std::string bin = env.sb.path("fakebin");
    ASSERT_EQ(::mkdir(bin.c_str(), 0755), 0);
    testsupport::write_file(bin + "/sm_ctrlc", "#!/bin/sh\nexit 130\n");
    ASSERT_EQ(::chmod((bin + "/sm_ctrlc").c_str(), 0755), 0);
    ::setenv("PATH", (bin + ":" + std::getenv("PATH")).c_str(), 1);
    str_log log;
    std::string msg;
    EXPECT_EQ(
        iCtrldCmd("127.0.0.1", "-p 1", "", "root", "true", "", env.work("o"), env.work("o"), msg, 5, log),
        130);
    EXPECT_EQ(msg, "probably sm_ctrlc could not start: iCtrldCmd (child): " + posix::errtext(2) + " (2)");
}
