#include "suite.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <sstream>

#include "db/sql.hpp"
#include "exec/child.hpp"
#include "util/strings.hpp"

using testsupport::read_file;
using testsupport::write_file;
using Rows = std::vector<std::string>;

const std::string kNoOutput = "didn't find the expected strings in SQL-pipe";

class DbTest : public ::testing::Test {
   protected:
    void SetUp() override {
        sb = make_install();
        ASSERT_TRUE(sb);
        setenv("ZARVO_INI", sb->root_file().c_str(), 1);
        const std::string os = "insert into oper_systems (os, platform) values ",
                          hw = "insert into hw_drives (drive_num, client_id, typ, path) values ",
                          cl = "insert into clients (client_id, name, os, accessmode, access_options, "
                               "password, user_name, data_mover) values ";
        for (const std::string& r :
             {os + "('Solaris', 'UNIX')", os + "('Windows', 'WNT')",
              cl + "(1, 'srv1', 'Solaris', 'SSH', '-p 2222', 'c2VjcmV0', 'backup', NULL)",
              cl + "(2, 'srv2', 'Windows', 'CTRL', NULL, NULL, NULL, 'srv1')",
              cl + "(3, 'srv3', 'Linux', 'RSH', '', '', 'root', '')", hw + "(3, 2, 'LTO', '/dev/nst0')",
              hw + "(4, 1, 'DLT', '/dev/rmt/0cbn')"}) {
            std::string msg;
            ASSERT_EQ(1, sql(r, msg)) << r << ": " << msg;
            ASSERT_EQ("1", msg) << r;
        }
    }
    void TearDown() override { unsetenv("ZARVO_INI"); }

    // iDB_ACCESS; the list is the caller's.
    int sql(const std::string& stmt, std::string& msg, DB_REC_LIS* rl = nullptr) {
        return iDB_ACCESS(stmt, msg, rl, log);
    }
    // Record texts of a query that must succeed; the list is released.
    Rows records(const std::string& stmt) {
        DB_REC_LIS rl;
        rl.szId = "suite";
        std::string msg;
        Rows out;
        EXPECT_EQ(1, sql(stmt, msg, &rl)) << stmt << ": " << msg;
        EXPECT_EQ(std::to_string(rl.iRows), msg) << stmt;
        for (auto* e = rl.pstrFirstRec.get(); e; e = e->pstrNextRec.get()) out.push_back(e->cpData);
        DB_SEL_LOOP_RECORDS(&rl, 'd');
        return out;
    }
    // A protocol line with the tag and text (the process id stands between).
    bool prot_has(const std::string& tag, const std::string& text) const {
        std::istringstream in(sb->protocol());
        for (std::string l; std::getline(in, l);)
            if (l.find(tag) != std::string::npos && l.find("]: " + text) != std::string::npos) return true;
        return false;
    }
    std::string sem_file() const { return sb->path("rw/work/sem/ctrl_db.sem"); }
    // The "ctrl_db" lock file is empty unless someone holds the semaphore.
    bool sem_free() const { return read_file(sem_file()).empty(); }
    // Points the agent at a damisql of its own: this shell script, or none ("").
    void fake_tool(const std::string& script) const {
        const std::string dir = sb->path("rw/tmp/fake/");
        ::mkdir(dir.c_str(), 0755);
        ::unlink((dir + "damisql").c_str());
        if (!script.empty()) {
            write_file(dir + "damisql", "#!/bin/sh\n" + script + "\n");
            ASSERT_EQ(0, ::chmod((dir + "damisql").c_str(), 0755));
        }
        sb->set_var("gv_ro_db", dir);
    }

    std::unique_ptr<testsupport::Sandbox> sb;
    str_log log;
};

TEST_F(DbTest, QueriesGiveTheExpectedRecords) {
    const char* access =
        "select oper_systems.platform,clients.accessmode,clients.access_options from oper_systems,clients "
        "where clients.name='%s' and oper_systems.os=clients.os";
    const std::pair<std::string, Rows> cases[] = {
        {"select clients.name from clients where client_id=(select client_id from hw_drives where "
         "drive_num=3)",
         {"|name=srv2|"}},
        {"select syntax from syntaxes where os='Linux' and (command='PS_CMD' or command='PS_PID' or "
         "command='PS_PPID' ) order by command",
         {"|syntax=ps -ef|", "|syntax=2|", "|syntax=3|"}},
        {sformat(access, "srv1"), {"|platform=UNIX|accessmode=SSH|access_options=-p 2222|"}},
        {sformat(access, "nosuchhost"), {}},
        // NULL and the empty text both come back as "NULL"; the columns stay in place.
        {sformat(access, "srv2"), {"|platform=WNT|accessmode=CTRL|access_options=NULL|"}},
        {"select password,user_name from clients where name='srv3'", {"|password=NULL|user_name=root|"}},
        // Written in capitals with a mixed-case value: only the value keeps its case.
        {"SELECT NAME FROM CLIENTS WHERE OS='Solaris'", {"|name=srv1|"}},
        // With "group by" the counts are rows of a record list.
        {"select os, count(*) from clients group by os order by os",
         {"|os=Linux|count=2|", "|os=Solaris|count=1|", "|os=Windows|count=1|"}},
    };
    for (const auto& [stmt, rows] : cases) EXPECT_EQ(rows, records(stmt)) << stmt;

    // The single-value helper, and the local host as client 0.
    std::string v = "untouched";
    EXPECT_EQ(1, iDB_SEL_GETVALUE("select name from clients where client_id=0", "name", v, log));
    EXPECT_EQ(sb->hostname(), v);
    v = "untouched";
    EXPECT_EQ(0, iDB_SEL_GETVALUE("select name from clients where client_id=99", "name", v, log));
    EXPECT_EQ("untouched", v);
}

TEST_F(DbTest, AggregatesChangesAndExport) {
    // Aggregates give their value, changes the number of rows they touched.
    const std::pair<const char*, const char*> cases[] = {
        {"select count(*) from clients", "4"},
        {"select max(drive_num) from hw_drives", "4"},
        {"update clients set accessmode='SSH' where client_id > 1", "2"},
        {"select count(*) from clients where accessmode='SSH'", "3"},
        {"insert into hw_drives (drive_num, client_id, typ, path) values (9, 0, 'LTO', '/dev/nst1')", "1"},
        {"select count(*) from hw_drives", "3"},
        {"delete from hw_drives where client_id=0", "1"},
        {"select count(*) from hw_drives", "2"},
    };
    std::string msg;
    for (const auto& [stmt, want] : cases) {
        EXPECT_EQ(1, sql(stmt, msg)) << stmt << ": " << msg;
        EXPECT_EQ(want, msg) << stmt;
    }

    // A query's rows as insert statements on standard output.
    msg = "export";
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, iDB_ACCESS("select name,data_mover from clients where client_id in (1,2) order by name", msg,
                            nullptr, log));
    EXPECT_EQ(
        "connect zarvo_db\nINSERT INTO clients (name,data_mover) VALUES ('srv1',NULL);\n"
        "INSERT INTO clients (name,data_mover) VALUES ('srv2','srv1');\n",
        testing::internal::GetCapturedStdout());

    // A statement without a table name is reported and still runs.
    EXPECT_EQ(1, sql("create table extra (a integer)", msg));
    EXPECT_TRUE(prot_has("E014-DATABAS",
                         "OA_DO_SQL : error from SQLcommand: Could not find table name in statement "
                         "create table extra (a integer)"));
}

TEST_F(DbTest, RefusedStatementsFailAndReleaseTheSemaphore) {
    DB_REC_LIS rl;
    rl.szId = "refused";
    std::string msg;
    for (std::string stmt :
         {"select name from nosuch", "update nosuch set a=1", "select count(*) from nosuch",
          "insert into clients (client_id, name, os) values (1, 'dup', 'Linux')"}) {
        EXPECT_EQ(0, sql(stmt, msg, &rl)) << stmt;
        EXPECT_EQ(0u, msg.find("Message: ")) << stmt << ": " << msg;
        EXPECT_EQ(stmt.find("nosuch") != std::string::npos, msg.find("nosuch") != std::string::npos) << msg;
        EXPECT_TRUE(sem_free()) << stmt;
    }
    EXPECT_TRUE(prot_has("E009-DATABAS", "OA_MAKE_DB_REC_LIS refused: Message: "));
    EXPECT_TRUE(prot_has("I001-DATABAS", "refused > SQLcommand: update nosuch set a=1"));
    EXPECT_TRUE(prot_has("E015-DATABAS", "OA_DO_SQL refused: error from DAMISQL: Message: "));
    // A query without a list to fill.
    EXPECT_EQ(0, sql("select name from clients", msg));
    EXPECT_EQ("missing DB_REC_LIS-pointer", msg);

    // 99 columns, in a statement longer than one line of the reader, but not 100.
    auto wide = [](int n) {
        std::string s = "select ";
        for (int i = 1; i <= n; ++i) s += (i > 1 ? ", " : "") + sformat("%d as c%d", i, i);
        return s + " from clients where client_id=0";
    };
    ASSERT_GT(wide(99).size(), kSqlLineWidth);
    Rows r = records(wide(99));
    ASSERT_EQ(1u, r.size());
    EXPECT_NE(std::string::npos, r[0].find("|c98=98|c99=99|"));
    rl.szId = "wide";
    EXPECT_EQ(0, sql(wide(100), msg, &rl));
    EXPECT_EQ("too much columns ( max 100 )", msg);
    EXPECT_TRUE(prot_has("E010-DATABAS", "OA_MAKE_DB_REC_LIS wide: too much columns ( max 100 )"));
    EXPECT_TRUE(sem_free());
}

TEST_F(DbTest, ValuesReachTheDatabaseUnexpanded) {
    // Values as written and as stored: shell specials stay as they are, a
    // double quote inside a value becomes '_', an apostrophe an acute accent;
    // tabs and line breaks come back as spaces and never shift the columns.
    const std::string specials = "x$HOME `id` $(id) \\n \\$y \\\\ _q_ ${z}", acute = "\xb4";
    const std::pair<std::string, std::string> cases[] = {
        {"x$HOME `id` $(id) \\n \\$y \\\\ \"q\" ${z}", specials},
        {"O'Brien", "O" + acute + "Brien"},
        {"a'b'c", "a" + acute + "b" + acute + "c"},
        {"x=y", "x=y"},
        {"a\tb\nc", "a b c"},
    };
    std::string msg;
    for (const auto& [value, stored] : cases) {
        ASSERT_EQ(1, sql("update clients set user_name='" + value + "', os='Linux' where name='srv1'", msg))
            << value << ": " << msg;
        EXPECT_EQ("1", msg) << value;
        EXPECT_EQ(Rows{"|user_name=" + stored + "|os=Linux|"},
                  records("select user_name, os from clients where name='srv1'"));
    }
    // Double quotes outside a value stay.
    ASSERT_EQ(1, sql("update clients set user_name='" + cases[0].first + "' where name='srv2'", msg)) << msg;
    EXPECT_EQ(Rows{"|name=srv2|"},
              records("select \"name\" from clients where user_name='" + specials + "'"));
}

// A tool that is missing, prints garbage, stops midway or reports an error on
// its first line, and a database that cannot be opened: a query and a change
// both fail with the text, and the semaphore is free again.
TEST_F(DbTest, ToolAndDatabaseFailures) {
    auto both_fail = [&](const std::string& what, const std::string& text) {
        for (const char* stmt : {"select name from clients", "update clients set os='x'"}) {
            DB_REC_LIS rl;
            rl.szId = "fake";
            std::string msg;
            EXPECT_EQ(0, sql(stmt, msg, &rl)) << what << ": " << stmt;
            EXPECT_EQ(0u, msg.find(text)) << what << ": " << stmt << ": " << msg;
        }
        EXPECT_TRUE(sem_free()) << what;
    };
    const std::string tools[][2] = {
        {"", kNoOutput},  // no tool at all
        {"echo hello; echo world", kNoOutput},
        {"exit 0", kNoOutput},
        // Killed after the header and one row: the rows are not trusted.
        {"printf 'damisql 1.0\\nSQL-1> x\\n\\nname\\t\\nsrv1\\t\\n'; kill -9 $$", kNoOutput},
        {"echo 'damisql Error: cannot open database zarvo_db'; exit 2",
         "Error: cannot open database zarvo_db"},
    };
    for (const auto& [script, text] : tools) {
        fake_tool(script);
        both_fail(script, text);
    }
    EXPECT_TRUE(prot_has("E012-DATABAS", "OA_DO_SQL SQL pipe doesn't return the expected characters"));
    EXPECT_TRUE(
        prot_has("E012-DATABAS", "OA_MAKE_DB_REC_LIS SQL pipe doesn't return the expected characters"));
    EXPECT_TRUE(prot_has("I001-DATABAS", "fake > SQLcommand: select name from clients"));
    EXPECT_TRUE(
        prot_has("E014-DATABAS",
                 "OA_DO_SQL fake: error from SQLcommand: damisql Error: cannot open database zarvo_db"));

    // This first-line error means "no rows".
    fake_tool("echo 'damisql Error: Invalid nested query'");
    std::string msg;
    EXPECT_EQ(1, sql("select name from clients", msg));
    EXPECT_EQ("0", msg);

    const std::string nodb = "Error: cannot open database zarvo_db: ";
    const std::string configs[][2] = {
        {"[zarvo_db]\nbackend=sqlite\nfile=" + sb->path("rw/db/missing.sqlite") + "\n", nodb},
        // A PostgreSQL server that does not listen.
        {"[zarvo_db]\nbackend=postgres\nconninfo=host=127.0.0.1 port=1 dbname=zarvo_db\n", nodb},
        {"[other_db]\nbackend=sqlite\n", nodb + "database zarvo_db is not configured"},
    };
    sb->set_var("gv_ro_db", sb->path("ro/db/"));
    for (const auto& [config, text] : configs) {
        write_file(sb->path("etc/openrda.ini"), config);
        both_fail(config, text);
    }
}

// Six processes insert 50 rows each through a wrapper of the tool that
// notes the semaphore's holder on every run, and "overlap" when another run
// of the tool has not ended yet.
TEST_F(DbTest, ConcurrentProcessesAreSerialised) {
    std::string msg;
    ASSERT_EQ(1, sql("create table hits (pid integer, seq integer)", msg)) << msg;
    const std::string log_file = sb->path("rw/tmp/tool.log"), busy = sb->path("rw/tmp/busy");
    const std::string wrapper = "mkdir '" + busy + "' || echo overlap >> '" + log_file + "'\necho \"$(cat '" +
                                sem_file() + "')\" >> '" + log_file + "'\n'" + sb->path("ro/db/damisql") +
                                "' \"$@\"\nrc=$?\nrmdir '" + busy + "'\nexit $rc";
    fake_tool(wrapper);

    constexpr int kProcs = 6, kEach = 50;
    std::set<int> pids;
    std::vector<exec::Child> kids;
    for (int p = 0; p < kProcs; ++p) {
        kids.push_back(exec::Child::call([&] {
            int failed = 0;
            for (int i = 0; i < kEach; ++i) {
                std::string stmt = sformat("insert into hits (pid, seq) values (%d, %d)", ::getpid(), i), m;
                failed += iDB_ACCESS(stmt, m, nullptr, log) != 1 || m != "1";
            }
            return failed;
        }));
        ASSERT_TRUE(kids.back().started());
        pids.insert(kids.back().pid());
    }
    for (exec::Child& k : kids) {
        int st = 0;
        EXPECT_TRUE(k.wait(st));
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "process " << k.pid() << " status " << st;
    }

    // Every row arrived once; every run of the tool was alone and held the
    // semaphore for the process that ran it.
    sb->set_var("gv_ro_db", sb->path("ro/db/"));
    for (const char* count :
         {"select count(*) from hits", "select count(*) from (select distinct pid, seq from hits) d"}) {
        EXPECT_EQ(1, sql(count, msg));
        EXPECT_EQ(std::to_string(kProcs * kEach), msg) << count;
    }
    std::istringstream in(read_file(log_file));
    int runs = 0;
    for (std::string line; std::getline(in, line); ++runs) {
        EXPECT_TRUE(pids.count(std::atoi(line.c_str()))) << line;
        EXPECT_NE(std::string::npos, line.find(" cm_db_dummy")) << line;
    }
    EXPECT_EQ(kProcs * kEach, runs);
}
