// Values quoted for the shell come out of a real /bin/sh byte for byte, and nothing in them runs.
#include "util/shell_quote.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "db/sql.hpp"
#include "exec/pipe.hpp"
#include "support/run.hpp"

using testsupport::exists;
using testsupport::run;
using testsupport::RunOptions;

namespace {

// "x" is the file that an executed substitution would create.
const std::vector<std::string> kHostile = {
    "$(touch x)", "`touch x`",    "'",         "''",      "\"",        "\\",   "\\'",
    ";touch x;",  "|touch x",     "&touch x&", "*",       "a b",       "a\nb", "-n",
    "../",        "\xe4\xfc\xff", "$HOME",     "${x:-y}", "a'\"$`\\b", "!x",   "~",
};

class Quoted : public ::testing::Test {
   protected:
    void SetUp() override {
        char tmpl[] = "/tmp/sm_quote_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        opt_.cwd = dir_;
    }
    void TearDown() override {
        EXPECT_FALSE(exists(dir_ + "/x")) << "a quoted value ran a command";
        run({"/bin/rm", "-rf", dir_});
    }
    std::string sh(const std::string& cmd) { return run({"/bin/sh", "-c", cmd}, opt_).out; }

    std::string dir_;
    RunOptions opt_;
};

}  // namespace

TEST_F(Quoted, EveryLayerRoundTripsThroughTheShell) {
    std::vector<std::string> all = kHostile;
    all.push_back("");
    all.push_back("plain/path-1.0:x=y,z@%+_");
    for (const std::string& s : all) {
        SCOPED_TRACE(s);
        EXPECT_EQ(sh("printf %s " + shell_quote(s)), s);
        EXPECT_EQ(sh("printf %s " + shell_arg(s)), s);
        EXPECT_EQ(sh("printf %s \"" + shell_dquote_body(s) + "\""), s);
        // Through a second shell: the inner command line quoted once more.
        EXPECT_EQ(sh("/bin/sh -c " + shell_quote("printf %s " + shell_quote(s))), s);
    }
    // Harmless words stay as they are, so ordinary command lines read as before.
    EXPECT_EQ(shell_arg("/data/f-1.txt"), "/data/f-1.txt");
    EXPECT_EQ(shell_quote("/data/f"), "'/data/f'");
    EXPECT_EQ(not_an_option("-rf"), "./-rf");
    EXPECT_EQ(not_an_option("/x/-rf"), "/x/-rf");
}

TEST_F(Quoted, SqlToolDirectoryFromTheStoreRunsNothing) {
    // A tool directory named with shell syntax: the tool inside it starts, with the statement intact.
    const std::string tooldir = dir_ + "/a b$(touch x)`touch x`q'\"\\;&|$HOME/";
    ASSERT_EQ(mkdir(tooldir.c_str(), 0755), 0);
    testsupport::write_file(tooldir + "damisql", "#!/bin/sh\nprintf '%s|' \"$@\"\n");
    ASSERT_EQ(chmod((tooldir + "damisql").c_str(), 0755), 0);
    std::string cmd = sql_tool_command(tooldir, "select '$x' from t", false);
    DB_PROC_PIP pp;
    ASSERT_EQ(iPIPE_OPEN(cmd, &pp), 1);
    std::string line;
    iPIPE_READ(&pp, line, 512);
    iPIPE_CLOSE(&pp);
    EXPECT_EQ(line, "-d|zarvo_db|-q|select '$x' from t|");
}
