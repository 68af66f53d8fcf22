#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <ctime>

#include "support/run.hpp"

using testsupport::exists;
using testsupport::read_file;
using testsupport::RunOptions;
using testsupport::RunResult;
using testsupport::Sandbox;
using testsupport::write_file;

namespace {

std::string result_line(const std::string& word, const std::string& msg) {
    return "STATUS=" + word + " MSG=" + msg + "\n";
}

bool has(const std::string& hay, const std::string& needle) { return hay.find(needle) != std::string::npos; }

RunOptions with_stdin(const std::string& data) {
    RunOptions o;
    o.stdin_data = data;
    o.stdin_null = data.empty();
    return o;
}

void age(const std::string& path, int days_back, int extra_seconds) {
    time_t t = ::time(nullptr) - days_back * 86400L - extra_seconds;
    struct utimbuf u {t, t};
    ASSERT_EQ(::utime(path.c_str(), &u), 0);
}

}  // namespace

TEST(Usefile, ReadPutsExactBytesOnStdoutAndNothingElse) {
    Sandbox sb;
    std::string bytes;
    for (int i = 0; i < 3 * 256; ++i) bytes.push_back(static_cast<char>(i % 256));
    const std::string f = sb.path("rw/work/bin.dat");
    write_file(f, bytes);
    RunResult r = sb.sm({"-i", "r1", "-f", "u", "-m", "r", "-n", f});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, bytes);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sb.var("gv_client_sts_r1"), "0");
    EXPECT_EQ(sb.var("gv_client_msg_r1"), "read from " + f + " successful");

    r = sb.sm({"-i", "r2", "-f", "u", "-m", "r", "-n", sb.path("rw/work/none")});
    EXPECT_EQ(r.rc, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(sb.var("gv_client_msg_r2"), "read from " + sb.path("rw/work/none") + ": No such file or directory");
}

TEST(Usefile, CreateFromTextAndStandardInput) {
    Sandbox sb;
    const std::string f = sb.path("rw/work/c.txt");
    RunResult r = sb.sm({"-f", "u", "-m", "c", "-n", f, "-s", "hello world"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(has(r.err, result_line("SUCCESS", "create and write to " + f + " successful")));
    EXPECT_EQ(read_file(f), "hello world\n");

    std::string bin("a\0b\xff\n", 5);
    r = sb.sm({"-f", "u", "-m", "c", "-n", f, "-s", "-"}, with_stdin(bin));
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(read_file(f), bin);  // replaced, byte for byte

    r = sb.sm({"-f", "u", "-m", "c", "-n", f, "-s", "-"}, with_stdin(""));
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(exists(f));
    EXPECT_EQ(read_file(f), "");

    // A path reference of the configuration.
    r = sb.sm({"-f", "u", "-m", "c", "-n", "gv_rw_tmp:ref.txt", "-s", "x"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(read_file(sb.path("rw/tmp/ref.txt")), "x\n");
}

TEST(Usefile, CreateFailuresAreNeverReportedAsSuccess) {
    Sandbox sb;
    RunResult r = sb.sm({"-f", "u", "-m", "c", "-n", "/dev/full", "-s", "-"}, with_stdin(std::string(100000, 'z')));
    EXPECT_EQ(r.rc, 2);
    EXPECT_TRUE(has(r.err, result_line("ERROR", "write to /dev/full: No space left on device")));

    r = sb.sm({"-f", "u", "-m", "c", "-n", "/dev/full", "-s", "text"});
    EXPECT_EQ(r.rc, 2);
    EXPECT_TRUE(has(r.err, "No space left on device"));

    const std::string nodir = sb.path("rw/work/no/such/f");
    r = sb.sm({"-f", "u", "-m", "c", "-n", nodir, "-s", "x"});
    EXPECT_EQ(r.rc, 2);
    EXPECT_TRUE(has(r.err, result_line("ERROR", "write to " + nodir + ": No such file or directory")));
}

TEST(Usefile, AppendOnlyToExistingFiles) {
    Sandbox sb;
    const std::string f = sb.path("rw/work/w.txt");
    RunResult r = sb.sm({"-f", "u", "-m", "w", "-n", f, "-s", "x"});
    EXPECT_EQ(r.rc, 2);
    EXPECT_TRUE(has(r.err, result_line("ERROR", f + " not found")));
    EXPECT_FALSE(exists(f));

    write_file(f, "one\n");
    r = sb.sm({"-f", "u", "-m", "w", "-n", f, "-s", "two"});
    EXPECT_TRUE(has(r.err, result_line("SUCCESS", "write to " + f + " successful")));
    r = sb.sm({"-f", "u", "-m", "w", "-n", f, "-s", "-"}, with_stdin("three\nfour"));
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(read_file(f), "one\ntwo\nthree\nfour");
}

TEST(Usefile, ExistenceOfFilesAndDirectories) {
    Sandbox sb;
    const std::string f = sb.path("rw/work/e.txt");
    write_file(f, "");
    RunResult r = sb.sm({"-f", "u", "-n", f});  // no -m: existence test
    EXPECT_TRUE(has(r.err, result_line("SUCCESS", f + " existing")));

    const std::string d = sb.path("rw/work/sub");
    ASSERT_EQ(::mkdir(d.c_str(), 0700), 0);
    r = sb.sm({"-f", "u", "-m", "e", "-n", d});
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(has(r.err, result_line("SUCCESS", d + " existing")));

    r = sb.sm({"-f", "u", "-m", "e", "-n", sb.path("rw/work/gone")});
    EXPECT_EQ(r.rc, 2);
    EXPECT_TRUE(has(r.err, result_line("ERROR", sb.path("rw/work/gone") + " not found")));
}

TEST(Usefile, FindReturnsLineOrSearchString) {
    Sandbox sb;
    const std::string f = sb.path("rw/work/f.txt");
    write_file(f, "first line\nkey=value here\n");
    RunResult r = sb.sm({"-f", "u", "-m", "f", "-n", f, "-s", "key=^"});
    EXPECT_TRUE(has(r.err, result_line("SUCCESS", "key=value here")));
    r = sb.sm({"-f", "u", "-m", "f", "-n", f, "-s", "absent"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(has(r.err, result_line("SUCCESS", "absent")));
    r = sb.sm({"-f", "u", "-m", "f", "-n", sb.path("rw/work/nofile"), "-s", "x"});
    EXPECT_EQ(r.rc, 2);
    EXPECT_TRUE(has(r.err, " not found\n"));
}

TEST(Usefile, ChangeMode) {
    Sandbox sb;
    const std::string f = sb.path("rw/work/m.sh");
    write_file(f, "");
    RunResult r = sb.sm({"-f", "u", "-m", "m", "-n", f, "-s", "750"});
    EXPECT_TRUE(has(r.err, result_line("SUCCESS", "chmod " + f + " successful")));
    struct stat st {};
    ASSERT_EQ(::stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
    r = sb.sm({"-f", "u", "-m", "m", "-n", sb.path("rw/work/none"), "-s", "750"});
    EXPECT_EQ(r.rc, 2);
    EXPECT_TRUE(has(r.err, "MSG=chmod " + sb.path("rw/work/none") + ": No such file or directory\n"));
}

TEST(Usefile, DeleteByNamePatternAndAge) {
    Sandbox sb;
    const std::string dir = sb.path("rw/work/");
    write_file(dir + "single", "");
    RunResult r = sb.sm({"-f", "u", "-m", "d", "-n", dir + "single", "-t", "0"});
    EXPECT_TRUE(has(r.err, result_line("SUCCESS", dir + "single deleted successful")));
    EXPECT_FALSE(exists(dir + "single"));
    r = sb.sm({"-f", "u", "-m", "d", "-n", dir + "single"});
    EXPECT_EQ(r.rc, 2);
    EXPECT_TRUE(has(r.err, result_line("ERROR", dir + "single is not deleted")));

    write_file(dir + "p1.log", "");
    write_file(dir + "p2.log", "");
    r = sb.sm({"-f", "u", "-m", "d", "-n", dir + "p*.log", "-t", "-1"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_FALSE(exists(dir + "p1.log"));
    EXPECT_FALSE(exists(dir + "p2.log"));

    write_file(dir + "old.log", "");
    write_file(dir + "new.log", "");
    age(dir + "old.log", 7, 3600);
    age(dir + "new.log", 7, -3600);
    r = sb.sm({"-f", "u", "-m", "d", "-n", dir + "*.log", "-t", "7"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_FALSE(exists(dir + "old.log"));
    EXPECT_TRUE(exists(dir + "new.log"));
    r = sb.sm({"-f", "u", "-m", "d", "-n", dir + "*.none", "-t", "7"});
    EXPECT_EQ(r.rc, 2);
}

TEST(Usefile, ArgumentErrors) {
    Sandbox sb;
    RunResult r = sb.sm({"-f", "u", "-m", "x", "-n", "/tmp"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_TRUE(has(r.err, result_line("WARNING", "wrong option in command line")));
    r = sb.sm({"-f", "u", "-m", "c"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_TRUE(has(r.err, result_line("WARNING", "missing filename via -n")));
    // A read keeps stderr clean even then; the result variables tell.
    r = sb.sm({"-i", "nr", "-f", "u", "-m", "r"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sb.var("gv_client_msg_nr"), "missing filename via -n");
}

TEST(FileJobs, ExistFunctionAndDirectoryCreation) {
    Sandbox sb;
    RunResult r = sb.sm({"-f", "e", "-n", "/nonexistent"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_TRUE(has(r.err, result_line("WARNING", "/nonexistent doesn't exist")));
    r = sb.sm({"-f", "e", "-n", sb.root_file()});
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(has(r.err, result_line("SUCCESS", sb.root_file() + " exists")));

    const std::string deep = sb.path("rw/work/a/b/c");
    r = sb.sm({"-f", "D", "-n", deep});
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(has(r.err, result_line("SUCCESS", deep + " newly created")));
    r = sb.sm({"-f", "D", "-n", deep});
    EXPECT_TRUE(has(r.err, result_line("SUCCESS", deep + " already existing")));
    r = sb.sm({"-f", "D"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_TRUE(has(r.err, result_line("WARNING", "missing directory via -n")));
    write_file(sb.path("rw/work/file"), "");
    r = sb.sm({"-f", "D", "-n", sb.path("rw/work/file/sub")});
    EXPECT_EQ(r.rc, 1);
}
