// The database suite over the embedded SQLite database of a fresh
// installation, and the failures of the tool itself.
#include <sys/stat.h>

#include "suite.hpp"

using testsupport::write_file;

std::unique_ptr<DbInstall> make_install() { return std::make_unique<DbInstall>(); }

namespace {

// An installation whose tool is a script printing canned output.
class DbToolFailure : public DbTest {
protected:
    void fake_tool(const std::string& body) {
        const std::string dir = inst->sb.path("rw/tmp/fake/");
        ::mkdir(dir.c_str(), 0755);
        write_file(dir + "damisql", "#!/bin/sh\n" + body);
        ASSERT_EQ(0, ::chmod((dir + "damisql").c_str(), 0755));
        use_tool_dir(dir);
    }
    // Runs a query and a change; both must fail with text, and leave the
    // semaphore free.
    void expect_both_fail(const std::string& text) {
        DB_REC_LIS rl;
        rl.szId = "fake";
        std::string msg;
        EXPECT_EQ(0, sql("select name from clients", msg, &rl));
        EXPECT_EQ(text, msg);
        EXPECT_EQ(0, sql("update clients set os='x'", msg, &rl));
        EXPECT_EQ(text, msg);
        EXPECT_EQ(0, sql("select count(*) from clients", msg, &rl));
        EXPECT_EQ("", sem_record());
    }
};

const char* kNoOutput = "didn't find the expected strings in SQL-pipe";

TEST_F(DbToolFailure, ToolMissingOrPrintingGarbage) {
    use_tool_dir(inst->sb.path("rw/tmp/"));  // no damisql there
    expect_both_fail(kNoOutput);
    EXPECT_TRUE(prot_has("E012-DATABAS", "OA_DO_SQL SQL pipe doesn't return the expected characters"));
    EXPECT_TRUE(prot_has("I001-DATABAS", "fake > SQLcommand: select name from clients"));

    fake_tool("echo 'hello'; echo 'world'; exit 0\n");
    expect_both_fail(kNoOutput);
    fake_tool("exit 0\n");
    expect_both_fail(kNoOutput);
}

TEST_F(DbToolFailure, ToolStoppingMidway) {
    // Killed after the header and one row: the rows are not trusted.
    fake_tool("printf 'damisql 1.0\\nSQL-1> x\\n\\nname\\t\\nsrv1\\t\\n'; kill -9 $$\n");
    DB_REC_LIS rl;
    rl.szId = "midway";
    std::string msg;
    EXPECT_EQ(0, sql("select name from clients", msg, &rl));
    EXPECT_EQ(kNoOutput, msg);
    EXPECT_TRUE(prot_has("E012-DATABAS", "OA_MAKE_DB_REC_LIS SQL pipe doesn't return the expected characters"));
    // A change whose outcome was never reported.
    fake_tool("printf 'damisql 1.0\\nSQL-1> x\\n\\n'\n");
    EXPECT_EQ(0, sql("update clients set os='x'", msg, &rl));
    EXPECT_EQ(kNoOutput, msg);
    EXPECT_EQ(0, sql("select count(*) from clients", msg, &rl));
    EXPECT_EQ(kNoOutput, msg);
    EXPECT_EQ("", sem_record());
}

TEST_F(DbToolFailure, ErrorOnTheFirstLine) {
    fake_tool("echo 'damisql Error: cannot open database zarvo_db'; exit 2\n");
    expect_both_fail("Error: cannot open database zarvo_db");
    EXPECT_TRUE(prot_has("E014-DATABAS", "OA_DO_SQL fake: error from SQLcommand: damisql Error: cannot open database zarvo_db"));
    // This error means "no rows".
    fake_tool("echo 'damisql Error: Invalid nested query'; exit 2\n");
    std::string msg;
    EXPECT_EQ(1, sql("select name from clients", msg));
    EXPECT_EQ("0", msg);
}

TEST_F(DbToolFailure, DatabaseUnreachable) {
    std::string msg;
    // The configured file is gone.
    write_file(inst->sb.path("etc/openrda.ini"),
               "[zarvo_db]\nbackend=sqlite\nfile=" + inst->sb.path("rw/db/missing.sqlite") + "\n");
    EXPECT_EQ(0, sql("select name from clients", msg));
    EXPECT_EQ(0, msg.find("Error: cannot open database zarvo_db: ")) << msg;
    // A PostgreSQL server that does not listen.
    write_file(inst->sb.path("etc/openrda.ini"),
               "[zarvo_db]\nbackend=postgres\nconninfo=host=127.0.0.1 port=1 dbname=zarvo_db connect_timeout=5\n");
    EXPECT_EQ(0, sql("update clients set os='x'", msg));
    EXPECT_EQ(0, msg.find("Error: cannot open database zarvo_db: ")) << msg;
    // No such database section.
    write_file(inst->sb.path("etc/openrda.ini"), "[other_db]\nbackend=sqlite\n");
    EXPECT_EQ(0, sql("select count(*) from clients", msg));
    EXPECT_NE(std::string::npos, msg.find("zarvo_db is not configured")) << msg;
    EXPECT_EQ("", sem_record());
}

// The tool on its own: the exact text the parsers read.
TEST_F(DbTest, ToolPrintsTheAgreedFormat) {
    auto tool = [&](std::vector<std::string> args) {
        args.insert(args.begin(), inst->sb.path("ro/db/damisql"));
        return inst->sb.exec(args);
    };
    auto r = tool({"-d", "zarvo_db", "-q", "select client_id, name, data_mover from clients where client_id < 3 order by 1"});
    EXPECT_EQ(0, r.rc) << r.err;
    std::string expect_rows = "\nclient_id\tname\tdata_mover\t\n0\t" + inst->sb.hostname() +
                              "\tNULL\t\n1\tsrv1\tNULL\t\n2\tsrv2\tsrv1\t\nRows selected = 3\nElapsed time = ";
    EXPECT_EQ(0u, r.out.find("damisql 1.0 (SQLite ")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\nSQL-1> select client_id, name, data_mover from clients where client_id < 3 order by 1\n" +
                                            expect_rows))
        << r.out;

    r = tool({"-d", "zarvo_db", "-q", "delete from hw_drives"});
    EXPECT_EQ(0, r.rc);
    EXPECT_NE(std::string::npos, r.out.find("\nSQL-1> delete from hw_drives\n\nRows affected = 2\nElapsed time = ")) << r.out;

    r = tool({"-d", "zarvo_db", "-q", "select nosuchcol from clients"});
    EXPECT_EQ(1, r.rc);
    EXPECT_NE(std::string::npos, r.out.find("\nError while preparing the statement, NativeError = 1\nMessage: no such column: nosuchcol\n"))
        << r.out;

    r = tool({"-d", "zarvo_db"});
    EXPECT_EQ(2, r.rc);
    EXPECT_EQ("damisql Error: usage: damisql -d DATABASE -q \"STATEMENT\" [-xall:ff]\n", r.out);
    testsupport::RunOptions no_env;
    no_env.unset_env = {"OPENRDA_INI"};
    r = inst->sb.exec({inst->sb.path("ro/db/damisql"), "-d", "zarvo_db", "-q", "select 1"}, no_env);
    EXPECT_EQ(0, r.rc) << r.out;  // found through the root file
    no_env.env["ZARVO_INI"] = "/nonexistent";
    r = testsupport::run({inst->sb.path("ro/db/damisql"), "-d", "zarvo_db", "-q", "select 1"}, no_env);
    EXPECT_EQ(2, r.rc);
    EXPECT_EQ(0u, r.out.find("damisql Error: ")) << r.out;
}

}  // namespace
