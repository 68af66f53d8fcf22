#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "db/records.hpp"
#include "db/sql.hpp"
#include "support/run.hpp"

namespace {

// An installation (protocol, variable store) made current through ZARVO_INI.
class DbRecords : public ::testing::Test {
   protected:
    void SetUp() override { setenv("ZARVO_INI", sb.root_file().c_str(), 1); }
    void TearDown() override { unsetenv("ZARVO_INI"); }

    // Protocol lines with the tag and text (the process id stands between).
    int prot_count(const std::string& tag, const std::string& text) const {
        std::istringstream in(sb.protocol());
        int n = 0;
        for (std::string l; std::getline(in, l);)
            n += l.find(tag) != std::string::npos && l.find("]: " + text) != std::string::npos;
        return n;
    }
    void fill(DB_REC_LIS& rl, std::initializer_list<const char*> recs) {
        for (const char* r : recs)
            ASSERT_EQ(1, rl.iRows ? iDB_SEL_ALLOC(&rl, r, log) : iDB_SEL_FIRST(&rl, r, log));
    }

    testsupport::Sandbox sb;
    str_log log;
};

TEST_F(DbRecords, ValuesByRowAndColumn) {
    DB_REC_LIS rl;
    rl.szId = "nodes";
    fill(rl, {"|name=srv1|os=Linux|", "|name=srv2|os=Solaris|", "|name=srv3|os=WNT|"});
    std::string ret, name, os;
    EXPECT_EQ(1, iDB_SEL_GET(&rl, 2, ret, &log, "name", &name, "os", &os, "x"));
    EXPECT_EQ("srv2", name);
    EXPECT_EQ("Solaris", os);
    // Rows outside the list fill nothing and still succeed.
    name = "untouched";
    EXPECT_EQ(1, iDB_SEL_GET(&rl, 4, ret, &log, "name", &name, "x"));
    EXPECT_EQ("untouched", name);

    // A prefix of a column name is not the column; earlier pairs stay filled.
    EXPECT_EQ(0, iDB_SEL_GET(&rl, 1, ret, &log, "name", &name, "nam", &os, "x"));
    EXPECT_EQ("srv1", name);
    EXPECT_EQ("?", os);
    EXPECT_EQ("cannot find requested column nam", ret);
    EXPECT_EQ(1, prot_count("E005-DATABAS", "nodes could not find column nam within record."));
    EXPECT_EQ(0, iDB_SEL_GET(&rl, 1, ret, &log, "name", nullptr, "x"));
    EXPECT_EQ("va_arg() returned NULL for cpValue argument", ret);
    EXPECT_EQ(0, iDB_SEL_GET(&rl, 1, ret, &log, "name", &name));
    EXPECT_EQ("va_arg() returned NULL for column argument", ret);

    EXPECT_EQ(1, iDB_SEL_GET(&rl, 3, ret, &log, "name", &name, "d"));
    EXPECT_EQ("srv3", name);
    EXPECT_EQ(0, rl.iRows);
    EXPECT_EQ(nullptr, rl.pstrFirstRec);
    EXPECT_EQ(0, iDB_SEL_GET(&rl, 1, ret, &log, "name", &name, "x"));
    EXPECT_EQ("empty record-list, cannot get requested data", ret);
    EXPECT_EQ(1, prot_count("E006-DATABAS", "nodes: empty recordlist, cannot catch requested data."));
}

TEST_F(DbRecords, EmptyAndBrokenLists) {
    DB_REC_LIS rl;
    rl.szId = "empty";
    EXPECT_EQ(0, iDB_SEL_ALLOC(&rl, "|a=1|", log));
    EXPECT_EQ(1, prot_count("E003-DATABAS", "DB_SEL_ALLOC empty: the recordlist is empty"));

    fill(rl, {"|a=1|", "|a=2|"});
    rl.iRows = 4;  // claims more than it holds
    std::string ret, a;
    EXPECT_EQ(0, iDB_SEL_GET(&rl, 4, ret, &log, "a", &a, "x"));
    EXPECT_EQ("unexpected NULL value", ret);
    EXPECT_EQ(1, prot_count("E007-DATABAS", "Unexpected NULL value."));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    DB_SEL_LOOP_RECORDS(&rl, 's');
    DB_SEL_LOOP_RECORDS(&rl, 'd');
    DB_SEL_LOOP_RECORDS(&rl, 's');
    EXPECT_EQ("|a=1|\n|a=2|\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(
        "DB_SEL_LOOP_RECORDS: unexpected NULL value\nDB_SEL_LOOP_RECORDS: unexpected NULL value\n"
        "\nDB_SEL_LOOP_RECORDS id=empty: empty record-list, cannot get requested data\n",
        testing::internal::GetCapturedStderr());
    EXPECT_EQ(0, rl.iRows);

    // Long lists are released without deep recursion, also when the list
    // is simply dropped.
    DB_REC_LIS big;
    for (int i = 0; i < 300000; ++i)
        ASSERT_EQ(1, i ? iDB_SEL_ALLOC(&big, "|n=x|", log) : iDB_SEL_FIRST(&big, "|n=0|", log));
    EXPECT_EQ(1, iDB_SEL_GET(&big, 1, ret, &log, "n", &a, "d"));
    EXPECT_EQ("0", a);
    for (int i = 0; i < 300000; ++i)
        ASSERT_EQ(1, i ? iDB_SEL_ALLOC(&big, "|n=x|", log) : iDB_SEL_FIRST(&big, "|n=0|", log));
}

TEST_F(DbRecords, ConversionsFollowTheDatabaseType) {
    struct {
        const char *type, *key, *in, *out;
    } cases[] = {
        {"ORACLE", "DATE", "2007-05-24", "20070524"},
        {"postgres", "DATE", "2007-05-24", "2007-05-24 00:00:00"},
        {"mysql", "DATE", "2007-05-24", ""},
        {"ORACLE", "DATE_ZARVO", "20070524", "2007-05-24"},
        {"postgres", "DATE_ZARVO", "2007-05-24 13:14:15", "2007-05-24"},
        {"OpenAccess", "DATE_ZARVO", "2007", "2007 00:00"},
        {"xRx", "DATE_ZARVO", "20070524", "2007-05-24"},  // decided by the second character
        {"ORACLE", "DATE_TIME_ZARVO", "2007-05-24 10:00:00", "2007-05-24 10:00:00"},
        {"sybase", "DATE_TIME_ZARVO", "2007-05-24 10:00:00", ""},
        {"ORACLE", "MAX", "MAX(SIZE)", "MAX(SIZE)"},
        {"OpenAccess", "MAX", "x", "COL1"},
        {"postgres", "MAX", "x", "max"},
        {"ORACLE", "DATE_TIME_ZARVO", "12345678901234567890123456789012345",
         "1234567890123456789012345678901"},
    };
    for (const auto& c : cases) {
        sb.set_var("gv_db_type", c.type);
        std::string msg = c.in;
        EXPECT_EQ(1, iDB_ACCESS(c.key, msg, nullptr, log)) << c.type << " " << c.key;
        EXPECT_EQ(c.out, msg) << c.type << " " << c.key << " " << c.in;
    }
    std::string msg = "2007-05-24";
    EXPECT_EQ(0, iDB_ACCESS("DAY", msg, nullptr, log));
    EXPECT_EQ("wrong function-argument: DAY", msg);
    EXPECT_EQ(1, prot_count("E008-DATABAS", "CONVERT_DATE_TIME: wrong parameter DAY"));
    // Keywords never reach the tool: the database semaphore was never used.
    EXPECT_FALSE(testsupport::exists(sb.path("rw/work/sem/ctrl_db.sem")));
}

}  // namespace
