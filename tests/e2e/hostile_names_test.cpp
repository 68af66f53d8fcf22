// Names and values from the command line that look like shell syntax reach
// the job as plain text: nothing in them runs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/run.hpp"

using testsupport::exists;
using testsupport::RunOptions;
using testsupport::Sandbox;
using testsupport::write_file;

namespace {

mode_t mode_of(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

}  // namespace

TEST(HostileNames, ChmodRunsNothingFromNameOrMode) {
    Sandbox sb;
    const std::string work = sb.path("rw/work/");
    const std::string mark = work + "MARK";
    RunOptions in_work;
    in_work.cwd = work;
    // Every name is a real file: chmod must reach exactly it.
    const std::vector<std::string> names = {
        "$(touch MARK)", "`touch MARK`", "a'b",          "a\"b",  "a\\b",
        ";touch MARK;",  "|touch MARK",  "&touch MARK&", "*",     "a b",
        "a\nb",          "-R",           "\xe4\xfc\xff", "$HOME",
    };
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        write_file(work + name, "");
        ::chmod((work + name).c_str(), 0600);
        auto r = sb.sm({"-f", "u", "-m", "m", "-n", name, "-s", "750"}, in_work);
        EXPECT_EQ(r.rc, 0) << r.err;
        EXPECT_NE(r.err.find("STATUS=SUCCESS MSG=chmod " + name + " successful"), std::string::npos);
        EXPECT_EQ(mode_of(work + name), 0750u);
        EXPECT_FALSE(exists(mark));
    }
    // A directory name that climbs out is still just a path.
    write_file(sb.path("rw/up"), "");
    EXPECT_EQ(sb.sm({"-f", "u", "-m", "m", "-n", "../up", "-s", "700"}, in_work).rc, 0);
    EXPECT_EQ(mode_of(sb.path("rw/up")), 0700u);

    // Shell syntax in the mode is one (bad) mode word for chmod.
    const std::string f = work + "plain";
    write_file(f, "");
    ::chmod(f.c_str(), 0600);
    for (const char* mode : {"750; touch MARK", "750 $(touch MARK)", "`touch MARK`", "750|touch MARK"}) {
        SCOPED_TRACE(mode);
        auto r = sb.sm({"-f", "u", "-m", "m", "-n", f, "-s", mode}, in_work);
        EXPECT_EQ(r.rc, 2) << r.err;
        EXPECT_EQ(mode_of(f), 0600u);
        EXPECT_FALSE(exists(mark));
    }
}
