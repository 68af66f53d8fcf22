#include <gtest/gtest.h>

#include <cstdlib>

#include "db/records.hpp"
#include "db/sql.hpp"
#include "support/run.hpp"

namespace {

using testsupport::Sandbox;

// An installation for the protocol and the variable store, made current
// through ZARVO_INI for the test's lifetime.
class DbRecords : public ::testing::Test {
protected:
    void SetUp() override { setenv("ZARVO_INI", sb.root_file().c_str(), 1); }
    void TearDown() override { unsetenv("ZARVO_INI"); }

    // Protocol lines with the message tag and text (the writer's process id
    // stands between them).
    int prot_count(const std::string& tag, const std::string& text) const {
        std::string p = sb.protocol();
        int n = 0;
        size_t start = 0;
        for (size_t end; (end = p.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = p.substr(start, end - start);
            if (line.find(tag) != std::string::npos && line.find("]: " + text) != std::string::npos) ++n;
        }
        return n;
    }

    static void fill(DB_REC_LIS& rl, std::initializer_list<const char*> recs) {
        int row = 0;
        for (const char* r : recs) {
            rl.iSize = 64;
            ASSERT_EQ(1, ++row == 1 ? iDB_SEL_FIRST(&rl, r, log) : iDB_SEL_ALLOC(&rl, r, log));
        }
    }

    Sandbox sb;
    static inline str_log log;
};

TEST_F(DbRecords, GetByRowAndColumnKeepsOrReleasesTheList) {
    DB_REC_LIS rl;
    rl.szId = "nodes";
    fill(rl, {"|name=srv1|os=Linux|", "|name=srv2|os=Solaris|", "|name=srv3|os=WNT|"});
    ASSERT_EQ(3, rl.iRows);
    EXPECT_EQ(3, rl.pstrLastRec->iRow);

    std::string ret, name, os;
    EXPECT_EQ(1, iDB_SEL_GET(&rl, 2, ret, &log, "name", &name, "os", &os, "x"));
    EXPECT_EQ("srv2", name);
    EXPECT_EQ("Solaris", os);
    EXPECT_EQ(3, rl.iRows);

    // Rows outside the list fill nothing and still succeed.
    name = "untouched";
    EXPECT_EQ(1, iDB_SEL_GET(&rl, 4, ret, &log, "name", &name, "x"));
    EXPECT_EQ(1, iDB_SEL_GET(&rl, 0, ret, &log, "name", &name, "x"));
    EXPECT_EQ("untouched", name);

    EXPECT_EQ(1, iDB_SEL_GET(&rl, 3, ret, &log, "name", &name, "d"));
    EXPECT_EQ("srv3", name);
    EXPECT_EQ(0, rl.iRows);
    EXPECT_EQ(nullptr, rl.pstrFirstRec);

    EXPECT_EQ(0, iDB_SEL_GET(&rl, 1, ret, &log, "name", &name, "x"));
    EXPECT_EQ("empty record-list, cannot get requested data", ret);
    EXPECT_EQ(1, prot_count("E006-DATABAS", "nodes: empty recordlist, cannot catch requested data."));
}

TEST_F(DbRecords, MissingColumnsAndBadArguments) {
    DB_REC_LIS rl;
    rl.szId = "cols";
    fill(rl, {"|name=srv1|os=Solaris|"});
    const DB_REC_LIS_ELEMENT* rec = rl.pstrFirstRec.get();

    std::string v;
    EXPECT_EQ(1, iDB_SEL_WRITE_VALUE(rec, "os", v, "cols", log));
    EXPECT_EQ("Solaris", v);
    // A prefix of a column name is not the column.
    EXPECT_EQ(0, iDB_SEL_WRITE_VALUE(rec, "nam", v, "cols", log));
    EXPECT_EQ("?", v);
    EXPECT_EQ(1, prot_count("E005-DATABAS", "cols could not find column nam within record."));
    // Names are matched with their case.
    EXPECT_EQ(0, iDB_SEL_WRITE_VALUE(rec, "NAME", v, "cols", log));

    std::string ret, name, other;
    EXPECT_EQ(0, iDB_SEL_GET(&rl, 1, ret, &log, "name", &name, "nam", &other, "x"));
    EXPECT_EQ("srv1", name);  // earlier pairs stay filled
    EXPECT_EQ("?", other);
    EXPECT_EQ("cannot find requested column nam", ret);

    EXPECT_EQ(0, iDB_SEL_GET(&rl, 1, ret, &log, "name", nullptr, "x"));
    EXPECT_EQ("va_arg() returned NULL for cpValue argument", ret);
    EXPECT_EQ(0, iDB_SEL_GET(&rl, 1, ret, &log, "name", &name));
    EXPECT_EQ("va_arg() returned NULL for column argument", ret);
    EXPECT_EQ(1, rl.iRows);
}

TEST_F(DbRecords, AllocOnEmptyListAndBrokenLists) {
    DB_REC_LIS rl;
    rl.szId = "empty";
    EXPECT_EQ(0, iDB_SEL_ALLOC(&rl, "|a=1|", log));
    EXPECT_EQ(0, rl.iRows);
    EXPECT_EQ(1, prot_count("E003-DATABAS", "DB_SEL_ALLOC empty: the recordlist is empty"));

    // A list that claims more rows than it holds.
    fill(rl, {"|a=1|", "|a=2|"});
    rl.iRows = 4;
    std::string ret, a;
    EXPECT_EQ(0, iDB_SEL_GET(&rl, 4, ret, &log, "a", &a, "x"));
    EXPECT_EQ("unexpected NULL value", ret);
    EXPECT_EQ(1, prot_count("E007-DATABAS", "Unexpected NULL value."));

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    DB_SEL_LOOP_RECORDS(&rl, 's');
    EXPECT_EQ("|a=1|\n|a=2|\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ("DB_SEL_LOOP_RECORDS: unexpected NULL value\n", testing::internal::GetCapturedStderr());

    testing::internal::CaptureStderr();
    DB_SEL_LOOP_RECORDS(&rl, 'd');
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(0, rl.iRows);
    EXPECT_EQ(nullptr, rl.pstrFirstRec);

    testing::internal::CaptureStderr();
    DB_SEL_LOOP_RECORDS(&rl, 's');
    EXPECT_EQ("\nDB_SEL_LOOP_RECORDS id=empty: empty record-list, cannot get requested data\n",
              testing::internal::GetCapturedStderr());
}

TEST_F(DbRecords, LongListsAreReleasedWithoutRecursion) {
    DB_REC_LIS rl;
    rl.iSize = 16;
    ASSERT_EQ(1, iDB_SEL_FIRST(&rl, "|n=0|", log));
    for (int i = 1; i < 300000; ++i) ASSERT_EQ(1, iDB_SEL_ALLOC(&rl, "|n=x|", log));
    EXPECT_EQ(300000, rl.iRows);
    std::string ret, n;
    EXPECT_EQ(1, iDB_SEL_GET(&rl, 1, ret, &log, "n", &n, "d"));
    EXPECT_EQ("0", n);
    EXPECT_EQ(0, rl.iRows);
    // A list that is never released explicitly is released when it goes away.
    DB_REC_LIS other;
    for (int i = 0; i < 300000; ++i) ASSERT_EQ(1, i ? iDB_SEL_ALLOC(&other, "|n=y|", log) : iDB_SEL_FIRST(&other, "|n=y|", log));
}

TEST_F(DbRecords, ConversionsFollowTheDatabaseType) {
    struct Case {
        const char *type, *key, *in, *out;
    } cases[] = {
        {"ORACLE", "DATE", "2007-05-24", "20070524"},
        {"postgres", "DATE", "2007-05-24", "2007-05-24 00:00:00"},
        {"OpenAccess", "DATE", "2007-05-24", "2007-05-24 00:00:00"},
        {"mysql", "DATE", "2007-05-24", ""},
        {"ORACLE", "DATE_ZARVO", "20070524", "2007-05-24"},
        {"postgres", "DATE_ZARVO", "2007-05-24 13:14:15", "2007-05-24"},
        {"OpenAccess", "DATE_ZARVO", "2007", "2007 00:00"},
        {"xRx", "DATE_ZARVO", "20070524", "2007-05-24"},  // decided by the second character only
        {"ORACLE", "DATE_TIME_ZARVO", "2007-05-24 10:00:00", "2007-05-24 10:00:00"},
        {"sybase", "DATE_TIME_ZARVO", "2007-05-24 10:00:00", ""},
        {"ORACLE", "MAX", "MAX(SIZE)", "MAX(SIZE)"},
        {"OpenAccess", "MAX", "x", "COL1"},
        {"postgres", "MAX", "x", "max"},
    };
    for (const Case& c : cases) {
        sb.set_var("gv_db_type", c.type);
        std::string msg = c.in;
        EXPECT_EQ(1, iDB_ACCESS(c.key, msg, nullptr, log)) << c.type << " " << c.key;
        EXPECT_EQ(c.out, msg) << c.type << " " << c.key << " " << c.in;
    }
    // Values are taken to at most 31 characters.
    sb.set_var("gv_db_type", "ORACLE");
    std::string msg(40, 'a');
    EXPECT_EQ(1, iDB_CONVERT_DATE_TIME("DATE_TIME_ZARVO", msg, log));
    EXPECT_EQ(std::string(31, 'a'), msg);

    msg = "2007-05-24";
    EXPECT_EQ(0, iDB_ACCESS("DAY", msg, nullptr, log));
    EXPECT_EQ("wrong function-argument: DAY", msg);
    EXPECT_EQ(1, prot_count("E008-DATABAS", "CONVERT_DATE_TIME: wrong parameter DAY"));
    // Keywords never reach the tool, so the database semaphore was never used.
    EXPECT_FALSE(testsupport::exists(sb.path("rw/work/sem/ctrl_db.sem")));
}

}  // namespace
