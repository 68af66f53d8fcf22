#include "suite.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <sstream>

#include "db/passwords.hpp"
#include "db/sql.hpp"
#include "exec/child.hpp"
#include "util/crypt.hpp"
#include "util/strings.hpp"

using testsupport::read_file;
using Rows = std::vector<std::string>;

class DbTest : public ::testing::Test {
   protected:
    void SetUp() override {
        sb = make_install();
        ASSERT_TRUE(sb);
        setenv("ZARVO_INI", sb->root_file().c_str(), 1);
        const std::string os = "insert into oper_systems (os, platform) values ",
                          cl = "insert into clients (client_id, name, os, accessmode, access_options, "
                               "password, user_name, data_mover) values ";
        for (const std::string& r :
             {os + "('Solaris', 'UNIX')", os + "('Windows', 'WNT')",
              cl + "(1, 'srv1', 'Solaris', 'SSH', '-p 2222', 'c2VjcmV0', 'backup', NULL)",
              cl + "(2, 'srv2', 'Windows', 'CTRL', NULL, NULL, NULL, 'srv1')",
              cl + "(3, 'srv3', 'Linux', 'RSH', '', '', 'root', '')"})
            ASSERT_EQ("1", change(r)) << r;
    }
    void TearDown() override { unsetenv("ZARVO_INI"); }

    // iDB_ACCESS; the list is the caller's.
    int sql(const std::string& stmt, std::string& msg, DB_REC_LIS* rl = nullptr) {
        return iDB_ACCESS(stmt, msg, rl, log);
    }
    // The message of a statement without a list that must succeed.
    std::string change(const std::string& stmt) {
        std::string msg;
        EXPECT_EQ(1, sql(stmt, msg)) << stmt << ": " << msg;
        return msg;
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
    // The message of a statement that must fail, with and without a list.
    std::string refused(const std::string& stmt, bool with_list = true) {
        DB_REC_LIS rl;
        rl.szId = "refused";
        std::string msg;
        EXPECT_EQ(0, sql(stmt, msg, with_list ? &rl : nullptr)) << stmt;
        EXPECT_TRUE(read_file(sem_file()).empty()) << "semaphore still held after " << stmt;
        return msg;
    }
    // The "ctrl_db" lock file is empty unless someone holds the semaphore.
    std::string sem_file() const { return sb->path("rw/work/sem/ctrl_db.sem"); }
    // Points the agent at a damisql of its own: this shell script, or none ("").
    void fake_tool(const std::string& script) const {
        const std::string dir = sb->path("rw/tmp/fake/");
        ::mkdir(dir.c_str(), 0755);
        ::unlink((dir + "damisql").c_str());
        if (!script.empty()) {
            testsupport::write_file(dir + "damisql", "#!/bin/sh\n" + script + "\n");
            ASSERT_EQ(0, ::chmod((dir + "damisql").c_str(), 0755));
        }
        sb->set_var("gv_ro_db", dir);
    }

    std::unique_ptr<testsupport::Sandbox> sb;
    str_log log;
};

TEST_F(DbTest, QueriesChangesAndExport) {
    const char* access =
        "select oper_systems.platform,clients.accessmode,clients.access_options from oper_systems,clients "
        "where clients.name='%s' and oper_systems.os=clients.os";
    const std::pair<std::string, Rows> queries[] = {
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
    };
    for (const auto& [stmt, rows] : queries) EXPECT_EQ(rows, records(stmt)) << stmt;

    // Without a list, aggregates give their value and changes the number of rows they touched.
    const std::pair<const char*, const char*> changes[] = {
        {"select max(client_id) from clients", "3"},
        {"update clients set accessmode='SSH' where client_id > 1", "2"},
        {"delete from clients where client_id=3", "1"},
        // Trailing blanks, ";" and comments are not a second statement.
        {"select count(*) from syntaxes ; ;\n -- the end\n", "3"},
    };
    for (const auto& [stmt, want] : changes) EXPECT_EQ(want, change(stmt)) << stmt;

    // The single-value helper, and the local host as client 0.
    std::string v = "untouched";
    EXPECT_EQ(0, iDB_SEL_GETVALUE("select name from clients where client_id=99", "name", v, log));
    EXPECT_EQ("untouched", v);
    EXPECT_EQ(1, iDB_SEL_GETVALUE("select name from clients where client_id=0", "name", v, log));
    EXPECT_EQ(sb->hostname(), v);

    // A query's rows as insert statements on standard output.
    std::string msg = "export";
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, sql("select name,data_mover from clients where client_id in (1,2) order by name", msg));
    EXPECT_EQ(
        "connect zarvo_db\nINSERT INTO clients (name,data_mover) VALUES ('srv1',NULL);\n"
        "INSERT INTO clients (name,data_mover) VALUES ('srv2','srv1');\n",
        testing::internal::GetCapturedStdout());

    // A statement without a table name is reported and still runs.
    change("create table extra (a integer)");
    EXPECT_TRUE(sb->prot_has("E014-DATABAS", "Could not find table name in statement create table extra"));
}

// Failing statements and a second statement in one text: the tool's message, the semaphore free again.
TEST_F(DbTest, RefusedStatementsFailAndReleaseTheSemaphore) {
    for (std::string stmt :
         {"select name from nosuch", "update nosuch set a=1", "select count(*) from nosuch",
          "select name from clients where name='x'; delete from syntaxes; --'",
          "update clients set os='Linux' where name='x'; drop table syntaxes"}) {
        const std::string msg = refused(stmt);
        EXPECT_EQ(0u, msg.find("Message: ")) << stmt << ": " << msg;
        EXPECT_EQ(stmt.find("nosuch") != std::string::npos, msg.find("nosuch") != std::string::npos) << msg;
    }
    EXPECT_TRUE(sb->prot_has("E009-DATABAS", "OA_MAKE_DB_REC_LIS refused: Message: "));
    EXPECT_TRUE(sb->prot_has("E015-DATABAS", "OA_DO_SQL refused: error from DAMISQL: Message: "));
    EXPECT_EQ("3", change("select count(*) from syntaxes"));  // the second statements never ran
    EXPECT_EQ("missing DB_REC_LIS-pointer", refused("select name from clients", false));

    // 99 columns, in a statement longer than one line of the reader, but not 100.
    auto wide = [](int n) {
        std::string s = "select ";
        for (int i = 1; i <= n; ++i) s += (i > 1 ? ", " : "") + sformat("%d as c%d", i, i);
        return s + " from clients where client_id=0";
    };
    ASSERT_GT(wide(99).size(), kSqlLineWidth);
    const Rows r = records(wide(99));
    ASSERT_EQ(1u, r.size());
    EXPECT_NE(std::string::npos, r[0].find("|c98=98|c99=99|"));
    EXPECT_EQ("too much columns ( max 100 )", refused(wide(100)));
}

// Outside values in statements come back as they went in (" as '_', and ' as an acute accent in updates).
TEST_F(DbTest, OutsideValuesStayValues) {
    const std::string hostile[] = {
        "x'; delete from syntaxes; --", "O'Brien",          "a\"b",          "$(touch x) `id` $$",
        "back\\slash \\$x \\n",         "line\nbreak\ttab", "\xe9t\xe9 \xb4"};
    auto shown = [](std::string v, bool update) {
        for (char& c : v) {
            if (c == '"') c = '_';
            if (c == '\n' || c == '\t') c = ' ';
            if (update && c == '\'') c = '\xb4';
        }
        return v;
    };
    int id = 10;
    for (const std::string& v : hostile) {
        const std::string key = std::to_string(id++);
        EXPECT_EQ("1", change("insert into clients (client_id, name, os) values (" + key + ", " +
                              sql_value(v) + ", 'Linux')"));
        EXPECT_EQ("1", change("update clients set user_name=" + sql_value(v, true) +
                              ", os='Linux' where client_id=" + key));
        EXPECT_EQ(
            Rows{"|client_id=" + key + "|name=" + shown(v, false) + "|user_name=" + shown(v, true) + "|"},
            records("select client_id, name, user_name from clients where name=" + sql_value(v)))
            << v;
    }
    EXPECT_EQ(std::to_string(4 + std::size(hostile)), change("select count(*) from clients;"));
    EXPECT_EQ("3", change("select count(*) from syntaxes"));

    // The repair of an update with bare apostrophes; a quoted column name stays.
    change("update clients set user_name='D'Arcy', os='Linux' where name='srv1'");
    EXPECT_EQ(Rows{"|name=srv1|"}, records("select \"name\" from clients where user_name='D\xb4"
                                           "Arcy'"));
}

// A stored client password is handed on as "{TEXT}" under the saveset; without one, or without a
// database, the output stays as it was.
TEST_F(DbTest, ClientPasswordIsHandedOnUnderTheSaveset) {
    std::string phrase = crypt_builtin_phrase(), stored;
    ASSERT_EQ(0, zbc_encrypt_password(stored, "n3tw'Re!", phrase));
    crypt_wipe(phrase);
    change("insert into oper_systems (os, platform) values ('NetWare', 'NETWARE')");
    int id = 20;
    for (const char* name : {"nw1", "o'hara"})
        change("insert into clients (client_id, name, os, password, user_name) values (" +
               std::to_string(id++) + ", " + sql_value(name) + ", 'NetWare', '" + stored + "', 'adm')");
    auto hand_on = [&](const char* client, const char* user, bool handed_on) {
        std::string u = "-", out = "untouched";
        EXPECT_EQ(0, i_GET_NETWARE_PASSWORD(client, u, "SAVE1", out, log)) << client;
        EXPECT_EQ(user, u) << client;
        if (!handed_on) {
            EXPECT_EQ("untouched", out) << client;
            return;
        }
        ASSERT_EQ(2 + 16 + 48u, out.size()) << client << ": " << out;
        EXPECT_EQ('{', out.front());
        EXPECT_EQ('}', out.back());
        std::string plain;
        zbc_decrypt_password(plain, out.substr(1, out.size() - 2), "SAVE1");
        EXPECT_EQ("n3tw'Re!", plain) << client;
    };
    hand_on("nw1", "adm", true);
    hand_on("o'hara", "adm", true);
    hand_on("srv3", "root", false);  // empty password
    hand_on("nosuch", "-", false);
    change("update clients set password='NULL' where name='nw1'");
    hand_on("nw1", "adm", false);
    fake_tool("");
    hand_on("o'hara", "-", false);
}

// A missing, killed or failing tool, and a database that cannot be opened: both kinds of statement fail.
TEST_F(DbTest, ToolAndDatabaseFailures) {
    auto both_fail = [&](const std::string& what, const std::string& text) {
        for (const char* stmt : {"select name from clients", "update clients set os='x'"})
            EXPECT_EQ(0u, refused(stmt).find(text)) << what << ": " << stmt;
    };
    const std::string no_output = "didn't find the expected strings in SQL-pipe";
    const std::string tools[][2] = {
        {"", no_output},  // no tool at all
        // Killed after the header and one row: the rows are not trusted.
        {"printf 'damisql 1.0\\nSQL-1> x\\n\\nname\\t\\nsrv1\\t\\n'; kill -9 $$", no_output},
        {"echo 'damisql Error: cannot open database zarvo_db'; exit 2",
         "Error: cannot open database zarvo_db"},
    };
    for (const auto& [script, text] : tools) {
        fake_tool(script);
        both_fail(script, text);
    }
    for (const char* where : {"OA_DO_SQL", "OA_MAKE_DB_REC_LIS"})
        EXPECT_TRUE(sb->prot_has("E012-DATABAS",
                                 std::string(where) + " SQL pipe doesn't return the expected characters"));

    // This first-line error means "no rows".
    fake_tool("echo 'damisql Error: Invalid nested query'");
    EXPECT_EQ("0", change("select name from clients"));

    const std::string nodb = "Error: cannot open database zarvo_db: ";
    const std::string configs[][2] = {
        {"[zarvo_db]\nbackend=sqlite\nfile=" + sb->path("rw/db/missing.sqlite") + "\n", nodb},
        // A PostgreSQL server that does not listen.
        {"[zarvo_db]\nbackend=postgres\nconninfo=host=127.0.0.1 port=1 dbname=zarvo_db\n", nodb},
        {"[other_db]\nbackend=sqlite\n", nodb + "database zarvo_db is not configured"},
    };
    sb->set_var("gv_ro_db", sb->path("ro/db/"));
    for (const auto& [config, text] : configs) {
        testsupport::write_file(sb->path("etc/openrda.ini"), config);
        both_fail(config, text);
    }
}

// Every run of the tool is alone ("overlap" otherwise) and holds the
// semaphore for the process that started it.
TEST_F(DbTest, ConcurrentProcessesAreSerialised) {
    const std::string log_file = sb->path("rw/tmp/tool.log"), busy = sb->path("rw/tmp/busy");
    fake_tool("mkdir '" + busy + "' || echo overlap >> '" + log_file + "'\necho \"$(cat '" + sem_file() +
              "')\" >> '" + log_file + "'\n'" + sb->path("ro/db/damisql") + "' \"$@\"\nrc=$?\nrmdir '" +
              busy + "'\nexit $rc");
    std::set<int> pids;
    std::vector<exec::Child> kids;
    for (int p = 0; p < 3; ++p) {
        kids.push_back(exec::Child::call([&] {
            std::string m;
            for (int i = 0; i < 20; ++i)
                if (sql("update clients set os=os where client_id=1", m) != 1 || m != "1") return 1;
            return 0;
        }));
        pids.insert(kids.back().pid());
    }
    for (exec::Child& k : kids) {
        int st = 0;
        EXPECT_TRUE(k.wait(st) && WIFEXITED(st) && WEXITSTATUS(st) == 0) << "status " << st;
    }
    std::istringstream in(read_file(log_file));
    int runs = 0;
    for (std::string line; std::getline(in, line); ++runs) {
        EXPECT_TRUE(pids.count(std::atoi(line.c_str()))) << line;
        EXPECT_NE(std::string::npos, line.find(" cm_db_dummy")) << line;
    }
    EXPECT_EQ(60, runs);
}
