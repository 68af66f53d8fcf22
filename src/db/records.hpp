// Record lists of query results: one text per row in which every column is
// written as "|name=value", closed by "|"; lookups by row number and column
// name; and the conversion keywords (dates, aggregate column names) that
// depend on the type of the system database.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "log/trace.hpp"

constexpr size_t kRecListIdWidth = 32;     // szId: the caller's name, at most 31 characters
constexpr size_t kColumnKeyWidth = 32;     // "|" + column name + "=" is cut to 31 characters
constexpr size_t kConvertValueWidth = 32;  // a value to convert: at most 31 characters

// One record. Owns its text and, through pstrNextRec, the rest of the list.
struct DB_REC_LIS_ELEMENT {
    int iRow = 0;        // row number, from 1
    std::string cpData;  // "|name=value|name=value|"
    std::unique_ptr<DB_REC_LIS_ELEMENT> pstrNextRec;
};

// A query result. Usually a caller's local; starts empty. Releasing is the
// delete walk (DB_SEL_LOOP_RECORDS 'd' or the "d" terminator of
// iDB_SEL_GET); records still held when the list goes away are released then.
struct DB_REC_LIS {
    DB_REC_LIS() = default;
    DB_REC_LIS(const DB_REC_LIS&) = delete;
    DB_REC_LIS& operator=(const DB_REC_LIS&) = delete;
    ~DB_REC_LIS();

    std::string szId;  // the caller's name for the list, shown as "id"
    int iRows = 0;     // number of records; 0 = empty, the links are not looked at
    int iSize = 0;     // bytes to reserve for the next record text
    std::unique_ptr<DB_REC_LIS_ELEMENT> pstrFirstRec;
    DB_REC_LIS_ELEMENT* pstrLastRec = nullptr;

    // Releases every record without recursion (lists can be long).
    void release_chain();
};

// Starts the list with cpData as row 1 (records held before are released).
// 1, or 0 with E002 when memory is short.
int iDB_SEL_FIRST(DB_REC_LIS* pRL, const std::string& cpData, str_log strLog);

// Appends cpData as the next row. 1; 0 with E003 when the list is empty, or
// with E004 when memory is short.
int iDB_SEL_ALLOC(DB_REC_LIS* pRL, const std::string& cpData, str_log strLog);

// One argument of iDB_SEL_GET's pair list: a column name (or the terminator
// "x" / "d") or a value buffer. Null pointers are kept to be reported.
struct DbSelArg {
    const char* name = nullptr;
    std::string* value = nullptr;
};
inline DbSelArg db_sel_arg(const char* n) {
    return {n, nullptr};
}
inline DbSelArg db_sel_arg(std::string* v) {
    return {nullptr, v};
}
inline DbSelArg db_sel_arg(std::nullptr_t) {
    return {};
}

int iDB_SEL_GET_list(DB_REC_LIS* pRL, int iGetRow, std::string& cpReturn, str_log* pStrLog,
                     const std::vector<DbSelArg>& args);

// Fills value buffers from row iGetRow (from 1): the arguments after
// pStrLog are pairs of column name and std::string*, ended by "x" (keep the
// list) or "d" (release it). 1, or 0 with the reason in cpReturn (empty
// list E006, broken list E007, missing column: earlier pairs stay filled).
// A row number outside the list fills nothing and returns 1.
template <class... Args>
int iDB_SEL_GET(DB_REC_LIS* pRL, int iGetRow, std::string& cpReturn, str_log* pStrLog, Args... args) {
    return iDB_SEL_GET_list(pRL, iGetRow, cpReturn, pStrLog, {db_sel_arg(args)...});
}

// Copies the value of column cpCurCol of the record into cpValue. 1 when
// found; else cpValue = "?", E005 with cpId, and 0.
int iDB_SEL_WRITE_VALUE(const DB_REC_LIS_ELEMENT* pstrCurRec, const char* cpCurCol, std::string& cpValue,
                        const std::string& cpId, str_log strLog);

// 's': prints every record text on stdout (an empty list is reported on
// stderr); 'd': releases every record; iRows is 0 afterwards.
void DB_SEL_LOOP_RECORDS(DB_REC_LIS* pRL, char cSwitch);

// Runs query cpSql and copies column cpColumn of its first row into cpValue
// (the list is released). 1 when the query succeeded with at least one row
// ("?" when the column is missing); 0 leaves cpValue untouched.
int iDB_SEL_GETVALUE(const char* cpSql, const char* cpColumn, std::string& cpValue, str_log strLog);

// Converts cpMsg (at most 31 characters are used) for the database type
// "gv_db_type" by keyword "DATE", "DATE_ZARVO", "DATE_TIME_ZARVO" or "MAX".
// 1; 0 with "wrong function-argument: KEY" and E008 for any other keyword.
int iDB_CONVERT_DATE_TIME(const char* cpKeyWord, std::string& cpMsg, str_log strLog);

// The converters; each writes and returns output (empty for an unknown
// database type).
std::string& cpDB_DATE(const std::string& input, std::string& output);
std::string& cpDB_DATE_ZARVO(const std::string& input, std::string& output);
std::string& cpDB_DATE_TIME_ZARVO(const std::string& input, std::string& output);
std::string& cpDB_MAX_COL_NAME(const std::string& input, std::string& output);
