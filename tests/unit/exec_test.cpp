#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "exec/pipe.hpp"
#include "exec/system.hpp"
#include "installation_env.hpp"
#include "util/posix.hpp"

using testsupport::exists;
using testsupport::read_file;
using testsupport::write_file;

namespace {

const std::string kNoEnt = posix::errtext(ENOENT);

// Runs fn with stderr captured; returns what was written there.
template <class F>
std::string stderr_of(F fn) {
    testing::internal::CaptureStderr();
    fn();
    return testing::internal::GetCapturedStderr();
}

}  // namespace

TEST(StartSystem, ExitCodesAndFailureTexts) {
    InstallationEnv env;
    std::string cmd = "exit 3";
    EXPECT_EQ(start_system(cmd), 3);
    EXPECT_EQ(cmd, "exit 3");  // an ordinary failure leaves the command alone
    EXPECT_EQ(env.protocol_count("E008"), 0);

    cmd = "no_such_program_xyz";
    std::string err = stderr_of([&] { EXPECT_EQ(start_system(cmd), 127); });
    EXPECT_EQ(cmd, "could not start: please check" + kNoEnt);
    EXPECT_NE(err.find("start_system: please check: " + kNoEnt + " (2)"), std::string::npos);
    EXPECT_EQ(env.protocol_count("Error in command execution start_system: no_such_program_xyz: could not"), 1);

    // The shell survives and reports 128+9 for its child.
    cmd = "sh -c 'kill -9 $$'; st=$?; exit $st";
    err = stderr_of([&] { EXPECT_EQ(start_system(cmd), 137); });
    EXPECT_EQ(cmd, "terminated due to receipt of a signal that was not caught: 9");
    EXPECT_NE(err.find("exe terminated due to the receipt of a signal that was not caught: 9"), std::string::npos);
    EXPECT_EQ(env.protocol_count("E008"), 2);
}

TEST(StartSystem, ShellKilledBySignalYieldsZeroAndTwoMessages) {
    InstallationEnv env;
    std::string cmd = "kill -9 $$";
    std::string err = stderr_of([&] { EXPECT_EQ(start_system(cmd), 0); });
    EXPECT_EQ(cmd, "/bin/sh terminated due to receipt of a signal that was not caught: 9");
    EXPECT_NE(err.find("/bin/sh terminated abnormally 0..."), std::string::npos);
    EXPECT_EQ(env.protocol_count("E008"), 2);
    EXPECT_EQ(env.protocol_count("/bin/sh terminated abnormally"), 1);
}

TEST(StartSystem, WaitThatCannotSucceedEndsWith127) {
    InstallationEnv env;
    // With SIGCHLD ignored the kernel reaps the child itself: the wait
    // fails, and must not loop.
    struct sigaction ign {}, old {};
    ign.sa_handler = SIG_IGN;
    ::sigaction(SIGCHLD, &ign, &old);
    std::string cmd = "true";
    int rc;
    std::string err = stderr_of([&] { rc = start_system(cmd); });
    ::sigaction(SIGCHLD, &old, nullptr);
    EXPECT_EQ(rc, 127);
    EXPECT_NE(err.find("start_system: no child to wait for!"), std::string::npos);
    EXPECT_EQ(env.protocol_count("no child to wait for: "), 1);
}

TEST(StartSystem, ShellThatCannotStartReportsTheSystemError) {
    InstallationEnv env;
    // One argument beyond the kernel's limit makes the exec of the shell fail.
    std::string cmd = "true " + std::string(200000, 'a');
    std::string err = stderr_of([&] { EXPECT_EQ(start_system(cmd), 160 + E2BIG); });
    EXPECT_EQ(cmd, "could not start: " + posix::errtext(E2BIG));
    EXPECT_NE(err.find("start_system (child): " + posix::errtext(E2BIG)), std::string::npos);
    EXPECT_NE(err.find("start_system: " + posix::errtext(E2BIG) + " (7)"), std::string::npos);
    EXPECT_EQ(env.protocol_count("could not start: " + posix::errtext(E2BIG)), 1);
}

TEST(StartSystem, EnvironmentNotReadyRunsNothing) {
    InstallationEnv env;
    const std::string marker = env.work("ran");
    std::string cmd = "damisql; touch " + marker;  // a database command without OPENRDA_INI
    testing::internal::CaptureStdout();
    EXPECT_EQ(start_system(cmd), 999);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("error occured in i_setenv_zarvo"), std::string::npos);
    EXPECT_FALSE(exists(marker));
}

TEST(CmSystem, KeepsCommandAndReportsStoppedChild) {
    InstallationEnv env;
    const std::string cmd = "no_such_program_xyz";
    stderr_of([&] { EXPECT_EQ(i_cm_system(cmd), 127); });
    EXPECT_EQ(env.protocol_count("Error in command execution Error: start_system: no_such_program_xyz: could not start: please check it: " + kNoEnt),
              1);
    EXPECT_EQ(i_cm_system("exit 3"), 3);

    const std::string pidfile = env.work("pid");
    stderr_of([&] { EXPECT_EQ(i_cm_system("echo $$ > " + pidfile + "; kill -STOP $$"), SIGSTOP); });
    pid_t pid = std::stoi(read_file(pidfile));
    ::kill(pid, SIGKILL);
    int st;
    ASSERT_EQ(::waitpid(pid, &st, 0), pid);  // still our child: reaped here, no zombie
}

TEST(StartSystemTee, OutputFileStatusFileAndSignals) {
    InstallationEnv env;
    const std::string out = env.work("out"), errf = env.work("err"), in = env.work("in");
    write_file(in, "from input\n");

    // Redirections bind to the last simple command: give the shell one.
    std::string cmd = "sh -c 'cat; echo to-err >&2'";
    std::string err = stderr_of([&] { EXPECT_EQ(start_system_tee(cmd, in, out, errf, {}), 0); });
    EXPECT_EQ(read_file(out), "from input\n");
    EXPECT_EQ(read_file(errf), "to-err\n");
    EXPECT_NE(err.find("to-err"), std::string::npos);  // also on our own stderr
    EXPECT_FALSE(exists(out + ".err"));

    cmd = "sh -c 'echo second; exit 5'";
    stderr_of([&] { EXPECT_EQ(start_system_tee(cmd, "", out, errf, {}), 5); });
    EXPECT_EQ(read_file(out), "from input\nsecond\n");  // appended
    EXPECT_FALSE(exists(out + ".err"));                 // read and deleted
    EXPECT_EQ(cmd, "sh -c 'echo second; exit 5'");

    cmd = "sh -c 'kill -9 $$'";
    stderr_of([&] { EXPECT_EQ(start_system_tee(cmd, "", out, errf, {}), 137); });
    EXPECT_EQ(cmd, "terminated due to receipt of a signal that was not caught: 9");
    EXPECT_EQ(env.protocol_count("terminated due to receipt of a signal that was not caught: 9"), 1);
}

TEST(StartSystemTee, OwnStreamsAndWithoutTeeNeverReportFailure) {
    InstallationEnv env;
    for (const char* target : {"STDOUT", "-"}) {
        std::string cmd = "exit 4";
        EXPECT_EQ(start_system_tee(cmd, "", target, env.work("e"), {}), 0) << target;
    }
    env.sb.set_var("gv_start_system_without_tee", "1");
    const std::string out = env.work("o"), errf = env.work("e2");
    std::string cmd = "sh -c 'echo O; echo E >&2; exit 6'";
    EXPECT_EQ(start_system_tee(cmd, "", out, errf, {}), 0);
    EXPECT_EQ(read_file(out), "O\n");
    EXPECT_EQ(read_file(errf), "E\n");
}

TEST(StartProc, ProgramMustExistByPathOrInBinDirectory) {
    InstallationEnv env;
    const std::string marker = env.work("m");
    std::string cmd = "no_such_program_xyz; touch " + marker;
    EXPECT_EQ(start_proc(cmd), kProgramMissing);
    EXPECT_FALSE(exists(marker));

    cmd = "sm_alarm TEST \"a b\"";  // found through gv_ro_bin only
    EXPECT_EQ(start_proc(cmd), 0);
    EXPECT_EQ(read_file(env.sb.path("rw/standins.log")), "sm_alarm TEST a b\n");

    cmd = "/bin/sh -c 'exit 2'";
    EXPECT_EQ(start_proc(cmd), 2);
}

TEST(FileType, CopiesToStderrOnlyWhenReadable) {
    InstallationEnv env;
    write_file(env.work("t"), "typed text\n");
    std::string err = stderr_of([&] { EXPECT_EQ(file_type("gv_rw_work:t"), 1); });
    EXPECT_EQ(err, "typed text\n");
    stderr_of([&] { EXPECT_EQ(file_type(env.work("missing")), 0); });
}

TEST(CommandPipe, ReadsLinesKeepsDollarsAndReturnsStatus) {
    std::string cmd = "printf 'one\\n'; echo \"$HOME $$ $(echo x) " + std::string(25, '$') + "\"; exit 3";
    DB_PROC_PIP pp;
    ASSERT_EQ(iPIPE_OPEN(cmd, &pp), 1);
    std::string line;
    EXPECT_EQ(iPIPE_READ(&pp, line, 512), 4);
    EXPECT_EQ(line, "one\n");
    iPIPE_READ(&pp, line, 512);
    EXPECT_EQ(line, "$HOME $$ $(echo x) " + std::string(25, '$') + "\n");
    EXPECT_EQ(iPIPE_READ(&pp, line, 512), 0);
    int st = iPIPE_CLOSE(&pp);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 3);
}

TEST(CommandPipe, LongLinesAreSplitAndAbandonedPipesReaped) {
    std::string cmd = "echo abcdefghij";
    pid_t child;
    {
        DB_PROC_PIP pp;
        ASSERT_EQ(iPIPE_OPEN(cmd, &pp), 1);
        std::string part;
        EXPECT_EQ(iPIPE_READ(&pp, part, 5), 4);
        EXPECT_EQ(part, "abcd");
        child = pp.pid;
    }  // never closed by the caller
    errno = 0;
    EXPECT_EQ(::waitpid(child, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(CommandPipe, EscapesEveryDollar) {
    EXPECT_EQ(escape_dollars("a$b$$"), "a\\$b\\$\\$");
    EXPECT_EQ(escape_dollars(std::string(40, '$')).size(), 80u);
}
