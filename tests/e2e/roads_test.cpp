// Jobs that reach another node: performance data forwarded to a storage node,
// and a NetWare node's directory listed by its data mover.
#include <gtest/gtest.h>

#include <regex>

#include "ctrld_process.hpp"
#include "support/run.hpp"
#include "util/crypt.hpp"

using namespace testsupport;

namespace {

constexpr const char* kNode = "127.0.0.42";

class Roads : public ::testing::Test {
   protected:
    void SetUp() override {
        ctrld_ = std::make_unique<ctrltest::CtrldProcess>(
            node_, std::map<std::string, std::string>{{"listen", kNode}});
        server_.set_config("[CTRLD_Server]", "CTRLD_Port", std::to_string(ctrld_->port()));
        sql("insert into clients (client_id, name, os, accessmode) values (42, '" + std::string(kNode) +
            "', 'Linux', 'CTRL')");
    }
    void sql(const std::string& statement) {
        RunResult r = server_.exec({server_.path("ro/bin/damisql"), "-d", "zarvo_db", "-q", statement});
        ASSERT_EQ(r.rc, 0) << r.out << r.err;
    }
    Sandbox server_, node_;
    std::unique_ptr<ctrltest::CtrldProcess> ctrld_;
};

TEST_F(Roads, PerformanceOfAnotherNodesMediaServer) {
    write_file(node_.path("rw/work/info/perf_2.log"),
               "STATUS: SMS_WRT\nTHROUGHPUT: 98.4 GB/h\nNUMBER OF ACTIVE BACKUPS: 3\nNUMBER OF ACTIVE "
               "RESTORES: 0\n");
    node_.set_var("gv_sms_eom__dev_nst0", "NEXT_MEDIUM");
    const std::string text = "3 0 STATUS: SMS_WRT THROUGHPUT: 98.4 GB/h NEXT_MEDIUM";
    const RunResult r = server_.sm({"-c", kNode, "-i", "9", "-f", "p", "-d", "/dev/nst0:2", "-t", "2"});
    EXPECT_EQ(r.out, "ID=9\n" + text + "\n");  // an unchanged reading is published once
    EXPECT_EQ(status(r), "STATUS=SUCCESS MSG=" + text);
    for (const Sandbox* s : {&server_, &node_}) EXPECT_FALSE(exists(s->path("rw/work/rsh_9.tmp")));
}

TEST_F(Roads, ANetWareNodesDirectoryIsListedByItsDataMover) {
    std::string stored;
    ASSERT_EQ(0, zbc_encrypt_password(stored, "n3tw'Re!", crypt_builtin_phrase()));
    sql("insert into oper_systems values ('NetWare', 'NETWARE')");
    sql("insert into clients (client_id, name, os, password, user_name, data_mover) values (5, 'nw1', "
        "'NetWare', '" +
        stored + "', 'adm', '" + kNode + "'), (6, 'nw2', 'NetWare', '" + stored + "', 'adm', '127.0.0.43')");
    ASSERT_EQ(run({"/bin/cp", std::string(SM_TEST_TOOL_DIR) + "/zbc_decrypt", node_.path("ro/bin/")}).rc, 0);
    const std::string path = "/VOL 1/$(touch x)'`touch x`";
    RunOptions here;  // the listing runs where it is started
    here.cwd = server_.dir();
    RunResult r = server_.sm({"dir", "nw1", path}, here);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "\"" + path + "/SYS\" d_ 0 0 0 - ,\n") << r.err;
    const std::string log = read_file(node_.path("rw/standins.log"));
    EXPECT_TRUE(
        std::regex_search(log, std::regex("zbc_smdr -D -s dir -N nw1:::adm:\\{[0-9a-f]+\\}:0 /VOL 1/.*\n"
                                          "zbc_smdr password: n3tw'Re!\n")))
        << log;

    // A data mover nobody answers on: reported, the handed-on password nowhere.
    r = server_.sm({"dir", "nw2", "/VOL"}, here);
    EXPECT_EQ(r.rc, 0);
    EXPECT_NE(r.err.find("\nERROR: cannot list /VOL on node 127.0.0.43: "), std::string::npos) << r.err;
    const std::regex secret("\\{[0-9a-f]{16}|n3tw");
    for (const std::string& text : {server_.protocol(), r.err, r.out})
        EXPECT_FALSE(std::regex_search(text, secret)) << text;
    for (const std::string& x : {server_.path("x"), node_.path("rw/work/x")}) EXPECT_FALSE(exists(x));
}

}  // namespace
