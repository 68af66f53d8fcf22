#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "db/sql.hpp"
#include "support/run.hpp"

namespace {

// Captured tool output, replayed through a pipe record.
struct Replay {
    explicit Replay(std::string text) : data(std::move(text)) {
        pp.fpPipe = fmemopen(data.data(), data.size(), "r");
    }
    std::string data;
    DB_PROC_PIP pp;
};

// What the parsers see of a query's output (the lines after the prompt).
std::string rows_output(const std::string& header, const std::vector<std::string>& rows) {
    std::string s = "\n" + header + "\n";
    for (const auto& r : rows) s += r + "\n";
    return s + "Rows selected = " + std::to_string(rows.size()) + "\nElapsed time = 0.001 sec\n";
}

class DbParse : public ::testing::Test {
   protected:
    void SetUp() override { setenv("ZARVO_INI", sb.root_file().c_str(), 1); }
    void TearDown() override { unsetenv("ZARVO_INI"); }
    bool in_prot(const std::string& tag, const std::string& text) const {
        std::istringstream in(sb.protocol());
        for (std::string l; std::getline(in, l);)
            if (l.find(tag) != std::string::npos && l.find("]: " + text) != std::string::npos) return true;
        return false;
    }
    testsupport::Sandbox sb;
    str_log log;
};

TEST_F(DbParse, RowsBecomeRecordTexts) {
    Replay r(rows_output("name\tos\t", {"srv1\tLinux\t", "srv2\tNULL\t", "srv3\t\t\tWNT\t"}));
    DB_REC_LIS rl;
    std::string msg;
    ASSERT_EQ(1, iOA_MAKE_DB_REC_LIS(&r.pp, msg, &rl, log)) << msg;
    EXPECT_EQ("3", msg);
    std::vector<std::string> got;
    for (auto* e = rl.pstrFirstRec.get(); e; e = e->pstrNextRec.get()) got.push_back(e->cpData);
    // A run of tabs separates like one tab.
    EXPECT_EQ((std::vector<std::string>{"|name=srv1|os=Linux|", "|name=srv2|os=NULL|", "|name=srv3|os=WNT|"}),
              got);
}

TEST_F(DbParse, MalformedOutputFails) {
    DB_REC_LIS rl;
    rl.szId = "bad";
    std::string msg;
    Replay prep(
        "Error while preparing the statement, NativeError = 1\nMessage: no such table: t\nElapsed time = "
        "0\n");
    EXPECT_EQ(0, iOA_MAKE_DB_REC_LIS(&prep.pp, msg, &rl, log));
    EXPECT_EQ("Message: no such table: t", msg);
    EXPECT_TRUE(in_prot("E009-DATABAS", "OA_MAKE_DB_REC_LIS bad: Message: no such table: t"));

    Replay fetch(
        "\nname\t\nsrv1\t\nError while fetching rows, NativeError = 5\nMessage: database is locked\n");
    EXPECT_EQ(0, iOA_MAKE_DB_REC_LIS(&fetch.pp, msg, &rl, log));
    EXPECT_EQ("Message: database is locked", msg);

    // Output that stops before the closing "Rows" line, or at once.
    for (const char* text : {"\nname\t\nsrv1\t\n", "\nname\t\n", "\n", ""}) {
        Replay r(text);
        EXPECT_EQ(0, iOA_MAKE_DB_REC_LIS(&r.pp, msg, &rl, log)) << text;
        EXPECT_EQ("didn't find the expected strings in SQL-pipe", msg);
    }
    EXPECT_TRUE(
        in_prot("E012-DATABAS", "OA_MAKE_DB_REC_LIS SQL pipe doesn't return the expected characters"));
}

TEST_F(DbParse, CalculatedValue) {
    std::string msg;
    Replay r(rows_output("count\t", {"42\t"}));
    EXPECT_EQ(1, iOA_GET_CALCULATED_VALUE(&r.pp, msg, log));
    EXPECT_EQ("42\t", msg);
    Replay err(
        "Error while preparing the statement, NativeError = 1\nMessage: no such table: x\nElapsed time = "
        "0\n");
    EXPECT_EQ(0, iOA_GET_CALCULATED_VALUE(&err.pp, msg, log));
    EXPECT_EQ("Message: no such table: x", msg);
    Replay cut("\ncount\t\n");
    EXPECT_EQ(0, iOA_GET_CALCULATED_VALUE(&cut.pp, msg, log));
    EXPECT_TRUE(
        in_prot("E012-DATABAS", "OA_GET_CALCULATED_VALUE SQL pipe doesn't return the expected characters"));
}

TEST(DbQuoting, LowercaseAndQuoteRepair) {
    std::string s = "SELECT Name FROM Clients WHERE name='MyHost' AND OS='Linux'";
    SQL_LOWERCASE(s);
    EXPECT_EQ("select name from clients where name='MyHost' AND OS='Linux'", s);

    str_log log;
    struct {
        std::string in, out;
        int unchanged;
    } cases[] = {
        // An apostrophe inside an assigned value; the where clause is untouched.
        {"update clients set user_name='O'Brien' where name='srv1'",
         "update clients set user_name='O\xb4"
         "Brien' where name='srv1'",
         0},
        {"update clients set user_name= 'a'b'c', os='Linux' where name='srv1'",
         "update clients set user_name= 'a\xb4"
         "b\xb4"
         "c', os='Linux' where name='srv1'",
         0},
        // Well-formed statements pass unchanged.
        {"update clients set os='Linux', accessmode='SSH' where name='srv1'",
         "update clients set os='Linux', accessmode='SSH' where name='srv1'", 1},
        {"update t set a='x=y' where b='z'", "update t set a='x=y' where b='z'", 1},
        {"update t set a='unterminated", "update t set a='unterminated", 1},
        {"", "", 1},
        // Double quotes inside single quotes become '_', outside they stay.
        {"select \"name\" from clients where name='a\"b'", "select \"name\" from clients where name='a_b'",
         0},
    };
    for (auto& c : cases) {
        s = c.in;
        EXPECT_EQ(c.unchanged, CLEANUP_QUOTA(s, log)) << c.in;
        EXPECT_EQ(c.out, s) << c.in;
    }
}

}  // namespace
