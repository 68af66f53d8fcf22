#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "db/sql.hpp"
#include "support/run.hpp"

namespace {

using testsupport::Sandbox;

// Captured output of the tool, replayed through a pipe record.
struct Replay {
    explicit Replay(std::string text) : data(std::move(text)) {
        pp.fpPipe = fmemopen(data.data(), data.size(), "r");
    }
    std::string data;
    DB_PROC_PIP pp;
};

// The part of a query's output that the parsers see (after the prompt line).
std::string query_output(const std::string& header, const std::vector<std::string>& rows) {
    std::string s = "\n" + header + "\n";
    for (const auto& r : rows) s += r + "\n";
    return s + "Rows selected = " + std::to_string(rows.size()) + "\nElapsed time = 0.001 sec\n";
}

std::string wide_header(int columns) {
    std::string h;
    for (int i = 1; i <= columns; ++i) h += "c" + std::to_string(i) + "\t";
    return h;
}

class DbParse : public ::testing::Test {
protected:
    void SetUp() override { setenv("ZARVO_INI", sb.root_file().c_str(), 1); }
    void TearDown() override { unsetenv("ZARVO_INI"); }
    // A protocol line with the message tag and text (the writer's process id
    // stands between them).
    bool in_prot(const std::string& tag, const std::string& text) const {
        std::string p = sb.protocol();
        size_t start = 0;
        for (size_t end; (end = p.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = p.substr(start, end - start);
            if (line.find(tag) != std::string::npos && line.find("]: " + text) != std::string::npos) return true;
        }
        return false;
    }

    std::vector<std::string> records(const DB_REC_LIS& rl) {
        std::vector<std::string> out;
        for (auto* e = rl.pstrFirstRec.get(); e && static_cast<int>(out.size()) < rl.iRows; e = e->pstrNextRec.get())
            out.push_back(e->cpData);
        return out;
    }

    Sandbox sb;
    str_log log;
};

TEST_F(DbParse, RowsBecomeRecordTexts) {
    Replay r(query_output("name\tos\t", {"srv1\tLinux\t", "srv2\tNULL\t", "srv3\t\t\tWNT\t"}));
    DB_REC_LIS rl;
    rl.szId = "q";
    std::string msg;
    ASSERT_EQ(1, iOA_MAKE_DB_REC_LIS(&r.pp, msg, &rl, log)) << msg;
    EXPECT_EQ("3", msg);
    // A run of tabs separates like one tab.
    EXPECT_EQ((std::vector<std::string>{"|name=srv1|os=Linux|", "|name=srv2|os=NULL|", "|name=srv3|os=WNT|"}),
              records(rl));
    EXPECT_EQ(3, rl.pstrLastRec->iRow);

    Replay none(query_output("name\t", {}));
    EXPECT_EQ(1, iOA_MAKE_DB_REC_LIS(&none.pp, msg, &rl, log));
    EXPECT_EQ("0", msg);
}

TEST_F(DbParse, MalformedQueryOutputFails) {
    DB_REC_LIS rl;
    rl.szId = "bad";
    std::string msg;
    {
        Replay r("Error while preparing the statement, NativeError = 1\nMessage: no such table: t\nElapsed time = 0\n");
        EXPECT_EQ(0, iOA_MAKE_DB_REC_LIS(&r.pp, msg, &rl, log));
        EXPECT_EQ("Message: no such table: t", msg);
        EXPECT_TRUE(in_prot("E009-DATABAS", "OA_MAKE_DB_REC_LIS bad: Message: no such table: t"));
    }
    {
        Replay r("\nname\t\nsrv1\t\nError while fetching rows, NativeError = 5\nMessage: database is locked\n");
        EXPECT_EQ(0, iOA_MAKE_DB_REC_LIS(&r.pp, msg, &rl, log));
        EXPECT_EQ("Message: database is locked", msg);
        EXPECT_TRUE(in_prot("E009-DATABAS", "OA_MAKE_DB_REC_LIS OA_MAKE_DB_REC_LIS: Message: database is locked"));
    }
    // Output that stops before the closing "Rows" line, or right away.
    for (const char* text : {"\nname\t\nsrv1\t\n", "\nname\t\n", "\n", ""}) {
        Replay r(text);
        EXPECT_EQ(0, iOA_MAKE_DB_REC_LIS(&r.pp, msg, &rl, log)) << text;
        EXPECT_FALSE(msg.empty());
    }
    EXPECT_TRUE(in_prot("E012-DATABAS", "OA_MAKE_DB_REC_LIS SQL pipe doesn't return the expected characters"));
}

TEST_F(DbParse, AtMostNinetyNineColumns) {
    DB_REC_LIS rl;
    rl.szId = "wide";
    std::string msg;
    Replay ok(query_output(wide_header(99), {std::string(99 * 2, 'v')}));
    EXPECT_EQ(1, iOA_MAKE_DB_REC_LIS(&ok.pp, msg, &rl, log)) << msg;

    Replay wide(query_output(wide_header(100), {"1\t"}));
    EXPECT_EQ(0, iOA_MAKE_DB_REC_LIS(&wide.pp, msg, &rl, log));
    EXPECT_EQ("too much columns ( max 100 )", msg);
    EXPECT_TRUE(in_prot("E010-DATABAS", "OA_MAKE_DB_REC_LIS wide: too much columns ( max 100 )"));

    Replay wide_export(query_output(wide_header(100), {"1\t"}));
    testing::internal::CaptureStdout();
    msg = "t";
    EXPECT_EQ(0, iOA_MAKE_EXPORT_FILE(&wide_export.pp, msg, log));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

TEST_F(DbParse, CalculatedValue) {
    std::string msg;
    Replay r(query_output("count\t", {"42\t"}));
    EXPECT_EQ(1, iOA_GET_CALCULATED_VALUE(&r.pp, msg, log));
    EXPECT_EQ("42\t", msg);

    Replay err("Error while preparing the statement, NativeError = 1\nMessage: no such table: x\nElapsed time = 0\n");
    EXPECT_EQ(0, iOA_GET_CALCULATED_VALUE(&err.pp, msg, log));
    EXPECT_EQ("Message: no such table: x", msg);

    Replay cut("\ncount\t\n");
    EXPECT_EQ(0, iOA_GET_CALCULATED_VALUE(&cut.pp, msg, log));
    EXPECT_EQ("didn't find the expected strings in SQL-pipe", msg);
    EXPECT_TRUE(in_prot("E012-DATABAS", "OA_GET_CALCULATED_VALUE SQL pipe doesn't return the expected characters"));
}

TEST_F(DbParse, ExportPrintsInsertStatements) {
    Replay r(query_output("a\tb\t", {"1\tNULL\t", "x y\t2\t"}));
    std::string msg = "t";
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, iOA_MAKE_EXPORT_FILE(&r.pp, msg, log));
    EXPECT_EQ(
        "connect zarvo_db\n"
        "INSERT INTO t (a,b) VALUES ('1',NULL);\n"
        "INSERT INTO t (a,b) VALUES ('x y','2');\n",
        testing::internal::GetCapturedStdout());
}

TEST(DbQuoting, LowercaseStopsAtTheFirstQuote) {
    std::string s = "SELECT Name FROM Clients WHERE name='MyHost' AND OS='Linux'";
    SQL_LOWERCASE(s);
    EXPECT_EQ("select name from clients where name='MyHost' AND OS='Linux'", s);
}

TEST(DbQuoting, CleanupQuotaRepairsQuotedValues) {
    str_log log;
    struct Case {
        std::string in, out;
        int unchanged;
    } cases[] = {
        // An apostrophe inside an assigned value; the where clause is untouched.
        {"update clients set user_name='O'Brien' where name='srv1'",
         "update clients set user_name='O\xb4" "Brien' where name='srv1'", 0},
        {"update clients set user_name= 'a'b'c', os='Linux' where name='srv1'",
         "update clients set user_name= 'a\xb4" "b\xb4" "c', os='Linux' where name='srv1'", 0},
        // Well-formed statements pass unchanged.
        {"update clients set os='Linux', accessmode='SSH' where name='srv1'",
         "update clients set os='Linux', accessmode='SSH' where name='srv1'", 1},
        {"update t set a='x=y' where b='z'", "update t set a='x=y' where b='z'", 1},
        {"select name from clients where name='it''s'", "select name from clients where name='it''s'", 1},
        // Double quotes inside single quotes become '_', outside they stay.
        {"select \"name\" from clients where name='a\"b'", "select \"name\" from clients where name='a_b'", 0},
        {"update t set a='say \"hi\"'", "update t set a='say _hi_'", 0},
        {"update t set a='unterminated", "update t set a='unterminated", 1},
        {"", "", 1},
    };
    for (auto& c : cases) {
        std::string s = c.in;
        EXPECT_EQ(c.unchanged, CLEANUP_QUOTA(s, log)) << c.in;
        EXPECT_EQ(c.out, s) << c.in;
    }
}

}  // namespace
