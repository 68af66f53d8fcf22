// Jobs forwarded to another installation over the control daemon and to the
// server itself give what the same job gives on that node.
#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <string>
#include <vector>

#include "ctrld_process.hpp"
#include "support/run.hpp"

using ctrltest::CtrldProcess;
using testsupport::exists;
using testsupport::RunOptions;
using testsupport::RunResult;
using testsupport::Sandbox;
using testsupport::status;

namespace {

constexpr const char* kNode = "127.0.0.31";
// A value that would create "x" in the working directory if any shell evaluated it.
const std::string kHostile = "a  b $(touch x) `touch x`;|&* 'q' \\ \xe9\xff";

// A server installation and a node installation whose ctrld listens on kNode,
// listed in the server's database with access mode CTRL.
class Forward : public ::testing::Test {
   protected:
    void SetUp() override {
        // A run that stops reading its input must fail the test, not end it.
        ::signal(SIGPIPE, SIG_IGN);
        ctrld_ = std::make_unique<CtrldProcess>(node_, std::map<std::string, std::string>{{"listen", kNode}});
        server_.set_config("[CTRLD_Server]", "CTRLD_Port", std::to_string(ctrld_->port()));
        sql("insert into clients (client_id, name, os, accessmode) values (31, '" + std::string(kNode) +
            "', 'Linux', 'CTRL')");
    }
    void TearDown() override {
        for (const Sandbox* sb : {&server_, &node_})
            EXPECT_FALSE(exists(sb->path("rw/work/x"))) << "a value was evaluated by a shell";
    }
    void sql(const std::string& statement) {
        RunResult r = server_.exec({server_.path("ro/bin/damisql"), "-d", "zarvo_db", "-q", statement});
        ASSERT_EQ(r.rc, 0) << r.out << r.err;
    }

    Sandbox server_, node_;
    std::unique_ptr<CtrldProcess> ctrld_;
};

TEST_F(Forward, JobsGiveTheNodesOwnResult) {
    struct Case {
        std::vector<std::string> args;
        std::string stdin_data;
    } cases[] = {
        {{"-f", "W", "-n", "gv_x", "-s", kHostile}, ""},
        {{"-f", "G", "-n", "gv_x"}, ""},
        {{"-f", "G", "-n", "gv_missing"}, ""},
        {{"-f", "u", "-m", "e", "-n", node_.path("rw/tmp/nofile")}, ""},
        {{"-f", "u", "-m", "c", "-n", node_.path("rw/tmp/f w"), "-s", "-"}, ""},
        {{"-f", "u", "-m", "r", "-n", node_.path("rw/tmp/f w")}, ""},
    };
    std::mt19937 rng(7);
    for (int i = 0; i < 100000; ++i) cases[4].stdin_data.push_back(static_cast<char>(rng() & 0xff));

    for (const char* road : {kNode, "LOCAL"}) {
        Sandbox& where = std::string(road) == kNode ? node_ : server_;
        for (Case& c : cases) {
            std::vector<std::string> local = c.args, forwarded = c.args;
            forwarded.insert(forwarded.begin(), {"-c", road, "-i", "fw17"});
            local.insert(local.begin(), {"-i", "loc17"});
            RunOptions opt;
            opt.stdin_data = c.stdin_data;
            RunResult f = server_.sm(forwarded, opt);
            // Input arrived in full before the local run writes the same file.
            if (!c.stdin_data.empty()) {
                EXPECT_EQ(testsupport::read_file(c.args[5]), c.stdin_data) << road;
            }
            RunResult l = where.sm(local, opt);
            const std::string what = std::string(road) + " " + c.args[1] + " " + c.args[3];
            EXPECT_EQ(f.rc, l.rc) << what << "\n" << f.err;
            EXPECT_EQ(status(f), status(l)) << what;
            if (status(l) == "<none>") {
                EXPECT_EQ(f.err, l.err) << what;
            }
            EXPECT_EQ(f.out, l.out) << what;
        }
        EXPECT_EQ(where.var("gv_x"), kHostile) << road;
    }
    // The result variables are the forwarding server's alone.
    EXPECT_EQ(server_.var("gv_client_sts_fw17"), "0");
    EXPECT_FALSE(exists(node_.store_file("gv_client_sts_fw17")));
    EXPECT_FALSE(exists(server_.path("rw/work/rsh_fw17.tmp")));
}

TEST_F(Forward, RefusedBeforeAnythingRuns) {
    node_.set_var("gv_x", "old");
    struct Case {
        std::vector<std::string> args;
        int rc;
        std::string msg;
    } cases[] = {
        {{"-c", kNode, "-f", "W", "-n", "gv_x", "-s", "a\"b"}, 1, "double quote"},
        {{"-c", "n|/tmp/f", "-f", "G", "-n", "gv_x"}, 1, "invalid node name"},
        {{"-c", kNode, "-i", "*", "-f", "G", "-n", "gv_x"}, 1, "invalid request identifier"},
        {{"-c", kNode, "-f", "filecopy", "-m", "g", "-s", server_.path("rw/tmp/"), "-n", "../x"},
         2,
         "refused -n ../x: not a plain file name"},
        // Not in the database: tried over the control daemon's standard port, where nobody listens.
        {{"-c", "127.0.0.32", "-f", "G", "-n", "gv_x"},
         1,
         "E020-HOSTS   Computer 127.0.0.32 currently not reachable ("},
    };
    for (const Case& c : cases) {
        RunResult r = server_.sm(c.args);
        EXPECT_EQ(r.rc, c.rc) << c.args[1] << r.err;
        EXPECT_NE(status(r).find(c.msg), std::string::npos) << status(r);
    }
    EXPECT_EQ(node_.var("gv_x"), "old");
    EXPECT_TRUE(server_.prot_has("W001-HOSTS", "127.0.0.32"));
}

}  // namespace
