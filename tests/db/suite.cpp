#include "suite.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include "util/strings.hpp"

using testsupport::read_file;
using testsupport::write_file;

void DbTest::SetUp() {
    inst = make_install();
    ASSERT_TRUE(inst);
    setenv("ZARVO_INI", inst->sb.root_file().c_str(), 1);
    const char* rows[] = {
        "insert into oper_systems (os, platform) values ('Solaris', 'UNIX')",
        "insert into oper_systems (os, platform) values ('Windows', 'WNT')",
        "insert into clients (client_id, name, os, accessmode, access_options, password, user_name, "
        "data_mover) "
        "values (1, 'srv1', 'Solaris', 'SSH', '-p 2222', 'c2VjcmV0', 'backup', NULL)",
        "insert into clients (client_id, name, os, accessmode, access_options, password, user_name, "
        "data_mover) "
        "values (2, 'srv2', 'Windows', 'CTRL', NULL, NULL, NULL, 'srv1')",
        "insert into clients (client_id, name, os, accessmode, access_options, password, user_name, "
        "data_mover) "
        "values (3, 'srv3', 'Linux', 'RSH', '', '', 'root', '')",
        "insert into hw_drives (drive_num, client_id, typ, path) values (3, 2, 'LTO', '/dev/nst0')",
        "insert into hw_drives (drive_num, client_id, typ, path) values (4, 1, 'DLT', '/dev/rmt/0cbn')",
    };
    for (const char* r : rows) {
        std::string msg;
        ASSERT_EQ(1, sql(r, msg)) << r << ": " << msg;
        ASSERT_EQ("1", msg) << r;
    }
}

void DbTest::TearDown() {
    unsetenv("ZARVO_INI");
}

int DbTest::sql(const std::string& stmt, std::string& msg, DB_REC_LIS* rl) {
    msg.clear();
    return iDB_ACCESS(stmt, msg, rl, log);
}

std::vector<std::string> DbTest::records(const std::string& stmt) {
    DB_REC_LIS rl;
    rl.szId = "suite";
    std::string msg;
    std::vector<std::string> out;
    EXPECT_EQ(1, sql(stmt, msg, &rl)) << stmt << ": " << msg;
    EXPECT_EQ(std::to_string(rl.iRows), msg) << stmt;
    for (auto* e = rl.pstrFirstRec.get(); e && static_cast<int>(out.size()) < rl.iRows;
         e = e->pstrNextRec.get())
        out.push_back(e->cpData);
    DB_SEL_LOOP_RECORDS(&rl, 'd');
    return out;
}

bool DbTest::prot_has(const std::string& tag, const std::string& text) const {
    std::istringstream in(inst->sb.protocol());
    for (std::string line; std::getline(in, line);)
        if (line.find(tag) != std::string::npos && line.find("]: " + text) != std::string::npos) return true;
    return false;
}

std::string DbTest::sem_record() const {
    return read_file(inst->sb.path("rw/work/sem/ctrl_db.sem"));
}

void DbTest::use_tool_dir(const std::string& dir) const {
    inst->sb.set_var("gv_ro_db", dir);
}

using Rows = std::vector<std::string>;

TEST_F(DbTest, StatementsOfTheAgentGiveTheExpectedRecords) {
    EXPECT_EQ(Rows{"|name=srv2|"},
              records("select clients.name from clients where client_id=(select client_id from "
                      "hw_drives where drive_num=3)"));
    EXPECT_EQ(Rows{"|typ=DLT|path=/dev/rmt/0cbn|"},
              records("select typ,path from hw_drives where drive_num=4"));
    EXPECT_EQ(Rows{"|os=Linux|"}, records("select os from clients where client_id=0"));
    EXPECT_EQ(
        (Rows{"|syntax=ps -ef|", "|syntax=2|", "|syntax=3|"}),
        records("select syntax from syntaxes where os='Linux' and (command='PS_CMD' or command='PS_PID' or "
                "command='PS_PPID' ) order by command"));
    const std::string access =
        "select oper_systems.platform,clients.accessmode,clients.access_options from oper_systems,clients "
        "where "
        "clients.name='%s' and oper_systems.os=clients.os";
    EXPECT_EQ(Rows{"|platform=UNIX|accessmode=SSH|access_options=-p 2222|"},
              records(sformat(access.c_str(), "srv1")));
    // NULL and the empty text both come back as "NULL", columns stay in place.
    EXPECT_EQ(Rows{"|platform=WNT|accessmode=CTRL|access_options=NULL|"},
              records(sformat(access.c_str(), "srv2")));
    EXPECT_EQ(Rows{"|platform=UNIX|accessmode=RSH|access_options=NULL|"},
              records(sformat(access.c_str(), "srv3")));
    EXPECT_EQ(Rows{}, records(sformat(access.c_str(), "nosuchhost")));
    EXPECT_EQ(Rows{"|password=NULL|user_name=root|"},
              records("select password,user_name from clients where name='srv3'"));
    EXPECT_EQ(Rows{"|data_mover=srv1|"}, records("select data_mover from clients where name='srv2'"));
    // Written in capitals with a mixed-case value: only the value keeps its case.
    EXPECT_EQ(Rows{"|name=srv1|"}, records("SELECT NAME FROM CLIENTS WHERE OS='Solaris'"));

    // The single-value helper, and the local host as client 0.
    std::string v = "untouched";
    EXPECT_EQ(1, iDB_SEL_GETVALUE("select name from clients where client_id=0", "name", v, log));
    EXPECT_EQ(inst->sb.hostname(), v);
    v = "untouched";
    EXPECT_EQ(0, iDB_SEL_GETVALUE("select name from clients where client_id=99", "name", v, log));
    EXPECT_EQ("untouched", v);
}

TEST_F(DbTest, CountsAggregatesAndChanges) {
    std::string msg;
    EXPECT_EQ(1, sql("select count(*) from clients", msg));
    EXPECT_EQ("4", msg);
    EXPECT_EQ(1, sql("select max(drive_num) from hw_drives", msg));
    EXPECT_EQ("4", msg);
    // With "group by" the counts are rows of a record list.
    EXPECT_EQ((Rows{"|os=Linux|count=2|", "|os=Solaris|count=1|", "|os=Windows|count=1|"}),
              records("select os, count(*) from clients group by os order by os"));

    EXPECT_EQ(1, sql("update clients set accessmode='SSH' where client_id > 1", msg));
    EXPECT_EQ("2", msg);
    EXPECT_EQ(1,
              sql("insert into hw_drives (drive_num, client_id, typ, path) values (9, 0, 'LTO', '/dev/nst1')",
                  msg));
    EXPECT_EQ("1", msg);
    EXPECT_EQ(1, sql("delete from hw_drives where client_id=0", msg));
    EXPECT_EQ("1", msg);
    EXPECT_EQ(Rows{"|accessmode=SSH|"}, records("select accessmode from clients where name='srv3'"));

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
    std::string msg;
    DB_REC_LIS rl;
    rl.szId = "refused";
    EXPECT_EQ(0, sql("select name from nosuch", msg, &rl));
    EXPECT_EQ(0, msg.find("Message: ")) << msg;
    EXPECT_NE(std::string::npos, msg.find("nosuch")) << msg;
    EXPECT_TRUE(prot_has("E009-DATABAS", "OA_MAKE_DB_REC_LIS refused: " + msg));
    EXPECT_EQ("", sem_record());

    EXPECT_EQ(0, sql("update nosuch set a=1", msg, &rl));
    EXPECT_EQ(0, msg.find("Message: ")) << msg;
    EXPECT_TRUE(prot_has("I001-DATABAS", "refused > SQLcommand: update nosuch set a=1"));
    EXPECT_TRUE(prot_has("E015-DATABAS", "OA_DO_SQL refused: error from DAMISQL: " + msg));
    EXPECT_EQ("", sem_record());

    // A duplicate key, an aggregate over a missing table.
    EXPECT_EQ(0, sql("insert into clients (client_id, name, os) values (1, 'dup', 'Linux')", msg));
    EXPECT_EQ(0, msg.find("Message: ")) << msg;
    EXPECT_EQ(0, sql("select count(*) from nosuch", msg));
    EXPECT_EQ(0, msg.find("Message: ")) << msg;
    // A query without a list to fill.
    EXPECT_EQ(0, sql("select name from clients", msg));
    EXPECT_EQ("missing DB_REC_LIS-pointer", msg);
    EXPECT_EQ("", sem_record());
}

TEST_F(DbTest, ValuesReachTheDatabaseUnexpanded) {
    std::string msg;
    // Shell specials in a value; a double quote inside it becomes '_'.
    const std::string value = "x$HOME `id` $(id) \\n \\$y \\\\ \"q\" ${z}";
    const std::string stored = "x$HOME `id` $(id) \\n \\$y \\\\ _q_ ${z}";
    ASSERT_EQ(1, sql("update clients set user_name='" + value + "' where name='srv1'", msg)) << msg;
    EXPECT_EQ("1", msg);
    EXPECT_EQ(Rows{"|user_name=" + stored + "|"}, records("select user_name from clients where name='srv1'"));
    EXPECT_EQ(Rows{"|name=srv1|"}, records("select name from clients where user_name='" + stored + "'"));

    // An apostrophe inside an assigned value is stored as an acute accent.
    ASSERT_EQ(1, sql("update clients set user_name='O'Brien' where name='srv2'", msg)) << msg;
    EXPECT_EQ(Rows{"|user_name=O\xb4"
                   "Brien|"},
              records("select user_name from clients where name='srv2'"));
    // Tabs and line breaks inside a value never shift the columns.
    ASSERT_EQ(1, sql("update clients set user_name='a\tb\nc' where name='srv3'", msg)) << msg;
    EXPECT_EQ(Rows{"|user_name=a b c|os=Linux|"},
              records("select user_name, os from clients where name='srv3'"));
}

TEST_F(DbTest, NinetyNineColumnsButNotAHundred) {
    auto wide = [](int n) {
        std::string s = "select ";
        for (int i = 1; i <= n; ++i) s += (i > 1 ? ", " : "") + sformat("%d as c%d", i, i);
        return s + " from clients where client_id=0";
    };
    // The statement is longer than one line of the reader.
    ASSERT_GT(wide(99).size(), kSqlLineWidth);
    Rows r = records(wide(99));
    ASSERT_EQ(1u, r.size());
    EXPECT_NE(std::string::npos, r[0].find("|c98=98|c99=99|"));

    DB_REC_LIS rl;
    rl.szId = "wide";
    std::string msg;
    EXPECT_EQ(0, sql(wide(100), msg, &rl));
    EXPECT_EQ("too much columns ( max 100 )", msg);
    EXPECT_TRUE(prot_has("E010-DATABAS", "OA_MAKE_DB_REC_LIS wide: too much columns ( max 100 )"));
    EXPECT_EQ("", sem_record());
}

// Six processes insert 50 rows each. The tool is wrapped by a script that
// logs the semaphore's record when it starts and ends: every start must be
// followed by the end of the same holder.
TEST_F(DbTest, ConcurrentProcessesAreSerialised) {
    std::string msg;
    ASSERT_EQ(1, sql("create table hits (pid integer, seq integer)", msg)) << msg;

    const std::string wrap = inst->sb.path("rw/tmp/wrap/");
    const std::string log_file = inst->sb.path("rw/tmp/tool.log");
    ASSERT_EQ(0, testsupport::run({"/bin/mkdir", "-p", wrap}).rc);
    write_file(wrap + "damisql",
               "#!/bin/sh\n"
               "rec=$(cat '" +
                   inst->sb.path("rw/work/sem/ctrl_db.sem") +
                   "')\n"
                   "echo \"start $rec\" >> '" +
                   log_file +
                   "'\n"
                   "'" +
                   inst->sb.path("ro/db/damisql") +
                   "' \"$@\"\n"
                   "rc=$?\n"
                   "echo \"end $rec\" >> '" +
                   log_file +
                   "'\n"
                   "exit $rc\n");
    ASSERT_EQ(0, ::chmod((wrap + "damisql").c_str(), 0755));
    use_tool_dir(wrap);

    constexpr int kProcs = 6, kEach = 50;
    std::set<int> pids;
    for (int p = 0; p < kProcs; ++p) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failed = 0;
            for (int i = 0; i < kEach; ++i) {
                std::string m;
                std::string stmt = sformat("insert into hits (pid, seq) values (%d, %d)", ::getpid(), i);
                if (iDB_ACCESS(stmt, m, nullptr, log) != 1 || m != "1") ++failed;
            }
            ::_exit(failed);
        }
        pids.insert(pid);
    }
    for (int i = 0; i < kProcs; ++i) {
        int st = 0;
        pid_t done = ::wait(&st);
        ASSERT_TRUE(pids.count(done));
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "process " << done << " status " << st;
    }

    use_tool_dir(inst->sb.path("ro/db/"));
    EXPECT_EQ(1, sql("select count(*) from hits", msg));
    EXPECT_EQ(std::to_string(kProcs * kEach), msg);
    Rows per = records("select pid, count(distinct seq) from hits group by pid order by pid");
    ASSERT_EQ(static_cast<size_t>(kProcs), per.size());
    for (const auto& r : per) EXPECT_NE(std::string::npos, r.find("|count=50|")) << r;

    std::istringstream in(read_file(log_file));
    std::string line, open;
    std::map<int, int> runs;
    int lines = 0;
    while (std::getline(in, line)) {
        ++lines;
        if (line.rfind("start ", 0) == 0) {
            EXPECT_EQ("", open) << "tool started while " << open << " was running";
            open = line.substr(6);
            int holder = std::atoi(open.c_str());
            EXPECT_TRUE(pids.count(holder)) << line;
            EXPECT_NE(std::string::npos, open.find(" cm_db_dummy")) << line;
            ++runs[holder];
        } else {
            EXPECT_EQ("end " + open, line);
            open.clear();
        }
    }
    EXPECT_EQ(2 * kProcs * kEach, lines);
    for (int pid : pids) EXPECT_EQ(kEach, runs[pid]) << pid;
}
