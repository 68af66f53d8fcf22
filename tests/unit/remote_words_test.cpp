// The remote layer's decisions: what may enter, how each road's shells see a
// command, and what an answer file says.
#include "remote/remote_words.hpp"

#include <gtest/gtest.h>

#include "remote/ctrld_access.hpp"
#include "remote/rsh_access.hpp"
#include "support/run.hpp"

using testsupport::exists;
using testsupport::read_file;
using testsupport::run;
using testsupport::RunOptions;
using testsupport::write_file;

namespace {

// "x" is the file that any evaluated value would create.
const std::vector<std::string> kHostile = {
    "a b", "$(touch x)", "`touch x`", "'",   "\"",        ";touch x;",    "|touch x", "&touch x&",
    "*",   "a\nb",       "\\",        "\\n", "a'\"$`\\b", "\xe4\xfc\xff", "-n",       "",
};

TEST(RemoteWords, NodeNamesAreCheckedWhereTheyEnter) {
    using Names = std::vector<std::string>;
    for (const std::string& ok : Names{"nodeB", "127.0.0.5", "a_b-c.d", std::string(159, 'n')})
        EXPECT_TRUE(valid_node_name(ok)) << ok;
    for (const std::string& bad :
         Names{"-oProxyCommand", "n|/tmp/f", "a/b", "a'b", "a b", "", std::string(160, 'n')})
        EXPECT_FALSE(valid_node_name(bad)) << bad;
}

TEST(RemoteWords, NodeArgumentForms) {
    NodeArgument a;
    ASSERT_FALSE(split_node_argument("nodeB|/w/out|/w/err|/w/in", a));
    EXPECT_TRUE(a.file_form);
    EXPECT_EQ(a.node + a.out_file + a.err_file + a.in_file + a.id, "nodeB/w/out/w/err/w/in");
    ASSERT_FALSE(split_node_argument("nodeB|-||-", a));
    EXPECT_EQ(a.out_file + "," + a.err_file + "," + a.in_file, "-,,-");
    ASSERT_FALSE(split_node_argument("nodeB/4711", a));
    EXPECT_EQ(a.id, "4711");
    EXPECT_EQ(answer_file_name("/w/", a.id), "/w/rsh_4711.tmp");
    ASSERT_FALSE(split_node_argument(std::string(40, 'n'), a));
    EXPECT_EQ(a.id, std::string(29, 'n'));

    EXPECT_EQ(split_node_argument("nodeB/*", a).value_or(""), "invalid request identifier");
    EXPECT_EQ(split_node_argument("nodeB/../../x", a).value_or(""), "invalid request identifier");
    EXPECT_EQ(split_node_argument("-x|/tmp/f", a).value_or(""), "invalid node name");
}

TEST(RemoteWords, AccessOptionsAndUsers) {
    bool port = true;
    EXPECT_EQ(ctrl_options("NULL", port), "");
    EXPECT_EQ(ctrl_options("--p 1", port), "");
    EXPECT_EQ(ctrl_options("-o 2000-2010", port), "-o 2000-2010");
    EXPECT_FALSE(port);
    EXPECT_EQ(ctrl_options("-p 12000", port), "-p 12000");
    EXPECT_TRUE(port);
    EXPECT_EQ(ctrl_option_port("-s -p 12000"), 12000);
    EXPECT_EQ(ssh_options("NULL"), "");
    EXPECT_EQ(remote_user("VMS", true), "kovnetbck");
    EXPECT_EQ(remote_user("VMS", false), "");
    EXPECT_EQ(remote_user("WNT", false), "system");
}

// Each road's command line run through real shells, layer by layer as the
// node would: every value arrives as one argument, byte for byte.
class Roads : public ::testing::Test {
   protected:
    void SetUp() override {
        char tmpl[] = "/tmp/sm_roads_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        opt_.cwd = dir_;
        // The node's settings file, as ". /etc/zarvo2000.ini" reads it.
        write_file(dir_ + "/zarvo2000.ini", "SM_BIN_ZARVO=" + dir_ + "\nSM_BIN_SMS=" + dir_ + "\n");
        // Stand-ins for the clients: ssh runs its last word in a login
        // shell of the node, sm_ctrlc records its words.
        write_file(dir_ + "/ssh",
                   "#!/bin/sh\nfor a; do last=$a; done\nexec /bin/sh -c \"$(printf '%s' \"$last\" | "
                   "sed \"s|/etc/zarvo2000.ini|" +
                       dir_ + "/zarvo2000.ini|\")\"\n");
        write_file(dir_ + "/sm_ctrlc", "#!/bin/sh\nshift 5\nprintf '%s\\0' \"$@\"\n");
        run({"/bin/chmod", "+x", dir_ + "/ssh", dir_ + "/sm_ctrlc"});
        opt_.env["PATH"] = dir_ + ":/usr/bin:/bin";
        opt_.env["HOME"] = dir_;
    }
    void TearDown() override {
        EXPECT_FALSE(exists(dir_ + "/x")) << "a value was evaluated by a shell";
        run({"/bin/rm", "-rf", dir_});
    }
    std::string sh(const std::string& line) { return run({"/bin/sh", "-c", line}, opt_).out; }

    std::string dir_;
    RunOptions opt_;
};

TEST_F(Roads, EveryValueArrivesAsOneWordOnEveryRoad) {
    std::string cmd = "printf '%s\\0'", expected;
    for (const std::string& v : kHostile) {
        cmd += " " + quote_word(v);
        expected += v + '\0';
    }
    EXPECT_EQ(sh(local_command_line(cmd, "", "-", "-")), expected) << "local";
    EXPECT_EQ(sh(ssh_command_line("root", "", "node", cmd)), expected) << "ssh";
    EXPECT_EQ(sh(rsh_unix_command(dir_, cmd)), expected) << "rsh";

    auto script = rsh2_script_command(dir_, cmd, "77");
    ASSERT_TRUE(script);
    EXPECT_EQ(sh(*script), "");
    // The wrapper on the node runs the script with the login shell.
    EXPECT_EQ(sh("sh sm_77.tmp"), expected) << "rsh2";

    // Output taken apart: the error output waits in a file until collected.
    script = rsh2_script_command(dir_, "sh -c 'echo out; echo err >&2'", "78", "sm_78.err");
    ASSERT_TRUE(script);
    sh(*script);
    EXPECT_EQ(sh("sh sm_78.tmp"), "out\n");
    EXPECT_EQ(sh(rsh2_collect_command("sm_78.err")), "err\n");
    EXPECT_FALSE(exists(dir_ + "/sm_78.err"));

    std::vector<std::string> words;
    ASSERT_TRUE(split_words(cmd, words));
    std::string joined;
    for (size_t i = 2; i < words.size(); ++i) joined += words[i] + '\0';
    EXPECT_EQ(joined, expected) << "ctrl";
    std::string sm_ctrlc_args;
    for (const std::string& v : kHostile) sm_ctrlc_args += " " + quote_word(v);
    EXPECT_EQ(sh(sm_ctrlc_command_line("-p 1", "", 0, "root", "node", sm_ctrlc_args.substr(1))), expected)
        << "sm_ctrlc";
}

TEST(RemoteWords, CommandsTheControlWireCannotCarryAreRefused) {
    std::vector<std::string> w;
    EXPECT_FALSE(split_words("echo 'open", w));
    EXPECT_FALSE(split_words("a | b", w));
    EXPECT_FALSE(split_words("a $(b)", w));
    ASSERT_TRUE(split_words("zbc", w));
    EXPECT_EQ(w, std::vector<std::string>{"zbc"});
    ASSERT_TRUE(split_words("a\\ b \"c d\" ''", w));
    EXPECT_EQ(w, (std::vector<std::string>{"a b", "c d", ""}));
}

TEST(RemoteWords, TheLastStatusLineDecides) {
    struct Case {
        std::string content;
        bool found;
        int sts;
        std::string msg;
    } cases[] = {
        {"ID=17\nSTATUS=WARNING MSG=disk full\n", true, 1, "disk full"},
        // A sub-agent's success first, then the job's own failure.
        {"ID=17\nSTATUS=SUCCESS MSG=label read\nID=17\nSTATUS=ERROR MSG=label failed\n", true, 2,
         "label failed"},
        {"STATUS=SUCCESS\n", true, 0, ""},
        {"total 3\n\n\nentry one\nentry two\n", false, 1, "entry one"},
        {"ERROR: Connection timeout.\n", false, 1, "ERROR: Connection timeout."},
        {"", false, 1, ""},
        {"x\n" + std::string(300, 'y') + "\n", false, 1, std::string(kAnswerMsgMax, 'y')},
    };
    for (const Case& c : cases) {
        AnswerStatus a = read_answer(c.content);
        EXPECT_EQ(a.found, c.found) << c.content;
        EXPECT_EQ(a.sts, c.sts) << c.content;
        EXPECT_EQ(a.msg, c.msg) << c.content;
    }
    EXPECT_FALSE(read_answer("STATUS=ERROR\n").has_msg);
}

TEST(RemoteWords, WatchCountersOfBothRoads) {
    // rsh: the first test after 15 periods, then every 201.
    int counter = kRshFirstAlivePoll, first = 0, second = 0;
    for (int period = 1; period <= 300 && !second; ++period)
        if (rsh_watch_step(counter)) (first ? second : first) = period;
    EXPECT_EQ(first, 15);
    EXPECT_EQ(second, 15 + 201);

    // ctrld: 15, 52, 89, ... up to 200; a failure brings the next test 5
    // periods later, a second failure in a row stops the child.
    CtrlWatch w;
    std::vector<int> due;
    for (int test = 0; test < 7; ++test) {
        int periods = 1;
        while (!w.tick()) ++periods;
        due.push_back(periods);
        w.tested(true);
    }
    EXPECT_EQ(due, (std::vector<int>{15, 52, 89, 126, 163, 200, 200}));
    w.tested(false);
    EXPECT_EQ(w.interval(), kCtrlAliveRetry);
    EXPECT_FALSE(w.stop());
    w.tested(true);
    w.tested(false);
    EXPECT_FALSE(w.stop());
    w.tested(false);
    EXPECT_TRUE(w.stop());
}

}  // namespace
