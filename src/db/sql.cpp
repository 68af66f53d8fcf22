#include "db/sql.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <new>
#include <vector>

#include "config/environ.hpp"
#include "config/glbv.hpp"
#include "config/sema.hpp"
#include "log/prot.hpp"
#include "util/shell_quote.hpp"
#include "util/strings.hpp"

namespace {

const LangText kI001{
    "I001-DATABAS %s > SQLcommand: %s",
    "I001-DATABAS %s > SQL-Kommando: %s",
    "I001-DATABAS %s > SQL-Kommando: %s",
};
const LangText kE009{"E009-DATABAS OA_MAKE_DB_REC_LIS %s: %s"};
const LangText kE010{
    "E010-DATABAS OA_MAKE_DB_REC_LIS %s: too much columns ( max %d )",
    "E010-DATABAS OA_MAKE_DB_REC_LIS %s: zu viele Spalten ( max %d )",
    "E010-DATABAS OA_MAKE_DB_REC_LIS %s: zvoi Spalt\xb4n ( max. %d )",
};
const LangText kE011{
    "E011-DATABAS %s %s: cannot allocate memory  ( %d Bytes)",
    "E011-DATABAS %s %s: kann keine Memory allokieren  ( %d Bytes)",
    "E011-DATABAS %s %s: ko koan Memory allokieren ( %d Bytes )",
};
const LangText kE012{
    "E012-DATABAS %s SQL pipe doesn't return the expected characters",
    "E012-DATABAS %s SQL-Pipe liefert nicht die erwarteten Zeichen",
    "E012-DATABAS %s SQL-Pipe liefad nedd de gsuachdn Ausgab\xb4n",
};
const LangText kE013{
    "E013-DATABAS %s %s: error during opening a pipe.",
    "E013-DATABAS %s %s: Fehler beim \xd6"
    "ffnen einer Pipe",
    "E013-DATABAS %s %s: Fehla beim \xd6"
    "ffnen vo dera Pipe",
};
const LangText kE014{
    "E014-DATABAS OA_DO_SQL %s: error from SQLcommand: %s",
    "E014-DATABAS OA_DO_SQL %s: Fehler in SQL-Kommando: %s",
    "E014-DATABAS OA_DO_SQL %s: Fehla im SQL-Kommando: %s",
};
const LangText kE015{
    "E015-DATABAS OA_DO_SQL %s: error from DAMISQL: %s",
    "E015-DATABAS OA_DO_SQL %s: Fehler von DAMISQL: %s",
    "E015-DATABAS OA_DO_SQL %s: Fehla vom DAMISQL: %s",
};

constexpr const char* kNoExpectedOutput = "didn't find the expected strings in SQL-pipe";
constexpr const char* kPrompt = "SQL-1>";
constexpr size_t kSqlLowerMax = 1023;

bool has(const std::string& s, const char* what) {
    return s.find(what) != std::string::npos;
}
bool starts(const std::string& s, const char* what) {
    return s.rfind(what, 0) == 0;
}

std::string chomp(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

int read_line(DB_PROC_PIP* pPP, std::string& line, size_t width) {
    return iPIPE_READ(pPP, line, static_cast<int>(width));
}

// Fields of a tab-terminated line; runs of tabs count as one separator.
std::vector<std::string> tab_fields(const std::string& line) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < line.size()) {
        size_t t = line.find('\t', i);
        if (t == std::string::npos) t = line.size();
        if (t > i) out.emplace_back(line.substr(i, t - i));
        i = t + 1;
    }
    return out;
}

// After a failed prepare: lines (cut to 255) into cpMsg up to "Message:".
void read_error_message(DB_PROC_PIP* pPP, std::string& cpMsg) {
    std::string line;
    cpMsg.clear();
    while (read_line(pPP, line, kSqlMsgLineWidth) > 0) {
        cpMsg = chomp(line);
        if (has(line, "Message:")) break;
    }
    if (cpMsg.empty()) cpMsg = kNoExpectedOutput;
}

// The header line of a query: column names, at most 99. Returns false with
// cpMsg set when it is missing or too wide; header_size counts the newline.
enum class Header { ok, missing, too_wide };
Header read_header(DB_PROC_PIP* pPP, std::vector<std::string>& names, size_t& header_size) {
    std::string line;
    if (read_line(pPP, line, kSqlRowLineMax) == 0) return Header::missing;
    header_size = line.size();
    names = tab_fields(chomp(line));
    return names.size() >= static_cast<size_t>(kSqlMaxColumns) ? Header::too_wide : Header::ok;
}

// Releases the semaphore on every way out of a statement run.
class SemaHold {
   public:
    explicit SemaHold(const str_log& log) : log_(log) {
        s_.szSema = kSqlSemaphore;
        s_.szCaller = "cm_db_dummy";
        i_SEMA('+', &s_, log_);
    }
    ~SemaHold() { i_SEMA('-', &s_, log_); }
    SemaHold(const SemaHold&) = delete;
    SemaHold& operator=(const SemaHold&) = delete;

   private:
    SCT_SEMA s_;
    str_log log_;
};

// Name of the table a statement works on; empty when none is found.
std::string table_name(const std::string& sql) {
    const char* key = nullptr;
    if (starts(sql, "select") || starts(sql, "delete"))
        key = " from ";
    else if (starts(sql, "update"))
        key = "update ";
    else if (starts(sql, "insert"))
        key = " into ";
    if (!key) return {};
    size_t at = sql.find(key);
    if (at == std::string::npos) return {};
    at += std::string_view(key).size();
    size_t end = sql.find_first_of(" \t\n", at);
    return cut(sql.substr(at, end == std::string::npos ? std::string::npos : end - at), kSqlTableWidth - 1);
}

}  // namespace

void SQL_LOWERCASE(std::string& cpSqlCmd) {
    for (char& c : cpSqlCmd) {
        if (c == '\'') break;
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
}

int CLEANUP_QUOTA(std::string& s, str_log strLog) {
    int unchanged = 1;
    if (starts(s, "update")) {
        bool replaced_for_good = false;
        for (size_t i = 0; s.size() > 1 && i < s.size() - 1; ++i) {
            size_t open;
            if (s.compare(i, 2, "='") == 0)
                open = i + 1;
            else if (s.compare(i, 3, "= '") == 0)
                open = i + 2;
            else
                continue;
            i = open + 1;
            SM_TRACE(strLog, 2, "found begin quote: %s", s.c_str() + open);
            size_t first = s.find('\'', i);
            if (first == std::string::npos) continue;
            SM_TRACE(strLog, 2, "found next quote: %s", s.c_str() + first);
            size_t end = s.find('=', i);
            if (end == std::string::npos) end = s.find("where", i);
            if (end == std::string::npos) end = s.size();
            SM_TRACE(strLog, 2, "check until next item: %s", s.c_str() + std::min(end, s.size()));
            size_t last = std::string::npos;
            int count = 0;
            for (size_t j = first; j < end; ++j) {
                if (s[j] != '\'') continue;
                s[j] = '\xb4';
                last = j;
                ++count;
                ++i;
                SM_TRACE(strLog, 2, "in while: change quote: %s", s.c_str() + j);
            }
            if (last != std::string::npos) {
                s[last] = '\'';  // the last one closes the value
                SM_TRACE(strLog, 2, "reset last quote: %s", s.c_str() + last);
            }
            if (count > 1) replaced_for_good = true;
        }
        if (replaced_for_good) {
            SM_TRACE(strLog, 0, "Warning: CLEANUP_QUOTA: exchanged extra ' in SQL statement");
            unchanged = 0;
        }
    }
    bool inside = false;
    for (char& c : s) {
        if (c == '\'') {
            inside = !inside;
        } else if (c == '"' && inside) {
            c = '_';
            SM_TRACE(strLog, 0, "Warning: CLEANUP_QUOTA: removed extra \" in SQL statement");
            unchanged = 0;
        }
    }
    return unchanged;
}

std::string sql_value(std::string_view value, bool in_update) {
    std::string out;
    out.reserve(value.size() + 2);
    out += '\'';
    for (char c : value) {
        if (c != '\'') {
            out += c;
        } else if (in_update) {
            out += '\xb4';
        } else {
            out += "''";
        }
    }
    out += '\'';
    return out;
}

std::string sql_tool_command(const std::string& cpToolDir, const std::string& cpStatement, bool bToolTrace) {
    std::string quoted;
    quoted.reserve(cpStatement.size() + 8);
    for (char c : cpStatement) {
        if (c == '\\' || c == '`' || c == '"') quoted += '\\';
        quoted += c;
    }
    // The directory comes from the store; its '$' signs are left to iPIPE_OPEN.
    const std::string dir = cpToolDir.empty() || shell_arg(cpToolDir) == cpToolDir
                                ? cpToolDir
                                : "\"" + shell_dquote_body(cpToolDir, false) + "\"";
    return sformat(bToolTrace ? "%sdamisql -d %s -q \"%s\" -xall:ff <%s" : "%sdamisql -d %s -q \"%s\" <%s",
                   dir.c_str(), kSqlDatabase, quoted.c_str(), "/dev/null");
}

int iOA_GET_CALCULATED_VALUE(DB_PROC_PIP* pPP, std::string& cpMsg, str_log strLog) {
    SM_TRACE(strLog, 1, "+++ OA_GET_CALCULATED_VALUE");
    std::string scratch;
    read_line(pPP, scratch, kSqlMsgLineWidth);
    read_line(pPP, scratch, kSqlMsgLineWidth);
    if (read_line(pPP, cpMsg, kSqlMsgLineWidth) == 0) {
        cpMsg = kNoExpectedOutput;
        SM_TRACE(strLog, 1, "--- OA_GET_CALCULATED_VALUE  returns 0   msg=%s", cpMsg.c_str());
        PROT(pick(kE012), "OA_GET_CALCULATED_VALUE");
        return 0;
    }
    cpMsg = chomp(cpMsg);
    int rc = 1;
    for (;;) {
        if (has(scratch, "Message:")) {
            cpMsg = chomp(scratch);
            rc = 0;
            break;
        }
        if (has(scratch, "Rows ") || has(scratch, "Elapsed time")) break;
        if (read_line(pPP, scratch, kSqlMsgLineWidth) == 0) break;
    }
    SM_TRACE(strLog, 1, "--- OA_GET_CALCULATED_VALUE  returns %d  msg=%s", rc, cpMsg.c_str());
    return rc;
}

int iOA_MAKE_DB_REC_LIS(DB_PROC_PIP* pPP, std::string& cpMsg, DB_REC_LIS* pRL, str_log strLog) {
    const std::string id = pRL->szId;
    SM_TRACE(strLog, 1, "+++ iOA_MAKE_DB_REC_LIS  id=%s", id.c_str());
    std::string line;
    if (read_line(pPP, line, kSqlLineWidth) == 0 || has(line, "Error while prepar")) {
        read_error_message(pPP, cpMsg);
        SM_TRACE(strLog, 1, "--- OA_MAKE_DB_REC_LIS returns 0  msg=%s", cpMsg.c_str());
        PROT(pick(kE009), id.c_str(), cpMsg.c_str());
        return 0;
    }
    std::vector<std::string> names;
    size_t header_size = 0;
    switch (read_header(pPP, names, header_size)) {
        case Header::missing:
            cpMsg = kNoExpectedOutput;
            SM_TRACE(strLog, 1, "--- OA_MAKE_DB_REC_LIS returns 0  msg=%s", cpMsg.c_str());
            PROT(pick(kE012), "OA_MAKE_DB_REC_LIS");
            return 0;
        case Header::too_wide:
            cpMsg = sformat("too much columns ( max %d )", kSqlMaxColumns);
            SM_TRACE(strLog, 0, "--- OA_MAKE_DB_REC_LIS  ERROR: %s", cpMsg.c_str());
            PROT(pick(kE010), id.c_str(), kSqlMaxColumns);
            return 0;
        case Header::ok: break;
    }
    std::vector<std::string> cells;
    for (const auto& n : names) cells.push_back(cut(n, kSqlColumnWidth - 2) + "=");

    SM_TRACE(strLog, 2, "read the values");
    int rows = 0;
    bool complete = false;
    while (read_line(pPP, line, kSqlRowLineMax) > 0) {
        if (starts(line, "Rows ")) {
            complete = true;
            break;
        }
        if (has(line, ", NativeError = ")) {
            read_line(pPP, cpMsg, kSqlMsgLineWidth);
            cpMsg = chomp(cpMsg);
            SM_TRACE(strLog, 1, "--- OA_MAKE_DB_REC_LIS  error: %s", cpMsg.c_str());
            PROT(pick(kE009), "OA_MAKE_DB_REC_LIS", cpMsg.c_str());
            return 0;
        }
        const int size = static_cast<int>(line.size() + header_size + 32);
        std::vector<std::string> values = tab_fields(chomp(line));
        std::string record;
        try {
            record.reserve(static_cast<size_t>(size));
            for (size_t c = 0; c < cells.size(); ++c) {
                record += '|';
                record += cells[c];
                if (c < values.size()) record += values[c];
            }
            record += '|';
        } catch (const std::bad_alloc&) {
            cpMsg = sformat("cannot allocate memory  ( %d bytes)", size);
            SM_TRACE(strLog, 1, "--- OA_MAKE_DB_REC_LIS  error: %s", cpMsg.c_str());
            PROT(pick(kE011), "OA_MAKE_DB_REC_LIS", id.c_str(), size);
            return 0;
        }
        ++rows;
        pRL->iSize = size;
        const int added = rows == 1 ? iDB_SEL_FIRST(pRL, record, strLog) : iDB_SEL_ALLOC(pRL, record, strLog);
        if (!added) {
            cpMsg = sformat("cannot allocate memory  ( %d bytes)", size);
            return 0;
        }
    }
    if (!complete) {
        // The tool ended before its closing line: the rows may be incomplete.
        cpMsg = kNoExpectedOutput;
        SM_TRACE(strLog, 1, "--- OA_MAKE_DB_REC_LIS returns 0  msg=%s", cpMsg.c_str());
        PROT(pick(kE012), "OA_MAKE_DB_REC_LIS");
        return 0;
    }
    cpMsg = sformat("%d", rows);
    SM_TRACE(strLog, 1, "--- OA_MAKE_DB_REC_LIS   rows=%s", cpMsg.c_str());
    return 1;
}

int iOA_MAKE_EXPORT_FILE(DB_PROC_PIP* pPP, std::string& cpMsg, str_log strLog) {
    const std::string table = cpMsg;
    SM_TRACE(strLog, 1, "+++ iOA_MAKE_EXPORT_FILE");
    std::string line;
    if (read_line(pPP, line, kSqlMsgLineWidth) == 0 || has(line, "Error while prepar")) {
        read_error_message(pPP, cpMsg);
        SM_TRACE(strLog, 1, "--- OA_MAKE_EXPORT_FILE returns 0  msg=%s", cpMsg.c_str());
        return 0;
    }
    SM_TRACE(strLog, 1, "read the column-names");
    std::vector<std::string> names;
    size_t header_size = 0;
    switch (read_header(pPP, names, header_size)) {
        case Header::missing:
            cpMsg = kNoExpectedOutput;
            PROT(pick(kE012), "OA_MAKE_EXPORT_FILE");
            return 0;
        case Header::too_wide:
            cpMsg = sformat("too much columns ( max %d )", kSqlMaxColumns);
            SM_TRACE(strLog, 0, "--- OA_MAKE_EXPORT_FILE  ERROR: too much columns ( max %d )",
                     kSqlMaxColumns);
            return 0;
        case Header::ok: break;
    }
    std::string cols;
    for (size_t c = 0; c < names.size(); ++c) cols += (c ? "," : "") + names[c];

    std::fputs("connect zarvo_db\n", stdout);
    int rows = 0;
    bool complete = false;
    while (read_line(pPP, line, kSqlRowLineMax) > 0) {
        if (starts(line, "Rows ")) {
            complete = true;
            break;
        }
        std::vector<std::string> values = tab_fields(chomp(line));
        std::string stmt = "INSERT INTO " + table + " (" + cols + ") VALUES (";
        for (size_t c = 0; c < names.size(); ++c) {
            const std::string v = c < values.size() ? values[c] : std::string();
            if (c) stmt += ',';
            stmt += v == "NULL" ? v : "'" + v + "'";
        }
        stmt += ");\n";
        std::fputs(stmt.c_str(), stdout);
        std::fflush(stdout);
        ++rows;
    }
    std::fflush(stdout);
    if (!complete) {
        cpMsg = kNoExpectedOutput;
        PROT(pick(kE012), "OA_MAKE_EXPORT_FILE");
        return 0;
    }
    cpMsg = sformat("%d", rows);
    SM_TRACE(strLog, 1, "--- iOA_MAKE_EXPORT_FILE");
    return 1;
}

int iOA_DO_SQL(const std::string& cpSqlCmd, char cExportFlg, std::string& cpMsg, DB_REC_LIS* pRL,
               str_log strLog) {
    const std::string id = pRL ? pRL->szId : std::string();
    SM_TRACE(strLog, 1, "+++ OA_DO_SQL  id=%s SQL=%s", id.c_str(), cpSqlCmd.c_str());
    if (pRL) pRL->iRows = 0;

    std::string tool_dir;
    if (!glbv_get("gv_ro_db", tool_dir)) tool_dir.clear();  // then the tool is looked up in PATH

    std::string table = table_name(cpSqlCmd);
    if (starts(cpSqlCmd, "select")) SM_TRACE(strLog, 1, "select from table %s", table.c_str());

    SemaHold hold(strLog);

    if (table.empty()) {
        std::string why = sformat("Could not find table name in statement %s", cpSqlCmd.c_str());
        SM_TRACE(strLog, 0, "%s", why.c_str());
        PROT(pick(kE014), id.c_str(), why.c_str());
    }

    std::string cmd = sql_tool_command(tool_dir, cpSqlCmd, strLog.iFlg > 3);
    SM_TRACE(strLog, 1, "call pipe open with cmd: %s", cmd.c_str());
    DB_PROC_PIP pipe;
    if (!iPIPE_OPEN(cmd, &pipe)) {
        SM_TRACE(strLog, 0, "OA_DO_SQL error from pipe open: %s", cmd.c_str());
        SM_TRACE(strLog, 1, "--- OA_DO_SQL return 0");
        cpMsg = chomp(cmd);
        PROT(pick(kI001), id.c_str(), cpSqlCmd.c_str());
        PROT(pick(kE013), "OA_DO_SQL", id.c_str());
        return 0;
    }

    int rc = 0;
    std::string line;
    const bool got_first = read_line(&pipe, line, kSqlLineWidth) > 0;
    if (got_first && has(line, " Error: ")) {
        if (has(line, " Invalid nested ")) {
            cpMsg = "0";
            rc = 1;
        } else {
            cpMsg = chomp(line.substr(line.find("Error: ")));
            PROT(pick(kI001), id.c_str(), cpSqlCmd.c_str());
            PROT(pick(kE014), id.c_str(), chomp(line).c_str());
        }
        SM_TRACE(strLog, 1, "--- OA_DO_SQL  returns %d  msg=%s", rc, cpMsg.c_str());
        iPIPE_CLOSE(&pipe);
        return rc;
    }

    bool prompt = false;
    if (got_first)
        while (read_line(&pipe, line, kSqlLineWidth) > 0)
            if (has(line, kPrompt)) {
                prompt = true;
                break;
            }

    auto report_no_output = [&] {
        cpMsg = kNoExpectedOutput;
        PROT(pick(kI001), id.c_str(), cpSqlCmd.c_str());
        PROT(pick(kE012), "OA_DO_SQL");
    };
    if (!prompt) {
        // Nothing or garbage came back: the tool did not start or is not ours.
        report_no_output();
    } else if (!starts(cpSqlCmd, "select")) {
        SM_TRACE(strLog, 2, "it's not a SQL select - so analyse output");
        bool decided = false;
        while (read_line(&pipe, line, kSqlLineWidth) > 0) {
            if (has(line, "Elapsed time")) {
                cpMsg.clear();
                rc = 1;
                decided = true;
                break;
            }
            SM_TRACE(strLog, 2, "%s", chomp(line).c_str());
            if (has(line, "Rows ") || has(line, "Message:")) {
                size_t at = line.find("Rows affected = ");
                if (at != std::string::npos) {
                    std::string rest = line.substr(at + 16);
                    cpMsg = rest.substr(0, rest.find_first_of(" \t\r\n"));
                } else {
                    cpMsg = chomp(line);
                }
                if (!cpMsg.empty() && cpMsg[0] == 'M') {
                    PROT(pick(kI001), id.c_str(), cpSqlCmd.c_str());
                    PROT(pick(kE015), id.c_str(), cpMsg.c_str());
                } else {
                    rc = 1;
                }
                decided = true;
                break;
            }
        }
        if (!decided) report_no_output();  // the tool never said what became of the statement
    } else {
        SM_TRACE(strLog, 2, "it's a SQL select");
        std::string low = cut(cpSqlCmd, kSqlLowerMax);
        lowercase(low);
        const bool aggregate =
            !has(low, "group by") && (starts(low, "select count(") || starts(low, "select sum(") ||
                                      starts(low, "select min(") || starts(low, "select max("));
        if (aggregate) {
            rc = iOA_GET_CALCULATED_VALUE(&pipe, cpMsg, strLog);
            size_t tab = cpMsg.find('\t');
            if (tab == std::string::npos)
                rc = 0;
            else
                cpMsg.resize(tab);
        } else if (cExportFlg == 'y') {
            if (!table.empty() && table.back() == ';') table.pop_back();
            cpMsg = table;
            rc = iOA_MAKE_EXPORT_FILE(&pipe, cpMsg, strLog);
        } else if (pRL) {
            rc = iOA_MAKE_DB_REC_LIS(&pipe, cpMsg, pRL, strLog);
        } else {
            cpMsg = "missing DB_REC_LIS-pointer";
            SM_TRACE(strLog, 0, "%s", cpMsg.c_str());
            PROT(pick(kE014), "", cpMsg.c_str());
        }
    }
    iPIPE_CLOSE(&pipe);
    SM_TRACE(strLog, 1, "--- OA_DO_SQL  returns %d  msg=%s", rc, cpMsg.c_str());
    return rc;
}

int iDB_ACCESS(const std::string& cpSqlCmd, std::string& cpMsg, DB_REC_LIS* pRL, str_log strLog) {
    if (cpSqlCmd.size() > 1 && cpSqlCmd[1] == 'A')
        return iDB_CONVERT_DATE_TIME(cpSqlCmd.c_str(), cpMsg, strLog);
    if (pRL)
        SM_TRACE(strLog, 0, "+++ DB_ACCESS id=%s  SQL=%s", pRL->szId.c_str(), cpSqlCmd.c_str());
    else
        SM_TRACE(strLog, 0, "+++ DB_ACCESS id=NULL  SQL=%s", cpSqlCmd.c_str());
    std::string sql;
    try {
        sql = cpSqlCmd;
    } catch (const std::bad_alloc&) {
        cpMsg = "ERROR alloca() for local copy of cpSqlCmd failed";
        SM_TRACE(strLog, 0, "%s", cpMsg.c_str());
        return 0;
    }
    SQL_LOWERCASE(sql);
    if (!CLEANUP_QUOTA(sql, strLog)) SM_TRACE(strLog, 0, "WARNING: cpSqlCmd was changed to: %s", sql.c_str());
    const char export_flag = cpMsg == "export" ? 'y' : 'n';
    if (export_flag == 'n') cpMsg.clear();
    i_setenv_zarvo("sm_db");
    int rc = iOA_DO_SQL(sql, export_flag, cpMsg, pRL, strLog);
    SM_TRACE(strLog, 0, "--- DB_ACCESS returns %d  msg=%s", rc, cpMsg.c_str());
    return rc;
}
