#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <ctime>

#include "exec/child.hpp"
#include "support/run.hpp"
#include "util/posix.hpp"

using namespace testsupport;

namespace {

RunOptions input(const std::string& data) {
    RunOptions o;
    o.stdin_data = data;
    return o;
}

}  // namespace

TEST(Usefile, ReadPutsExactBytesOnStdoutAndNothingElse) {
    Sandbox sb;
    std::string bytes;
    for (int i = 0; i < 3 * 256; ++i) bytes.push_back(static_cast<char>(i));
    const std::string f = sb.path("rw/work/bin.dat");
    write_file(f, bytes);
    RunResult r = sb.sm({"-i", "r1", "-f", "u", "-m", "r", "-n", f});
    EXPECT_EQ(r.out + r.err + std::to_string(r.rc), bytes + "0");
    EXPECT_EQ(sb.var("gv_client_msg_r1"), "read from " + f + " successful");
    EXPECT_EQ(sb.sm({"-i", "r2", "-f", "u", "-m", "r", "-n", f + "x"}).rc, 2);
    EXPECT_EQ(sb.var("gv_client_msg_r2"), "read from " + f + "x: No such file or directory");
}

TEST(Usefile, CreateAndAppendNeverLoseData) {
    Sandbox sb;
    const std::string f = sb.path("rw/work/c.txt");
    EXPECT_EQ(status(sb.sm({"-f", "u", "-m", "c", "-n", f, "-s", "hello world"})),
              "STATUS=SUCCESS MSG=create and write to " + f + " successful");
    EXPECT_EQ(read_file(f), "hello world\n");
    const std::string bin("a\0b\xff\n", 5);
    EXPECT_EQ(sb.sm({"-f", "u", "-m", "c", "-n", f, "-s", "-"}, input(bin)).rc, 0);
    EXPECT_EQ(read_file(f), bin);  // replaced, byte for byte
    EXPECT_EQ(sb.sm({"-f", "u", "-m", "c", "-n", f, "-s", "-"}).rc, 0);
    EXPECT_EQ(read_file(f), "");
    EXPECT_EQ(sb.sm({"-f", "u", "-m", "c", "-n", "gv_rw_tmp:ref", "-s", "x"}).rc, 0);
    EXPECT_EQ(read_file(sb.path("rw/tmp/ref")), "x\n");
    // Append only to a file that exists.
    const std::string w = sb.path("rw/work/w.txt");
    EXPECT_EQ(status(sb.sm({"-f", "u", "-m", "w", "-n", w, "-s", "x"})),
              "STATUS=ERROR MSG=" + w + " not found");
    EXPECT_FALSE(exists(w));
    write_file(w, "one\n");
    EXPECT_EQ(status(sb.sm({"-f", "u", "-m", "w", "-n", w, "-s", "two"})),
              "STATUS=SUCCESS MSG=write to " + w + " successful");
    EXPECT_EQ(sb.sm({"-f", "u", "-m", "w", "-n", w, "-s", "-"}, input("three\nfour")).rc, 0);
    EXPECT_EQ(read_file(w), "one\ntwo\nthree\nfour");
}

TEST(Usefile, WriteOntoAFullDeviceRaisesTheFileSystemAlarm) {
    const std::string full = posix::errtext(ENOSPC);
    // Copied from standard input on create, written from text on append.
    for (const char* mode : {"c", "w"}) {
        const char* text = mode[0] == 'c' ? "-" : "x";
        SCOPED_TRACE(mode);
        Sandbox sb;
        const RunResult r = sb.sm({"-f", "u", "-m", mode, "-n", "/dev/full", "-s", text},
                                  input(text[0] == '-' ? std::string(100000, 'z') : ""));
        EXPECT_EQ(status(r), "STATUS=ERROR MSG=write to /dev/full: " + full);
        EXPECT_NE(r.err.find("FILE_CLOSE error: " + full), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("SHUTDOWN zarvo2000 - problems with file system (" + full + ")"),
                  std::string::npos);
        // Raised once, as for a failing close.
        EXPECT_EQ(read_file(sb.path("rw/standins.log")),
                  "sm_alarm FILE_SYSTEM " + full + "\nsm_os_startup STOP\n");
    }
}

TEST(Usefile, CreateFromANonBlockingInputWaitsWithoutSpinning) {
    Sandbox sb;
    const std::string f = sb.path("rw/work/nb.txt");
    posix::Pipe p;
    ASSERT_TRUE(posix::make_pipe(p));
    ASSERT_TRUE(posix::set_nonblocking(p.rd.get(), true));
    exec::SpawnOptions opt;
    opt.in = exec::Stdio::from(p.rd.get());
    opt.env.emplace();
    for (char** e = environ; *e; ++e) opt.env->push_back(*e);
    opt.env->push_back("ZARVO_INI=" + sb.root_file());
    exec::Child agent = exec::Child::spawn(
        {testsupport::bin_dir() + "/sm_client", "-f", "u", "-m", "c", "-s", "-", "-n", f}, opt);
    ASSERT_TRUE(agent.started());
    p.rd.reset();
    ::usleep(400000);
    posix::write_all(p.wr.get(), "first ");
    ::usleep(300000);
    posix::write_all(p.wr.get(), "second");
    p.wr.reset();
    int st = 0;
    ASSERT_TRUE(agent.wait(st));
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    EXPECT_EQ(read_file(f), "first second");
    const struct rusage& ru = agent.usage();
    EXPECT_LT(ru.ru_utime.tv_sec * 1000000L + ru.ru_utime.tv_usec + ru.ru_stime.tv_sec * 1000000L +
                  ru.ru_stime.tv_usec,
              100000L)
        << "the agent busy-waited on its input";
}

TEST(Usefile, ExistFindChmodAndDirectories) {
    Sandbox sb;
    const std::string f = sb.path("rw/work/f.txt"), d = sb.path("rw/work");
    write_file(f, "first line\nkey=value here\n");
    EXPECT_EQ(status(sb.sm({"-f", "u", "-n", f})), "STATUS=SUCCESS MSG=" + f + " existing");
    EXPECT_EQ(status(sb.sm({"-f", "u", "-m", "e", "-n", d})), "STATUS=SUCCESS MSG=" + d + " existing");
    EXPECT_EQ(status(sb.sm({"-f", "u", "-m", "e", "-n", f + "x"})), "STATUS=ERROR MSG=" + f + "x not found");

    EXPECT_EQ(status(sb.sm({"-f", "u", "-m", "f", "-n", f, "-s", "key=^"})),
              "STATUS=SUCCESS MSG=key=value here");
    EXPECT_EQ(status(sb.sm({"-f", "u", "-m", "f", "-n", f, "-s", "absent"})), "STATUS=SUCCESS MSG=absent");
    EXPECT_EQ(sb.sm({"-f", "u", "-m", "f", "-n", f + "x", "-s", "a"}).rc, 2);

    EXPECT_EQ(status(sb.sm({"-f", "u", "-m", "m", "-n", f + "x", "-s", "750"})),
              "STATUS=ERROR MSG=chmod " + f + "x: No such file or directory");
    EXPECT_EQ(status(sb.sm({"-f", "u", "-m", "x", "-n", f})),
              "STATUS=WARNING MSG=wrong option in command line");
    EXPECT_EQ(status(sb.sm({"-f", "u", "-m", "c"})), "STATUS=WARNING MSG=missing filename via -n");
    EXPECT_EQ(status(sb.sm({"-f", "e", "-n", "/nonexistent"})),
              "STATUS=WARNING MSG=/nonexistent doesn't exist");
    EXPECT_EQ(status(sb.sm({"-f", "e", "-n", sb.root_file()})),
              "STATUS=SUCCESS MSG=" + sb.root_file() + " exists");
    const std::string deep = sb.path("rw/work/a/b/c");
    EXPECT_EQ(status(sb.sm({"-f", "D", "-n", deep})), "STATUS=SUCCESS MSG=" + deep + " newly created");
    EXPECT_EQ(status(sb.sm({"-f", "D", "-n", deep})), "STATUS=SUCCESS MSG=" + deep + " already existing");
    EXPECT_EQ(status(sb.sm({"-f", "D"})), "STATUS=WARNING MSG=missing directory via -n");
}

TEST(Usefile, DeleteByNamePatternAndAge) {
    Sandbox sb;
    const std::string dir = sb.path("rw/work/");
    write_file(dir + "single", "");
    EXPECT_EQ(status(sb.sm({"-f", "u", "-m", "d", "-n", dir + "single", "-t", "0"})),
              "STATUS=SUCCESS MSG=" + dir + "single deleted successful");
    EXPECT_EQ(status(sb.sm({"-f", "u", "-m", "d", "-n", dir + "single"})),
              "STATUS=ERROR MSG=" + dir + "single is not deleted");

    for (const char* n : {"old.log", "new.log"}) write_file(dir + n, "");
    const time_t now = ::time(nullptr);
    struct utimbuf old_t {
        now - 7 * 86400 - 3600, now - 7 * 86400 - 3600
    }, new_t{now - 7 * 86400 + 3600, now - 7 * 86400 + 3600};
    ASSERT_EQ(::utime((dir + "old.log").c_str(), &old_t) | ::utime((dir + "new.log").c_str(), &new_t), 0);
    EXPECT_EQ(sb.sm({"-f", "u", "-m", "d", "-n", dir + "*.log", "-t", "7"}).rc, 0);
    EXPECT_FALSE(exists(dir + "old.log"));
    EXPECT_TRUE(exists(dir + "new.log"));
    EXPECT_EQ(sb.sm({"-f", "u", "-m", "d", "-n", dir + "*.log", "-t", "-1"}).rc, 0);
    EXPECT_FALSE(exists(dir + "new.log"));
    EXPECT_EQ(sb.sm({"-f", "u", "-m", "d", "-n", dir + "*.none", "-t", "7"}).rc, 2);
    EXPECT_EQ(sb.sm({"-f", "u", "-m", "d", "-n", dir + "*.none"}).rc, 0);  // a pattern always succeeds
}
