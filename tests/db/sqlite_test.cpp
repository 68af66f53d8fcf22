// The database suite over the embedded SQLite database of a fresh
// installation, and the failures of the tool itself.
#include <sys/stat.h>

#include "suite.hpp"

using testsupport::write_file;

std::unique_ptr<DbInstall> make_install() {
    return std::make_unique<DbInstall>();
}

namespace {

const std::string kNoOutput = "didn't find the expected strings in SQL-pipe";

// Tools that are missing, print garbage, stop midway or report an error on
// their first line: a query and a change both fail with the text, and the
// semaphore is free again.
TEST_F(DbTest, BrokenToolsFail) {
    struct {
        const char* script;  // null: no tool at all
        std::string text;
    } tools[] = {
        {nullptr, kNoOutput},
        {"echo hello; echo world", kNoOutput},
        {"exit 0", kNoOutput},
        // Killed after the header and one row: the rows are not trusted.
        {"printf 'damisql 1.0\\nSQL-1> x\\n\\nname\\t\\nsrv1\\t\\n'; kill -9 $$", kNoOutput},
        {"printf 'damisql 1.0\\nSQL-1> x\\n\\n'", kNoOutput},
        {"echo 'damisql Error: cannot open database zarvo_db'; exit 2",
         "Error: cannot open database zarvo_db"},
    };
    const std::string dir = inst->sb.path("rw/tmp/fake/");
    ::mkdir(dir.c_str(), 0755);
    use_tool_dir(dir);
    for (const auto& t : tools) {
        ::unlink((dir + "damisql").c_str());
        if (t.script) {
            write_file(dir + "damisql", std::string("#!/bin/sh\n") + t.script + "\n");
            ASSERT_EQ(0, ::chmod((dir + "damisql").c_str(), 0755));
        }
        DB_REC_LIS rl;
        rl.szId = "fake";
        std::string msg;
        const char* what = t.script ? t.script : "(no tool)";
        for (const char* stmt : {"select name from clients", "update clients set os='x'"}) {
            EXPECT_EQ(0, sql(stmt, msg, &rl)) << what << " " << stmt;
            EXPECT_EQ(t.text, msg) << what << " " << stmt;
        }
        EXPECT_EQ("", sem_record()) << what;
    }
    EXPECT_TRUE(prot_has("E012-DATABAS", "OA_DO_SQL SQL pipe doesn't return the expected characters"));
    EXPECT_TRUE(
        prot_has("E012-DATABAS", "OA_MAKE_DB_REC_LIS SQL pipe doesn't return the expected characters"));
    EXPECT_TRUE(prot_has("I001-DATABAS", "fake > SQLcommand: select name from clients"));
    EXPECT_TRUE(
        prot_has("E014-DATABAS",
                 "OA_DO_SQL fake: error from SQLcommand: damisql Error: cannot open database zarvo_db"));

    // This first-line error means "no rows".
    write_file(dir + "damisql", "#!/bin/sh\necho 'damisql Error: Invalid nested query'\n");
    std::string msg;
    EXPECT_EQ(1, sql("select name from clients", msg));
    EXPECT_EQ("0", msg);
}

TEST_F(DbTest, DatabaseUnreachable) {
    struct {
        std::string config, text;
    } cases[] = {
        {"[zarvo_db]\nbackend=sqlite\nfile=" + inst->sb.path("rw/db/missing.sqlite") + "\n",
         "Error: cannot open database zarvo_db: "},
        // A PostgreSQL server that does not listen.
        {"[zarvo_db]\nbackend=postgres\nconninfo=host=127.0.0.1 port=1 dbname=zarvo_db\n",
         "Error: cannot open database zarvo_db: "},
        {"[other_db]\nbackend=sqlite\n",
         "Error: cannot open database zarvo_db: database zarvo_db is not configured"},
    };
    for (const auto& c : cases) {
        write_file(inst->sb.path("etc/openrda.ini"), c.config);
        std::string msg;
        EXPECT_EQ(0, sql("select name from clients", msg));
        EXPECT_EQ(0u, msg.find(c.text)) << msg;
        EXPECT_EQ(0, sql("update clients set os='x'", msg));
        EXPECT_EQ(0u, msg.find(c.text)) << msg;
    }
    EXPECT_EQ("", sem_record());
}

}  // namespace
