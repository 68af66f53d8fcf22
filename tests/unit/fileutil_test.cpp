#include "exec/fileutil.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <cerrno>
#include <set>

#include "installation_env.hpp"
#include "util/posix.hpp"

using testsupport::exists;
using testsupport::write_file;

namespace {

void set_mtime(const std::string& path, time_t t) {
    struct utimbuf u {
        t, t
    };
    ASSERT_EQ(::utime(path.c_str(), &u), 0);
}

}  // namespace

TEST(FileSearch, OperatorsAndLineRequest) {
    InstallationEnv env;
    write_file(env.work("s"), "alpha beta\ngamma delta\nbeta only\n");
    auto search = [&](std::string s) { return file_search("gv_rw_work:s", s) ? s : "<none:" + s + ">"; };
    EXPECT_EQ(search("delta^"), "gamma delta");
    EXPECT_EQ(search("beta|AND|only^"), "beta only");
    EXPECT_EQ(search("only|AND|gamma"), "<none:only>");  // cut at the operator
    EXPECT_EQ(search("zzz|OR|gamma^"), "gamma delta");
    EXPECT_EQ(search("zzz|OR|yyy"), "<none:zzz>");
    EXPECT_EQ(search("Alpha"), "<none:Alpha>");
    std::string s = "alpha";
    EXPECT_EQ(file_search(env.work("missing"), s), 0);
}

TEST(FindExecBefore, LimitIsExclusive) {
    InstallationEnv env;
    struct tm t {};
    t.tm_year = 124, t.tm_mon = 2, t.tm_mday = 10, t.tm_hour = 12, t.tm_isdst = -1;
    const time_t limit = mktime(&t);
    write_file(env.work("at"), "");
    write_file(env.work("before"), "");
    set_mtime(env.work("at"), limit);
    set_mtime(env.work("before"), limit - 1);
    std::set<std::string> got;
    auto collect = [&](const std::string& p, str_log) { got.insert(p); };
    EXPECT_EQ(i_FILE_FIND_EXEC_BEFORE(env.work("*"), "2024-03-10 12:00:00", 0, collect, {}), 1);
    EXPECT_EQ(got, std::set<std::string>{env.work("before")});

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
    EXPECT_EQ(st.st_mode & 0007, 0u);
    EXPECT_EQ(i_CREATE_DIR_LOCAL("gv_rw_work:l1\\l2", msg, {}), 1);
    EXPECT_EQ(msg, env.work("l1/l2") + " already existing");
    write_file(env.work("plain"), "");
    EXPECT_EQ(i_CREATE_DIR_LOCAL(env.work("plain/sub"), msg, {}), 0);
    EXPECT_EQ(msg, posix::errtext(ENOTDIR));
    std::string n = "\\a\\b";
    EXPECT_EQ(GIVE_ME_FILE_NAME(n), "\\a/b");
}

TEST(FileClose, NoAlarmForOtherErrors) {
    // The alarm for a full file system is checked end to end (usefile).
    InstallationEnv env;
    testing::internal::CaptureStderr();
    i_FILE_CLOSE(EBADF);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("FILE_CLOSE error: " + posix::errtext(EBADF)),
              std::string::npos);
    EXPECT_FALSE(exists(env.sb.path("rw/standins.log")));
}
