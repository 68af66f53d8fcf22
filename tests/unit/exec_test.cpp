#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>

#include "exec/pipe.hpp"
#include "exec/system.hpp"
#include "installation_env.hpp"
#include "util/posix.hpp"

using testsupport::exists;
using testsupport::read_file;
using testsupport::write_file;

namespace {

struct Outcome {
    int rc;
    std::string buffer, err;
};

Outcome system_of(std::string cmd) {
    testing::internal::CaptureStderr();
    int rc = start_system(cmd);
    return {rc, cmd, testing::internal::GetCapturedStderr()};
}

bool has(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

}  // namespace

TEST(StartSystem, StatusDecoding) {
    InstallationEnv env;
    const std::string enoent = posix::errtext(ENOENT), e2big = posix::errtext(E2BIG);
    struct Case {
        std::string cmd;
        int rc;
        std::string buffer, err;
        int e008;
    } cases[] = {
        {"exit 3", 3, "exit 3", "", 0},
        {"no_such_program_xyz", 127, "could not start: please check" + enoent,
         "start_system: please check: " + enoent + " (2)", 1},
        // The shell survives its child and reports 128+9.
        {"sh -c 'kill -9 $$'; st=$?; exit $st", 137,
         "terminated due to receipt of a signal that was not caught: 9", "", 1},
        // The shell itself killed: 0, but two messages and the signal text.
        {"kill -9 $$", 0, "/bin/sh terminated due to receipt of a signal that was not caught: 9",
         "/bin/sh terminated abnormally 0...", 2},
        // An argument beyond the kernel's limit: the shell cannot even start.
        {"true " + std::string(200000, 'a'), 160 + E2BIG, "could not start: " + e2big,
         "start_system (child): " + e2big + " (7)", 1},
    };
    for (const Case& c : cases) {
        const int before = env.protocol_count("E008");
        Outcome o = system_of(c.cmd);
        EXPECT_EQ(o.rc, c.rc) << c.cmd.substr(0, 40);
        EXPECT_EQ(o.buffer, c.buffer) << c.cmd.substr(0, 40);
        EXPECT_TRUE(has(o.err, c.err)) << o.err.substr(0, 200);
        EXPECT_EQ(env.protocol_count("E008"), before + c.e008) << c.cmd.substr(0, 40);
    }
}

TEST(StartSystem, FailingWaitEndsWith127) {
    InstallationEnv env;
    // With SIGCHLD ignored the kernel reaps the child itself and every wait fails.
    struct sigaction ign {
    }, old{};
    ign.sa_handler = SIG_IGN;
    ::sigaction(SIGCHLD, &ign, &old);
    Outcome o = system_of("true");
    ::sigaction(SIGCHLD, &old, nullptr);
    EXPECT_EQ(o.rc, 127);
    EXPECT_TRUE(has(o.err, "start_system: no child to wait for! "));
    EXPECT_EQ(env.protocol_count("no child to wait for: "), 1);
}

TEST(CmSystem, KeepsCommandAndReportsStoppedChild) {
    InstallationEnv env;
    testing::internal::CaptureStderr();
    EXPECT_EQ(i_cm_system("no_such_program_xyz"), 127);
    const std::string pidfile = env.work("pid");
    EXPECT_EQ(i_cm_system("echo $$ > " + pidfile + "; kill -STOP $$"), SIGSTOP);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(
        env.protocol_count("Error: start_system: no_such_program_xyz: could not start: please check it: "),
        1);
    pid_t pid = std::stoi(read_file(pidfile));
    ::kill(pid, SIGKILL);
    EXPECT_EQ(::waitpid(pid, nullptr, 0), pid);  // still our child, reaped here
}

TEST(StartSystemTee, OutputFormsAndExitStatusFile) {
    InstallationEnv env;
    const std::string out = env.work("out"), errf = env.work("err"), in = env.work("in");
    write_file(in, "from input\n");
    // Redirections bind to the last simple command: give the shell one.
    std::string cmd = "sh -c 'cat; echo to-err >&2'";
    testing::internal::CaptureStderr();
    EXPECT_EQ(start_system_tee(cmd, in, out, errf, {}), 0);
    EXPECT_TRUE(has(testing::internal::GetCapturedStderr(), "to-err"));
    EXPECT_EQ(read_file(out), "from input\n");
    EXPECT_EQ(read_file(errf), "to-err\n");

    cmd = "sh -c 'echo second; exit 5'";
    EXPECT_EQ(start_system_tee(cmd, "", out, errf, {}), 5);
    EXPECT_EQ(read_file(out), "from input\nsecond\n");
    EXPECT_FALSE(exists(out + ".err"));

    cmd = "sh -c 'kill -9 $$'";
    testing::internal::CaptureStderr();
    EXPECT_EQ(start_system_tee(cmd, "", out, errf, {}), 137);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(cmd, "terminated due to receipt of a signal that was not caught: 9");

    cmd = "exit 4";  // to standard output: no exit status file, so 0
    EXPECT_EQ(start_system_tee(cmd, "", "-", env.work("e"), {}), 0);
    env.sb.set_var("gv_start_system_without_tee", "1");
    cmd = "sh -c 'echo O; echo E >&2; exit 6'";
    EXPECT_EQ(start_system_tee(cmd, "", env.work("o"), env.work("e2"), {}), 0);
    EXPECT_EQ(read_file(env.work("o")), "O\n");
    EXPECT_EQ(read_file(env.work("e2")), "E\n");
}

TEST(CommandPipe, LinesDollarsAndStatus) {
    const std::string dollars(25, '$');
    std::string cmd = "printf 'one\\n'; echo \"$HOME $(x) " + dollars + "\"; exit 3";
    DB_PROC_PIP pp;
    ASSERT_EQ(iPIPE_OPEN(cmd, &pp), 1);
    std::string line;
    EXPECT_EQ(iPIPE_READ(&pp, line, 512), 4);
    EXPECT_EQ(line, "one\n");
    EXPECT_EQ(iPIPE_READ(&pp, line, 6), 5);  // cut at iMaxLen - 1
    EXPECT_EQ(line, "$HOME");
    iPIPE_READ(&pp, line, 512);
    EXPECT_EQ(line, " $(x) " + dollars + "\n");
    EXPECT_EQ(iPIPE_READ(&pp, line, 512), 0);
    EXPECT_EQ(iPIPE_CLOSE(&pp), 3 << 8);

    // A shell that cannot start reads as empty output and ends with 160+errno.
    cmd = "true " + std::string(200000, 'a');
    testing::internal::CaptureStderr();
    ASSERT_EQ(iPIPE_OPEN(cmd, &pp), 1);
    EXPECT_TRUE(
        has(testing::internal::GetCapturedStderr(), "start_system (child): " + posix::errtext(E2BIG)));
    EXPECT_EQ(iPIPE_READ(&pp, line, 512), 0);
    EXPECT_EQ(iPIPE_CLOSE(&pp), (160 + E2BIG) << 8);
}
