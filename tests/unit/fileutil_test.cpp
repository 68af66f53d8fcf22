#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <cerrno>
#include <ctime>
#include <set>

#include "exec/fileutil.hpp"
#include "installation_env.hpp"
#include "util/posix.hpp"

using testsupport::exists;
using testsupport::read_file;
using testsupport::write_file;

namespace {

void set_mtime(const std::string& path, time_t t) {
    struct utimbuf u {t, t};
    ASSERT_EQ(::utime(path.c_str(), &u), 0);
}

time_t local(int y, int mo, int d, int h, int mi, int s) {
    struct tm t {};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    t.tm_isdst = -1;
    return mktime(&t);
}

}  // namespace

TEST(FileSearch, OperatorsAndLineRequest) {
    InstallationEnv env;
    write_file(env.work("s.txt"), "alpha beta\ngamma delta\nbeta only\n");
    std::string s = "delta^";
    EXPECT_EQ(file_search("gv_rw_work:s.txt", s), 1);
    EXPECT_EQ(s, "gamma delta");

    s = "beta|AND|only^";
    EXPECT_EQ(file_search(env.work("s.txt"), s), 1);
    EXPECT_EQ(s, "beta only");  // not the first line, which lacks "only"
    s = "only|AND|gamma";
    EXPECT_EQ(file_search(env.work("s.txt"), s), 0);
    EXPECT_EQ(s, "only");  // cut at the operator

    s = "zzz|OR|gamma^";
    EXPECT_EQ(file_search(env.work("s.txt"), s), 1);
    EXPECT_EQ(s, "gamma delta");
    s = "zzz|OR|yyy";
    EXPECT_EQ(file_search(env.work("s.txt"), s), 0);

    s = "Alpha";  // case-sensitive
    EXPECT_EQ(file_search(env.work("s.txt"), s), 0);
    s = "alpha";
    EXPECT_EQ(file_search(env.work("missing"), s), 0);
}

TEST(FileSearch, LinesLongerThanTheBufferAreSearchedInPieces) {
    InstallationEnv env;
    // The marker sits beyond the first 511 characters: found in the second piece.
    write_file(env.work("long"), std::string(600, 'x') + "MARK\n");
    std::string s = "MARK^";
    EXPECT_EQ(file_search(env.work("long"), s), 1);
    EXPECT_EQ(s, std::string(600 - 511, 'x') + "MARK");
}

TEST(FileExist, ReadableFilesOnly) {
    InstallationEnv env;
    write_file(env.work("f"), "");
    EXPECT_EQ(file_exist(env.work("f")), 1);
    EXPECT_EQ(file_exist("gv_rw_work:f"), 1);
    EXPECT_EQ(file_exist(""), 0);
    EXPECT_EQ(file_exist(env.work("nope")), 0);
}

TEST(FileDelete, PlainNamesAndPatterns) {
    InstallationEnv env;
    for (const char* n : {"a1.tmp", "a2.tmp", "b.tmp", "a.txt"}) write_file(env.work(n), "x");
    EXPECT_EQ(i_FILE_DELETE(env.work("a*.tmp"), {}), 1);
    EXPECT_FALSE(exists(env.work("a1.tmp")));
    EXPECT_FALSE(exists(env.work("a2.tmp")));
    EXPECT_TRUE(exists(env.work("b.tmp")));
    EXPECT_TRUE(exists(env.work("a.txt")));

    EXPECT_EQ(i_FILE_DELETE(env.work("none*.zz"), {}), 1);  // nothing matched: still success
    EXPECT_EQ(i_FILE_DELETE(env.work("missing"), {}), 0);
    EXPECT_EQ(i_FILE_DELETE("gv_rw_work:b.tmp", {}), 1);
    EXPECT_FALSE(exists(env.work("b.tmp")));
}

TEST(GetDir, IteratesMatchesOnly) {
    InstallationEnv env;
    for (const char* n : {"x1", "x2", "y1"}) write_file(env.work(n), "");
    std::set<std::string> seen;
    sm_dirent de;
    for (int more = i_GET_DIR(env.work("x*"), &de, {}); more; more = i_GET_DIR("", &de, {})) seen.insert(de.d_name);
    EXPECT_EQ(seen, (std::set<std::string>{"x1", "x2"}));
    EXPECT_EQ(i_GET_DIR("", &de, {}), 0);  // exhausted stays exhausted
    EXPECT_EQ(i_GET_DIR(env.work("nodir/x*"), &de, {}), 0);
}

TEST(FindExecBefore, LimitByDateIsExclusiveAndByDays) {
    InstallationEnv env;
    const time_t limit = local(2024, 3, 10, 12, 0, 0);
    write_file(env.work("at"), "");
    write_file(env.work("before"), "");
    set_mtime(env.work("at"), limit);
    set_mtime(env.work("before"), limit - 1);
    std::set<std::string> got;
    auto collect = [&](const std::string& p, str_log) { got.insert(p); };
    EXPECT_EQ(i_FILE_FIND_EXEC_BEFORE(env.work("*"), "2024-03-10 12:00:00", 0, collect, {}), 1);
    EXPECT_EQ(got, (std::set<std::string>{env.work("before")}));

    got.clear();
    const time_t now = ::time(nullptr);
    write_file(env.work("old"), "");
    write_file(env.work("young"), "");
    set_mtime(env.work("old"), now - 7 * 86400 - 7200);
    set_mtime(env.work("young"), now - 7 * 86400 + 7200);
    EXPECT_EQ(i_FILE_FIND_EXEC_BEFORE("gv_rw_work:o*", "", 7, collect, {}), 1);
    EXPECT_EQ(i_FILE_FIND_EXEC_BEFORE(env.work("y*"), "", 7, collect, {}), 1);
    EXPECT_EQ(got, (std::set<std::string>{env.work("old")}));

    EXPECT_EQ(i_FILE_FIND_EXEC_BEFORE(env.work("q*"), "", 7, collect, {}), 0);
}

TEST(CreateDirLocal, CreatesAllLevelsOnce) {
    InstallationEnv env;
    const std::string deep = env.work("l1/l2/l3");
    std::string msg;
    EXPECT_EQ(i_CREATE_DIR_LOCAL(deep, msg, {}), 1);
    EXPECT_EQ(msg, deep + " newly created");
    struct stat st {};
    ASSERT_EQ(::stat(deep.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0007, 0u);  // 0770 before the umask: nothing for others

    EXPECT_EQ(i_CREATE_DIR_LOCAL("gv_rw_work:l1\\l2", msg, {}), 1);
    EXPECT_EQ(msg, env.work("l1/l2") + " already existing");

    write_file(env.work("plain"), "");
    EXPECT_EQ(i_CREATE_DIR_LOCAL(env.work("plain/sub"), msg, {}), 0);
    EXPECT_EQ(msg, posix::errtext(ENOTDIR));
}

TEST(FileNames, OnlyLaterBackslashesBecomeSlashes) {
    std::string n = "\\a\\b\\c";
    EXPECT_EQ(GIVE_ME_FILE_NAME(n), "\\a/b/c");
    std::string m = "a\\\\b";
    EXPECT_EQ(GIVE_ME_FILE_NAME(m), "a//b");
}

TEST(FileCopy, CopiesAndReportsFailure) {
    InstallationEnv env;
    write_file(env.work("src"), "content");
    EXPECT_EQ(file_copy("gv_rw_work:src", env.work("dst")), 0);
    EXPECT_EQ(read_file(env.work("dst")), "content");
    testing::internal::CaptureStderr();
    EXPECT_NE(file_copy(env.work("nosrc"), env.work("dst2")), 0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(env.protocol_lines("E009-BASICS", "Error copying file " + env.work("nosrc") + " " + env.work("dst2") + ": "), 1);
}

TEST(FileClose, AlarmOnlyForFileSystemErrors) {
    InstallationEnv env;
    const std::string log = env.sb.path("rw/standins.log");
    testing::internal::CaptureStderr();
    EXPECT_EQ(i_FILE_CLOSE(EBADF), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "\nFILE_CLOSE error: " + posix::errtext(EBADF) + "\n");
    EXPECT_FALSE(exists(log));

    testing::internal::CaptureStderr();
    EXPECT_EQ(i_FILE_CLOSE(ENOSPC), 0);
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(read_file(log), "sm_alarm FILE_SYSTEM " + posix::errtext(ENOSPC) + "\nsm_os_startup STOP\n");
    EXPECT_NE(err.find("SHUTDOWN zarvo2000 - problems with file system (" + posix::errtext(ENOSPC) + ")"),
              std::string::npos);
}

TEST(CmChmod, RunsChmodOnTheQuotedName) {
    InstallationEnv env;
    const std::string f = env.work("with blank");
    write_file(f, "");
    EXPECT_EQ(cm_chmod("750", f), 0);
    struct stat st {};
    ASSERT_EQ(::stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
    testing::internal::CaptureStderr();
    EXPECT_NE(cm_chmod("750", env.work("missing")), 0);
    testing::internal::GetCapturedStderr();
}
