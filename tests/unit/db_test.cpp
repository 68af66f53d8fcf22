// The database layer without a database: record lists, conversion keywords, parsers on captured output.
#include <gtest/gtest.h>

#include <cstdio>
#include <tuple>

#include "db/records.hpp"
#include "db/sql.hpp"
#include "installation_env.hpp"

namespace {

using Rows = std::vector<std::string>;

class DbUnit : public ::testing::Test {
   protected:
    void fill(DB_REC_LIS& rl, std::initializer_list<const char*> recs) {
        for (const char* r : recs)
            ASSERT_EQ(1, rl.iRows ? iDB_SEL_ALLOC(&rl, r, log) : iDB_SEL_FIRST(&rl, r, log));
    }

    InstallationEnv env;
    str_log log;
};

TEST_F(DbUnit, ValuesByRowAndColumn) {
    DB_REC_LIS rl;
    rl.szId = "nodes";
    fill(rl, {"|name=srv1|os=Linux|", "|name=srv2|os=Solaris|", "|name=srv3|os=WNT|"});
    std::string ret, name, os;
    // iDB_SEL_GET's result, and its reason when there is one.
    auto get = [&](int row, auto... args) {
        const int rc = iDB_SEL_GET(&rl, row, ret, &log, args...);
        return ret.empty() ? std::to_string(rc) : std::to_string(rc) + " " + ret;
    };
    EXPECT_EQ("1", get(2, "name", &name, "os", &os, "x"));
    EXPECT_EQ("srv2 Solaris", name + " " + os);
    EXPECT_EQ("1", get(4, "name", &name, "x"));  // outside the list: nothing filled, still success
    EXPECT_EQ("srv2", name);

    // A prefix of a column name is not the column; earlier pairs stay filled.
    EXPECT_EQ("0 cannot find requested column nam", get(1, "name", &name, "nam", &os, "x"));
    EXPECT_EQ("srv1 ?", name + " " + os);

    // "d" releases the list after reading.
    EXPECT_EQ("1", get(3, "name", &name, "d"));
    EXPECT_EQ("srv3", name);
    EXPECT_EQ("0 empty record-list, cannot get requested data", get(1, "name", &name, "x"));
    EXPECT_EQ(0, iDB_SEL_ALLOC(&rl, "|a=1|", log));
    EXPECT_TRUE(env.sb.prot_has("E003-DATABAS", "DB_SEL_ALLOC nodes: the recordlist is empty"));

    fill(rl, {"|a=1|", "|a=2|"});
    testing::internal::CaptureStdout();
    DB_SEL_LOOP_RECORDS(&rl, 's');
    DB_SEL_LOOP_RECORDS(&rl, 'd');
    DB_SEL_LOOP_RECORDS(&rl, 's');
    EXPECT_EQ("|a=1|\n|a=2|\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(0, rl.iRows);
}

TEST_F(DbUnit, LongListsAreReleasedWithoutDeepRecursion) {
    // By a new first record, by "d", and when the list is dropped.
    DB_REC_LIS big;
    std::string ret, n;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 300000; ++i)
            ASSERT_EQ(1, i ? iDB_SEL_ALLOC(&big, "|n=x|", log) : iDB_SEL_FIRST(&big, "|n=0|", log));
        ASSERT_EQ(1, round == 1 ? iDB_SEL_GET(&big, 1, ret, &log, "n", &n, "d") : 1);
    }
}

TEST_F(DbUnit, ConversionsFollowTheDatabaseType) {
    const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
        {"ORACLE", "DATE", "2007-05-24", "20070524"},
        {"postgres", "DATE", "2007-05-24", "2007-05-24 00:00:00"},
        {"mysql", "DATE", "2007-05-24", ""},
        {"postgres", "DATE_ZARVO", "2007-05-24 13:14:15", "2007-05-24"},
        {"OpenAccess", "DATE_ZARVO", "2007", "2007 00:00"},
        {"xRx", "DATE_ZARVO", "20070524", "2007-05-24"},  // decided by the second character
        {"ORACLE", "MAX", "MAX(SIZE)", "MAX(SIZE)"},
        {"OpenAccess", "MAX", "x", "COL1"},
        {"postgres", "MAX", "x", "max"},
        {"ORACLE", "DATE_TIME_ZARVO", "12345678901234567890123456789012345",
         "1234567890123456789012345678901"},
    };
    for (const auto& [type, key, in, out] : cases) {
        env.sb.set_var("gv_db_type", type);
        std::string msg = in;
        EXPECT_EQ(1, iDB_ACCESS(key, msg, nullptr, log)) << type << " " << key;
        EXPECT_EQ(out, msg) << type << " " << key << " " << in;
    }
    std::string msg = "2007-05-24";
    EXPECT_EQ(0, iDB_ACCESS("DAY", msg, nullptr, log));
    EXPECT_EQ("wrong function-argument: DAY", msg);
    EXPECT_TRUE(env.sb.prot_has("E008-DATABAS", "CONVERT_DATE_TIME: wrong parameter DAY"));
    // Keywords never reach the tool: the database semaphore was never used.
    EXPECT_FALSE(testsupport::exists(env.work("sem/ctrl_db.sem")));
}

// Captured tool output after the prompt, for what the real tool cannot be made to produce.
struct Replay {
    explicit Replay(std::string text) : data(std::move(text)) {
        pp.fpPipe = fmemopen(data.data(), data.size(), "r");
    }
    std::string data;
    DB_PROC_PIP pp;
};

TEST_F(DbUnit, ParsersOnCapturedOutput) {
    // Only a line that begins with "Rows " ends the rows, not a value holding
    // the word; a run of tabs separates like one tab.
    const std::string rows = "\nname\tos\t\nsrv1\tLinux\t\nsrv2\tRows 2\t\nsrv3\t\t\tWNT\t\n";
    const std::pair<std::string, std::string> lists[] = {
        {rows + "Rows selected = 3\nElapsed time = 0.001 sec\n", "3"},
        {rows, "didn't find the expected strings in SQL-pipe"},
        {"\nname\t\nsrv1\t\nError while fetching rows, NativeError = 5\nMessage: database is locked\n",
         "Message: database is locked"},
    };
    for (const auto& [out, want] : lists) {
        Replay r(out);
        DB_REC_LIS rl;
        std::string msg;
        EXPECT_EQ(want == "3", iOA_MAKE_DB_REC_LIS(&r.pp, msg, &rl, log)) << out;
        EXPECT_EQ(want, msg) << out;
        Rows got;
        for (auto* e = rl.pstrFirstRec.get(); e; e = e->pstrNextRec.get()) got.push_back(e->cpData);
        if (want == "3") {
            EXPECT_EQ((Rows{"|name=srv1|os=Linux|", "|name=srv2|os=Rows 2|", "|name=srv3|os=WNT|"}), got);
        }
    }

    const std::pair<std::string, std::string> values[] = {
        {"\ncount\t\n42\t\nRows selected = 1\nElapsed time = 0.001 sec\n", "42\t"},
        {"\ncount\t\n", "didn't find the expected strings in SQL-pipe"},
    };
    for (const auto& [out, want] : values) {
        Replay r(out);
        std::string msg;
        EXPECT_EQ(want == "42\t", iOA_GET_CALCULATED_VALUE(&r.pp, msg, log)) << out;
        EXPECT_EQ(want, msg) << out;
    }
    EXPECT_TRUE(env.sb.prot_has("E012-DATABAS",
                                "OA_GET_CALCULATED_VALUE SQL pipe doesn't return the expected characters"));
}

}  // namespace
