// sm_client as its callers see it: result lines, exit codes, variables, protocol and trace files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <sstream>

#include "support/run.hpp"

using testsupport::exists;
using testsupport::read_file;
using testsupport::RunResult;

namespace {

std::string result_lines(const std::string& id, const char* word, const std::string& msg) {
    return "ID=" + id + "\nSTATUS=" + word + " MSG=" + msg + "\n";
}

class Agent : public ::testing::Test {
   protected:
    testsupport::Sandbox sb;
    RunResult job(std::vector<std::string> args) {
        args.insert(args.begin(), {"-i", "17"});
        return sb.sm(args);
    }
    // Runs a job as "17": exit code, result lines and (with vars) the result variables.
    void expect_job(const std::vector<std::string>& args, int rc, const char* word, const std::string& msg,
                    bool vars = true) {
        SCOPED_TRACE(testing::PrintToString(args));
        RunResult r = job(args);
        EXPECT_EQ(r.rc, rc);
        EXPECT_EQ(r.err, result_lines("17", word, msg));
        EXPECT_EQ(r.out, "");
        if (!vars) return;
        EXPECT_EQ(sb.var("gv_client_sts_17"), std::to_string(rc));
        EXPECT_EQ(sb.var("gv_client_msg_17"), msg);
    }
};

}  // namespace

TEST_F(Agent, ResultLinesExitCodesAndResultVariables) {
    std::string v600(600, 'v');
    v600[100] = ' ';
    sb.set_var("gv_a", "A");
    struct Case {
        std::vector<std::string> args;
        int rc;
        const char* word;
        std::string msg;
    };
    const Case cases[] = {
        {{"-f", "W", "-n", "gv_demo", "-s", "hello  world "}, 0, "SUCCESS", "hello  world "},
        {{"-f", "GLBVread", "-n", "gv_demo"}, 0, "SUCCESS", "hello  world "},
        {{"-f", "R", "-n", "gv_demo"}, 0, "SUCCESS", "hello  world "},
        {{"-f", "G", "-n", "gv_demo"}, 0, "SUCCESS", "?? GLBV gv_demo not existing"},
        // Values are cut at the option width.
        {{"-f", "W", "-n", "gv_long", "-s", v600}, 0, "SUCCESS", v600.substr(0, 511)},
        {{"-f", "G", "-n", "gv_long"}, 0, "SUCCESS", v600.substr(0, 511)},
        {{"-f", "G"}, 1, "WARNING", "missing option -n name of GLBV"},
        {{"-f", "W", "-n", "gv_x"}, 1, "WARNING", "missing option -s string value to write"},
        {{"-f", "c"}, 1, "WARNING", "missing option -d"},
        {{"-f", "dir"}, 1, "WARNING", "missing <directory>"},
        {{"-f", "p"}, 1, "WARNING", "missing option -d device"},
        {{"-f", "p", "-d", "/dev/nst0"}, 1, "WARNING", "missing option -s SMS number"},
        {{"-f", "x", "-s", "ls"}, 2, "ERROR", "missing option -u user"},
        {{"-f", "x", "-u", "root"}, 2, "ERROR", "missing option -s command to execute"},
        {{"-f", "p", "-d", "/dev/nst0:2"}, 1, "WARNING", "cannot get performance data."},
        {{"-f", "q"}, 1, "WARNING", "unknown keyword"},
        {{"-f", "G", "-z"}, 1, "WARNING", "wrong option ? in command line"},
        {{"-f", "G", "-x", "1"}, 1, "WARNING", "wrong option x in command line"},
        {{"-w", "whatever", "-f", "G", "-n", "gv_a"}, 0, "SUCCESS", "A"},  // -w is accepted and ignored
        // The local host by either name; everything else would be forwarded.
        {{"-c", "LOCAL", "-f", "G", "-n", "gv_a"}, 0, "SUCCESS", "A"},
        {{"-c", sb.hostname(), "-f", "G", "-n", "gv_a"}, 0, "SUCCESS", "A"},
        {{"-C", "LOCAL", "-f", "G", "-n", "gv_a"}, 0, "SUCCESS", "A"},
    };
    for (const Case& c : cases) expect_job(c.args, c.rc, c.word, c.msg);
    EXPECT_EQ(sb.var("gv_long"), v600.substr(0, 511));
}

TEST_F(Agent, IdentifiersAndRunsWithoutResultVariables) {
    sb.set_var("gv_a", "A");
    auto r = sb.sm({"-i", "18"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, result_lines("18", "WARNING", "no valid function was given in -f"));
    EXPECT_FALSE(exists(sb.store_file("gv_client_sts_18")));
    // Grouped flags, attached values, the last -i wins; -r never forwards nor writes result variables.
    r = sb.sm({"-i16", "-rfG", "-cnodeB", "-i", "77", "-ngv_a"});
    EXPECT_EQ(r.err, result_lines("77", "SUCCESS", "A"));
    for (const char* v : {"gv_client_sts_77", "gv_client_msg_77", "gv_client_sts_16"})
        EXPECT_FALSE(exists(sb.store_file(v))) << v;

    r = sb.sm({"-f", "W", "-n", "gv_g", "-s", "x"});
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.err, m, std::regex("^ID=(20[0-9]{12})\nSTATUS=SUCCESS MSG=x\n$")))
        << r.err;
    EXPECT_EQ(sb.var("gv_client_sts_" + m[1].str()), "0");
    // An identifier is cut to 255 characters, too long for a variable's file name: the store says so.
    r = sb.sm({"-i", std::string(400, '9'), "-f", "G", "-n", "gv_a"});
    EXPECT_NE(r.err.find("\nID=" + std::string(255, '9') + "\nSTATUS=SUCCESS"), std::string::npos);
    EXPECT_NE(r.err.find("File name too long"), std::string::npos);
}

TEST_F(Agent, UsageText) {
    auto r = sb.sm({"-h"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "");
    // A version line, then lines padded to 79 characters, the second to last to 73.
    std::vector<std::string> lines;
    std::istringstream in(r.out);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    ASSERT_EQ(lines.size(), 41u);
    for (size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(lines[i].size(), i == 39 ? 73u : 79u) << i;
    EXPECT_EQ(
        lines[1].rfind("sm_client [-r] [-i <id>] [-c <client>] -f <function> [-C <server>] [-v] [-h]", 0),
        0u);
    EXPECT_EQ(sb.protocol(), "");
}

TEST_F(Agent, ErrorsReachTheProtocolInTheConfiguredLanguage) {
    sb.set_config("[SETUP]", "lang", "de");
    job({"-f", "x", "-s", "ls"});
    const std::string prot = sb.protocol();
    EXPECT_NE(prot.find(" I011-BASICS ["), std::string::npos);
    EXPECT_NE(prot.find("]: RemoteCmd auf " + sb.hostname() +
                        " liefert Status 2. Meldung: missing option -u user\n"),
              std::string::npos);
    // Warnings and successes do not go to the protocol.
    job({"-f", "q"});
    job({"-f", "W", "-n", "gv_a", "-s", "v"});
    EXPECT_EQ(sb.protocol(), prot);
}

TEST_F(Agent, ConfigurationFailures) {
    testsupport::RunOptions o;
    o.env["ZARVO_INI"] = sb.path("nowhere.ini");
    auto r = testsupport::run({testsupport::bin_dir() + "/sm_client", "-i", "1", "-f", "G", "-n", "x"}, o);
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("FATAL: SET_LOG_MAIN: gv_rw_lgc not set"), std::string::npos);
    // The host name is checked before the options are read: no identifier yet.
    EXPECT_NE(r.err.find("ID=\nSTATUS=WARNING MSG=Failure getting my host name - missing [Server].name in "
                         "ZARVO ini-file\n"),
              std::string::npos);

    // A store directory that does not exist: the job still succeeds, saying why.
    const std::string ini = read_file(sb.path("etc/sm.ini"));
    sb.set_config("[Pathes]", "gv_rw_glbv", sb.path("rw/no_such_dir/"));
    EXPECT_NE(job({"-f", "W", "-n", "gv_a", "-s", "v"})
                  .err.find("STATUS=SUCCESS MSG=?? GLBV gv_a cannot be created: No such file or directory\n"),
              std::string::npos);
    testsupport::write_file(sb.path("etc/sm.ini"), ini);

    // A missing "[Pathes]" key is fatal; gv_ro_sms only for media-server functions.
    sb.set_config("[Pathes]", "gv_ro_sms", "");
    sb.set_var("gv_a", "A");
    expect_job({"-f", "G", "-n", "gv_a"}, 0, "SUCCESS", "A", false);
    expect_job({"-f", "t"}, 1, "WARNING", "missing gv_ro_sms in INI", false);
    sb.set_config("[Pathes]", "gv_rw_zbc_log", "");
    expect_job({"-f", "G", "-n", "gv_a"}, 1, "WARNING", "missing gv_rw_zbc in INI", false);
    sb.set_config("[Pathes]", "gv_ro", "");
    expect_job({"-f", "G", "-n", "gv_a"}, 1, "WARNING", "missing gv_ro in INI", false);
}

// The trace switch names the functions it traces; -v traces any run.
TEST_F(Agent, TraceSwitchVerboseAndUnknownUser) {
    const std::string trace = sb.path("rw/lgc/sm_client_.lgc");
    sb.set_var("gv_a", "A");
    sb.set_var("gv_client_trace", "ut");
    job({"-f", "G", "-n", "gv_a"});
    EXPECT_FALSE(exists(trace));

    sb.set_var("gv_client_trace", "brfigcdekmGRWp");
    auto r = job({"-f", "G", "-n", "gv_a"});
    std::string t = read_file(trace);
    EXPECT_NE(t.find("# read GLBV  gv_a \n"), std::string::npos) << t;
    // Tracing switched on this way also echoes on stderr, before the result.
    EXPECT_NE(r.err.find("# read GLBV  gv_a \n"), std::string::npos);
    EXPECT_NE(r.err.find(result_lines("17", "SUCCESS", "A")), std::string::npos);

    unlink(trace.c_str());
    sb.set_var("gv_client_trace", "u");
    EXPECT_EQ(job({"-v", "-f", "dir", "/var/tmp", "x"}).rc, 0);
    t = read_file(trace);
    EXPECT_NE(t.find("# get dir /var/tmp x\n"), std::string::npos) << t;

    // The trace names the user: the lookup must survive a uid unknown to passwd.
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the agent under an unknown uid";
    const std::string uid = "54321";
    ASSERT_EQ(testsupport::run({"/bin/chown", "-R", uid + ":" + uid, sb.dir()}).rc, 0);
    for (const char* verbose : {"-v", ""}) {
        unlink(trace.c_str());
        if (!*verbose) sb.set_var("gv_client_trace", "G");
        auto u = sb.exec({"/usr/bin/setpriv", "--reuid=" + uid, "--regid=" + uid, "--clear-groups", "--",
                          "/bin/sh", "-c", std::string("exec \"$0\" -i 17 -f G -n gv_a ") + verbose,
                          testsupport::bin_dir() + "/sm_client"});
        EXPECT_EQ(u.rc, 0) << u.err;
        EXPECT_NE(u.err.find(result_lines("17", "SUCCESS", "A")), std::string::npos) << u.err;
        EXPECT_NE(read_file(trace).find("User=  \n"), std::string::npos) << verbose;
    }
}

// Names and modes that look like shell syntax reach chmod as plain words.
TEST_F(Agent, ChmodRunsNothingFromNameOrMode) {
    const std::string work = sb.path("rw/work/"), mark = work + "MARK";
    auto mode_of = [](const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    };
    testsupport::RunOptions in_work;
    in_work.cwd = work;
    // Every name is a real file: chmod must reach exactly it, also one that climbs out.
    for (const std::string name :
         {"$(touch MARK)", "`touch MARK`", "a'b", ";touch MARK;", "*", "a\nb", "-R", "../up"}) {
        SCOPED_TRACE(name);
        testsupport::write_file(work + name, "");
        ::chmod((work + name).c_str(), 0600);
        auto r = sb.sm({"-f", "u", "-m", "m", "-n", name, "-s", "750"}, in_work);
        EXPECT_EQ(r.rc, 0) << r.err;
        EXPECT_NE(r.err.find("STATUS=SUCCESS MSG=chmod " + name + " successful"), std::string::npos);
        EXPECT_EQ(mode_of(work + name), 0750u);
        EXPECT_FALSE(exists(mark));
    }
    // Shell syntax in the mode is one (bad) mode word for chmod.
    const std::string f = work + "plain";
    testsupport::write_file(f, "");
    ::chmod(f.c_str(), 0600);
    for (const char* mode : {"750; touch MARK", "750 $(touch MARK)"}) {
        SCOPED_TRACE(mode);
        EXPECT_EQ(sb.sm({"-f", "u", "-m", "m", "-n", f, "-s", mode}, in_work).rc, 2);
        EXPECT_EQ(mode_of(f), 0600u);
        EXPECT_FALSE(exists(mark));
    }
}
