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

TEST(FileSearch, OperatorsAndLineRequest) {
    InstallationEnv env;
    write_file(env.work("s"), "alpha beta\ngamma delta\nbeta only\n");
    // A trailing "^" asks for the matching line; a failed search cuts the request at the operator.
    const std::pair<std::string, std::string> cases[] = {
        {"delta^", "gamma delta"},        {"beta|AND|only^", "beta only"}, {"only|AND|gamma", "<none:only>"},
        {"zzz|OR|gamma^", "gamma delta"}, {"zzz|OR|yyy", "<none:zzz>"},    {"Alpha", "<none:Alpha>"},
    };
    for (auto [req, want] : cases) {
        const std::string in = req;
        EXPECT_EQ(file_search("gv_rw_work:s", req) ? req : "<none:" + req + ">", want) << in;
    }
    std::string s = "alpha";
    EXPECT_EQ(file_search(env.work("missing"), s), 0);
}

TEST(FindExecBefore, LimitIsExclusive) {
    InstallationEnv env;
    struct tm t {};
    t.tm_year = 124, t.tm_mon = 2, t.tm_mday = 10, t.tm_hour = 12, t.tm_isdst = -1;
    const time_t limit = mktime(&t);
    for (auto [name, when] : {std::pair{"at", limit}, std::pair{"before", limit - 1}}) {
        write_file(env.work(name), "");
        struct utimbuf u {
            when, when
        };
        ASSERT_EQ(::utime(env.work(name).c_str(), &u), 0);
    }
    std::set<std::string> got;
    auto collect = [&](const std::string& p, str_log) { got.insert(p); };
    EXPECT_EQ(i_FILE_FIND_EXEC_BEFORE(env.work("*"), "2024-03-10 12:00:00", 0, collect, {}), 1);
    EXPECT_EQ(got, std::set<std::string>{env.work("before")});
    EXPECT_EQ(i_FILE_FIND_EXEC_BEFORE(env.work("q*"), "", 7, collect, {}), 0);
}

// Creation messages and the full-file-system alarm are checked end to end.
TEST(FileUtil, DirectoriesAndCloseErrors) {
    InstallationEnv env;
    std::string msg;
    EXPECT_EQ(i_CREATE_DIR_LOCAL("gv_rw_work:l1\\l2", msg, {}), 1);  // store prefix, backslashes
    struct stat st {};
    ASSERT_EQ(::stat(env.work("l1/l2").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0007, 0u);
    write_file(env.work("plain"), "");
    EXPECT_EQ(i_CREATE_DIR_LOCAL(env.work("plain/sub"), msg, {}), 0);
    EXPECT_EQ(msg, posix::errtext(ENOTDIR));
    std::string n = "\\a\\b";
    EXPECT_EQ(GIVE_ME_FILE_NAME(n), "\\a/b");  // a leading backslash stays

    // Other close errors raise no alarm.
    testing::internal::CaptureStderr();
    i_FILE_CLOSE(EBADF);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("FILE_CLOSE error: " + posix::errtext(EBADF)),
              std::string::npos);
    EXPECT_FALSE(exists(env.sb.path("rw/standins.log")));
}
