// The agent's access to the system database: every statement runs through
// the SQL command tool "damisql" (one process per statement, serialised
// between all processes by the semaphore "ctrl_db"), and the tool's text
// output is parsed into a row count, a calculated value or a record list.
#pragma once

#include <string>
#include <string_view>

#include "db/records.hpp"
#include "exec/pipe.hpp"
#include "log/trace.hpp"

constexpr size_t kSqlLineWidth = 1024;    // main parse: lines of at most 1023 characters
constexpr size_t kSqlMsgLineWidth = 256;  // error and value parses: at most 255 characters
constexpr size_t kSqlTableWidth = 30;     // table name: at most 29 characters
constexpr size_t kSqlColumnWidth = 32;    // "name=" cell: names of at most 30 characters
constexpr int kSqlMaxColumns = 100;       // a query may have at most 99 columns
constexpr size_t kSqlRowLineMax = 65536;  // header and row lines are read whole up to this
constexpr const char* kSqlDatabase = "zarvo_db";
constexpr const char* kSqlSemaphore = "ctrl_db";

// Runs cpSqlCmd through the tool, or converts a keyword whose second
// character is 'A' ("DATE", "MAX", ...). cpMsg "export" on entry prints the
// query result as insert statements on stdout. Returns 1 with the row count,
// rows affected or calculated value in cpMsg, or 0 with an error text. The
// caller's statement is never changed.
int iDB_ACCESS(const std::string& cpSqlCmd, std::string& cpMsg, DB_REC_LIS* pRL, str_log strLog);

// Runs one prepared statement (cExportFlg 'y' or 'n') and parses the output.
int iOA_DO_SQL(const std::string& cpSqlCmd, char cExportFlg, std::string& cpMsg, DB_REC_LIS* pRL,
               str_log strLog);

// Lowers every character before the first "'" in place.
void SQL_LOWERCASE(std::string& cpSqlCmd);

// Makes the quoting safe for the tool and the shell, in place: stray
// apostrophes inside a quoted value of an update become 0xB4, double quotes
// inside single quotes become "_". 1 when unchanged, 0 when changed.
int CLEANUP_QUOTA(std::string& cpSqlCmd, str_log strLog);

// An outside value (a node name, an operating system, ...) as an SQL text
// literal for a statement given to iDB_ACCESS: in single quotes, each "'"
// doubled. CLEANUP_QUOTA rewrites the apostrophes after every "='" of an
// update and cannot tell a doubled one from a stray one, so for every value
// of an update (in_update) each "'" becomes 0xB4 here, as that repair would
// store it; an update therefore picks its rows by keys, not by such values.
std::string sql_value(std::string_view value, bool in_update = false);

// The output parsers; each reads the rest of the tool's output from pPP.
// An aggregate's value (row text, tab-terminated) into cpMsg; 1 or 0.
int iOA_GET_CALCULATED_VALUE(DB_PROC_PIP* pPP, std::string& cpMsg, str_log strLog);
// Rows into pRL, up to the line that begins with "Rows "; cpMsg = the row
// count. 1, or 0 with an error text.
int iOA_MAKE_DB_REC_LIS(DB_PROC_PIP* pPP, std::string& cpMsg, DB_REC_LIS* pRL, str_log strLog);
// Rows as "INSERT INTO" statements on stdout; cpMsg holds the table name on
// entry and the row count on success. 1 or 0.
int iOA_MAKE_EXPORT_FILE(DB_PROC_PIP* pPP, std::string& cpMsg, str_log strLog);

// The shell command that runs cpStatement through the tool in directory
// cpToolDir: the statement is double-quoted with backslash, backquote and
// double quote escaped ('$' is escaped by iPIPE_OPEN); a directory of
// other than harmless characters is double-quoted the same way.
std::string sql_tool_command(const std::string& cpToolDir, const std::string& cpStatement, bool bToolTrace);
