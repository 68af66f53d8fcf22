// sm_client as its callers see it: result lines, exit codes, result
// variables, protocol and trace files, in a fresh installation per test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <sstream>

#include "support/run.hpp"

using testsupport::exists;
using testsupport::read_file;
using testsupport::RunResult;
using testsupport::Sandbox;

namespace {

std::string result_lines(const std::string& id, const char* word, const std::string& msg) {
    return "ID=" + id + "\nSTATUS=" + word + " MSG=" + msg + "\n";
}

class Agent : public ::testing::Test {
protected:
    Sandbox sb;
    // Runs a job with a fixed identifier and checks the result lines.
    RunResult job(std::vector<std::string> args, const std::string& id = "17") {
        args.insert(args.begin(), {"-i", id});
        return sb.sm(args);
    }
    void expect_result(const RunResult& r, int rc, const char* word, const std::string& msg,
                       const std::string& id = "17") {
        EXPECT_EQ(r.rc, rc);
        EXPECT_EQ(r.err, result_lines(id, word, msg));
        EXPECT_EQ(r.out, "");
    }
};

}  // namespace

TEST_F(Agent, WriteReadAndReadDeleteRoundTrip) {
    auto w = job({"-f", "W", "-n", "gv_demo", "-s", "hello  world "});
    expect_result(w, 0, "SUCCESS", "hello  world ");
    EXPECT_EQ(sb.var("gv_demo"), "hello  world ");
    EXPECT_EQ(sb.var("gv_client_sts_17"), "0");
    EXPECT_EQ(sb.var("gv_client_msg_17"), "hello  world ");

    expect_result(job({"-f", "GLBVread", "-n", "gv_demo"}), 0, "SUCCESS", "hello  world ");
    expect_result(job({"-f", "R", "-n", "gv_demo"}), 0, "SUCCESS", "hello  world ");
    EXPECT_FALSE(exists(sb.store_file("gv_demo")));
    expect_result(job({"-f", "G", "-n", "gv_demo"}), 0, "SUCCESS", "?? GLBV gv_demo not existing");
    expect_result(job({"-f", "R", "-n", "gv_demo"}), 0, "SUCCESS", "?? GLBV gv_demo not existing");
}

TEST_F(Agent, LongValuesAreCutAtTheOptionWidth) {
    std::string v600(600, 'v');
    v600[100] = ' ';
    auto w = job({"-f", "W", "-n", "gv_long", "-s", v600});
    EXPECT_EQ(w.rc, 0);
    EXPECT_EQ(sb.var("gv_long"), v600.substr(0, 511));
    expect_result(job({"-f", "G", "-n", "gv_long"}), 0, "SUCCESS", v600.substr(0, 511));
    // A longer value in the store reads as 510 characters and ">".
    sb.set_var("gv_huge", std::string(600, 'h'));
    expect_result(job({"-f", "G", "-n", "gv_huge"}), 0, "SUCCESS", std::string(510, 'h') + ">");
    // An over-long identifier is cut to 255 characters (too long for a
    // result variable's file name, which the store reports).
    std::string id(400, '9');
    auto r = sb.sm({"-i", id, "-f", "G", "-n", "gv_huge"});
    EXPECT_NE(r.err.find("\nID=" + std::string(255, '9') + "\nSTATUS=SUCCESS"), std::string::npos);
    EXPECT_NE(r.err.find("File name too long"), std::string::npos);
}

TEST_F(Agent, MissingOptions) {
    struct Case {
        std::vector<std::string> args;
        int rc;
        const char* word;
        std::string msg;
    };
    const std::vector<Case> cases = {
        {{"-f", "G"}, 1, "WARNING", "missing option -n name of GLBV"},
        {{"-f", "R"}, 1, "WARNING", "missing option -n name of GLBV"},
        {{"-f", "W", "-s", "x"}, 1, "WARNING", "missing option -n name of GLBV"},
        {{"-f", "W", "-n", "gv_x"}, 1, "WARNING", "missing option -s string value to write"},
        {{"-f", "c"}, 1, "WARNING", "missing option -d"},
        {{"-f", "dir"}, 1, "WARNING", "missing <directory>"},
        {{"-f", "e"}, 1, "WARNING", "missing option -n"},
        {{"-f", "k"}, 1, "WARNING", "missing option -s saveset|pattern"},
        {{"-f", "m"}, 1, "WARNING", "missing option -s saveset"},
        {{"-f", "p"}, 1, "WARNING", "missing option -d device"},
        {{"-f", "p", "-d", "/dev/nst0"}, 1, "WARNING", "missing option -s SMS number"},
        {{"-f", "x", "-s", "ls"}, 2, "ERROR", "missing option -u user"},
        {{"-f", "x", "-u", "root"}, 2, "ERROR", "missing option -s command to execute"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[1] + " " + c.msg);
        expect_result(job(c.args), c.rc, c.word, c.msg);
        EXPECT_EQ(sb.var("gv_client_msg_17"), c.msg);
    }
}

TEST_F(Agent, LaterFunctionsEndHonestly) {
    for (const char* f : {"f", "i", "t"}) {
        SCOPED_TRACE(f);
        expect_result(job({"-f", f}), 2, "ERROR", std::string("function ") + f + " is not available yet");
    }
    expect_result(job({"-f", "p", "-d", "/dev/nst0:2"}), 2, "ERROR", "function p is not available yet");
    // The directory shortcut runs before any configuration is read.
    auto r = sb.sm({"dirs", "/tmp"});
    EXPECT_EQ(r.rc, 2);
    EXPECT_EQ(r.err, result_lines("", "ERROR", "function d is not available yet"));
}

TEST_F(Agent, UnknownKeywordAndNoFunction) {
    expect_result(job({"-f", "q"}), 1, "WARNING", "unknown keyword");
    EXPECT_EQ(sb.var("gv_client_sts_17"), "1");
    EXPECT_EQ(sb.var("gv_client_msg_17"), "unknown keyword");

    expect_result(job({"-i", "18"}, "18"), 1, "WARNING", "no valid function was given in -f", "18");
    EXPECT_FALSE(exists(sb.store_file("gv_client_sts_18")));  // no function: no result variables
}

TEST_F(Agent, WrongOptions) {
    expect_result(job({"-f", "G", "-z"}), 1, "WARNING", "wrong option ? in command line");
    expect_result(job({"-f", "G", "-x", "1"}), 1, "WARNING", "wrong option x in command line");
    expect_result(job({"-f", "G", "-n"}), 1, "WARNING", "wrong option ? in command line");
    expect_result(job({"-f", "G", "-:"}), 1, "WARNING", "wrong option ? in command line");
    // -w and its value are accepted and ignored.
    sb.set_var("gv_a", "A");
    expect_result(job({"-w", "whatever", "-f", "G", "-n", "gv_a"}), 0, "SUCCESS", "A");
    // Grouped flags and attached values.
    auto r = sb.sm({"-i17", "-rfG", "-ngv_a"});
    EXPECT_EQ(r.err, result_lines("17", "SUCCESS", "A"));
}

TEST_F(Agent, UsageText) {
    auto r = sb.sm({"-h"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> lines;
    std::istringstream in(r.out);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    ASSERT_EQ(lines.size(), 41u);
    EXPECT_EQ(lines[0].rfind("sm_client", 0), 0u);  // version line
    for (size_t i = 1; i < lines.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(lines[i].size(), i == 39 ? 73u : 79u);
    }
    EXPECT_EQ(lines[1].substr(0, 78), "sm_client [-r] [-i <id>] [-c <client>] -f <function> [-C <server>] [-v] [-h]  ");
    EXPECT_EQ(lines[38], std::string(79, ' '));
    auto rtrim = [](std::string s) { return s.substr(0, s.find_last_not_of(' ') + 1); };
    EXPECT_EQ(rtrim(lines[39]), " <device> is the HW device, e.g. \"\\.\\Tape0\" or \"/dev/nst0a\"");
    EXPECT_EQ(rtrim(lines[40]), " Trace with -v or set gv_client_trace to function switch e.g. 'brfigcdekmGRWp'");
    EXPECT_EQ(read_file(sb.path("rw/prot/protocol.log")), "");
}

TEST_F(Agent, GeneratedIdentifier) {
    auto r = sb.sm({"-f", "W", "-n", "gv_g", "-s", "x"});
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.err, m, std::regex("^ID=([0-9]{14})\nSTATUS=SUCCESS MSG=x\n$"))) << r.err;
    EXPECT_EQ(sb.var("gv_client_sts_" + m[1].str()), "0");
    EXPECT_EQ(m[1].str().substr(0, 2), "20");
}

TEST_F(Agent, LocalHostRulesAndForwarding) {
    sb.set_var("gv_a", "A");
    for (auto host : {std::string("LOCAL"), sb.hostname()}) {
        SCOPED_TRACE(host);
        expect_result(job({"-c", host, "-f", "G", "-n", "gv_a"}), 0, "SUCCESS", "A");
    }
    expect_result(job({"-C", "LOCAL", "-f", "G", "-n", "gv_a"}), 0, "SUCCESS", "A");
    expect_result(job({"-c", "nodeB", "-f", "G", "-n", "gv_a"}), 2, "ERROR",
                  "forwarding to nodeB is not available yet");
    // A run started by another node (-r) never forwards, and leaves the
    // result variables to the node that forwarded it.
    auto r = job({"-r", "-c", "nodeB", "-i", "77", "-f", "G", "-n", "gv_a"}, "16");
    EXPECT_EQ(r.err, result_lines("77", "SUCCESS", "A"));
    EXPECT_FALSE(exists(sb.store_file("gv_client_sts_77")));
    EXPECT_FALSE(exists(sb.store_file("gv_client_msg_77")));
}

TEST_F(Agent, ErrorsReachTheProtocolInTheConfiguredLanguage) {
    job({"-f", "x", "-u", "root"});
    std::string prot = sb.protocol();
    EXPECT_NE(prot.find(" I011-BASICS [" ), std::string::npos);
    EXPECT_NE(prot.find("]: RemoteCmd " + sb.hostname() + " returned 2. Message: missing option -s command to execute\n"),
              std::string::npos);
    // Warnings and successes do not go to the protocol.
    job({"-f", "q"});
    EXPECT_EQ(sb.protocol(), prot);

    sb.set_config("[SETUP]", "lang", "de");
    job({"-f", "x", "-s", "ls"});
    EXPECT_NE(sb.protocol().find("]: RemoteCmd auf " + sb.hostname() + " liefert Status 2. Meldung: missing option -u user\n"),
              std::string::npos);
}

TEST_F(Agent, ConfigurationFailures) {
    // No root file at all.
    testsupport::RunOptions o;
    o.env["ZARVO_INI"] = sb.path("nowhere.ini");
    auto r = testsupport::run({testsupport::bin_dir() + "/sm_client", "-i", "1", "-f", "G", "-n", "x"}, o);
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("FATAL: SET_LOG_MAIN: gv_rw_lgc not set"), std::string::npos);
    // The host name is checked before the options are read: no identifier yet.
    EXPECT_NE(r.err.find("ID=\nSTATUS=WARNING MSG=Failure getting my host name - missing [Server].name in ZARVO ini-file\n"),
              std::string::npos);

    // A missing "[Pathes]" key is fatal; gv_ro_sms only for media-server functions.
    sb.set_config("[Pathes]", "gv_ro_sms", "");
    sb.set_var("gv_a", "A");
    expect_result(job({"-f", "G", "-n", "gv_a"}), 0, "SUCCESS", "A");
    expect_result(job({"-f", "t"}), 1, "WARNING", "missing gv_ro_sms in INI");
    sb.set_config("[Pathes]", "gv_rw_zbc_log", "");
    expect_result(job({"-f", "G", "-n", "gv_a"}), 1, "WARNING", "missing gv_rw_zbc in INI");
    sb.set_config("[Pathes]", "gv_ro", "");
    expect_result(job({"-f", "G", "-n", "gv_a"}), 1, "WARNING", "missing gv_ro in INI");
}

TEST_F(Agent, UnusableStoreDirectory) {
    sb.set_config("[Pathes]", "gv_rw_glbv", sb.path("rw/no_such_dir/"));
    auto g = job({"-f", "G", "-n", "gv_a"});
    EXPECT_EQ(g.rc, 0);
    EXPECT_NE(g.err.find(result_lines("17", "SUCCESS", "?? GLBV gv_a not existing")), std::string::npos);
    auto w = job({"-f", "W", "-n", "gv_a", "-s", "v"});
    EXPECT_EQ(w.rc, 0);
    EXPECT_NE(w.err.find("glbv() write " + sb.path("rw/no_such_dir/gv_a.sgv") + " failed: No such file or directory (2)\n"),
              std::string::npos);
    EXPECT_NE(w.err.find("STATUS=SUCCESS MSG=?? GLBV gv_a cannot be created: No such file or directory\n"),
              std::string::npos);
}

TEST_F(Agent, TraceSwitchPerFunctionAndVerbose) {
    const std::string trace = sb.path("rw/lgc/sm_client_.lgc");
    sb.set_var("gv_a", "A");
    sb.set_var("gv_client_trace", "ut");
    job({"-f", "G", "-n", "gv_a"});
    EXPECT_FALSE(exists(trace));

    sb.set_var("gv_client_trace", "brfigcdekmGRWp");
    auto r = job({"-f", "G", "-n", "gv_a"});
    std::string t = read_file(trace);
    EXPECT_NE(t.find("# read GLBV  gv_a \n"), std::string::npos) << t;
    EXPECT_NE(t.find("# +++ FINISH   Sts= SUCCESS   Msg= A \n"), std::string::npos);
    EXPECT_NE(t.find("#   write GLBV gv_client_sts_ 17\n"), std::string::npos);
    EXPECT_NE(t.find("# --- FINISH \n"), std::string::npos);
    // Tracing switched on this way also echoes on stderr, before the result.
    EXPECT_NE(r.err.find("# read GLBV  gv_a \n"), std::string::npos);
    EXPECT_NE(r.err.find(result_lines("17", "SUCCESS", "A")), std::string::npos);

    unlink(trace.c_str());
    sb.set_var("gv_client_trace", "u");
    auto v = job({"-v", "-f", "dir", "/var/tmp", "x"});
    EXPECT_EQ(v.rc, 2);
    t = read_file(trace);
    EXPECT_NE(t.find("User= "), std::string::npos);
    EXPECT_NE(t.find("# arguments end with: /var/tmp x\n"), std::string::npos) << t;
    EXPECT_NE(t.find("# get dir /var/tmp x\n"), std::string::npos);
}

TEST_F(Agent, TracingForAUserWithoutPasswdEntry) {
    // The trace's first line names the user: the lookup must survive a uid
    // that the passwd database does not know.
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the agent under an unknown uid";
    const std::string uid = "54321", trace = sb.path("rw/lgc/sm_client_.lgc");
    sb.set_var("gv_a", "A");
    // Tracing by -v, then by the trace switch variable.
    for (bool verbose : {true, false}) {
        if (!verbose) sb.set_var("gv_client_trace", "G");
        ASSERT_EQ(testsupport::run({"/bin/chown", "-R", uid + ":" + uid, sb.dir()}).rc, 0);
        std::vector<std::string> argv{"/usr/bin/setpriv", "--reuid=" + uid, "--regid=" + uid, "--clear-groups",
                                      testsupport::bin_dir() + "/sm_client", "-i", "17", "-f", "G", "-n", "gv_a"};
        if (verbose) argv.push_back("-v");
        auto r = sb.exec(argv);
        EXPECT_EQ(r.rc, 0) << r.err;
        EXPECT_NE(r.err.find(result_lines("17", "SUCCESS", "A")), std::string::npos) << r.err;
        EXPECT_NE(read_file(trace).find("User=  \n"), std::string::npos);
        unlink(trace.c_str());
    }
}
