#include "db/records.hpp"

#include <cstdio>
#include <new>

#include "config/glbv.hpp"
#include "db/sql.hpp"
#include "log/prot.hpp"
#include "util/strings.hpp"

namespace {

const LangText kE002{
    "E002-DATABAS DB_SEL_FIRST %s: cannot allocate memory.",
    "E002-DATABAS DB_SEL_FIRST %s: kann keine Memory allokieren.",
    "E002-DATABAS DB_SEL_FIRST %s: ko koa Memory allokieren.",
};
const LangText kE003{
    "E003-DATABAS DB_SEL_ALLOC %s: the recordlist is empty, cannot allocate a new element.",
    "E003-DATABAS DB_SEL_ALLOC %s: die Recordsliste ist leer, kann kein neues Element allokieren",
    "E003-DATABAS DB_SEL_ALLOC %s: de Recordliste is laar, ko koa nei\xb4s Element allokieren",
};
const LangText kE004{
    "E004-DATABAS DB_SEL_ALLOC %s: cannot allocate memory.",
    "E004-DATABAS DB_SEL_ALLOC %s: kann keine Memory allokieren.",
    "E004-DATABAS DB_SEL_ALLOC %s: ko koan Memory allokieren.",
};
const LangText kE005{
    "E005-DATABAS %s could not find column %s within record.",
    "E005-DATABAS %s Feld %s nicht im Record gefunden",
    "E005-DATABAS %s s\xb4"
    "Feld %s hamma nedd im Record gfund\xb4n",
};
const LangText kE006{
    "E006-DATABAS %s: empty recordlist, cannot catch requested data.",
    "E006-DATABAS %s: Recordliste ist leer kann angeforderte Daten nicht holen",
    "E006-DATABAS %s: Recordliste is laar ko de ogfordatn Dat\xb4n nedd hoin",
};
const LangText kE007{
    "E007-DATABAS Unexpected NULL value.",
    "E007-DATABAS unerwarteter NULL-Wert",
    "E007-DATABAS do is a NULL-Wert wo koana sei dearf",
};
const LangText kE008{
    "E008-DATABAS CONVERT_DATE_TIME: wrong parameter %s",
    "E008-DATABAS CONVERT_DATE_TIME: falsches Argument %s",
    "E008-DATABAS CONVERT_DATE_TIME: foisches Argument %s",
};

// Builds one record element holding a copy of cpData; null when memory is short.
std::unique_ptr<DB_REC_LIS_ELEMENT> make_element(const DB_REC_LIS& rl, const std::string& cpData, int row) {
    try {
        auto e = std::make_unique<DB_REC_LIS_ELEMENT>();
        e->iRow = row;
        e->cpData.reserve(rl.iSize > 0 ? static_cast<size_t>(rl.iSize) : cpData.size() + 1);
        e->cpData = cpData;
        return e;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

std::string db_type() {
    std::string t;
    if (!glbv_get("gv_db_type", t)) t.clear();
    return t;
}

// Characters from..to (1-based, inclusive) of s, as far as s reaches.
std::string chars(const std::string& s, size_t from, size_t to) {
    if (s.size() < from) return {};
    return s.substr(from - 1, to - from + 1);
}

}  // namespace

DB_REC_LIS::~DB_REC_LIS() {
    release_chain();
}

void DB_REC_LIS::release_chain() {
    std::unique_ptr<DB_REC_LIS_ELEMENT> p = std::move(pstrFirstRec);
    while (p) p = std::move(p->pstrNextRec);
    pstrLastRec = nullptr;
}

int iDB_SEL_FIRST(DB_REC_LIS* pRL, const std::string& cpData, str_log strLog) {
    SM_TRACE(strLog, 2, "+++ DB_SEL_FIRST  id=%s", pRL->szId.c_str());
    auto e = make_element(*pRL, cpData, 1);
    if (!e) {
        SM_TRACE(strLog, 0, "DB_SEL_FIRST  cannot allocate memory");
        SM_TRACE(strLog, 2, "--- DB_SEL_FIRST  cannot allocate memory");
        PROT(pick(kE002), pRL->szId.c_str());
        return 0;
    }
    pRL->release_chain();
    pRL->pstrFirstRec = std::move(e);
    pRL->pstrLastRec = pRL->pstrFirstRec.get();
    pRL->iRows = 1;
    SM_TRACE(strLog, 2, "--- DB_SEL_FIRST  first record > %s <", pRL->pstrFirstRec->cpData.c_str());
    return 1;
}

int iDB_SEL_ALLOC(DB_REC_LIS* pRL, const std::string& cpData, str_log strLog) {
    SM_TRACE(strLog, 2, "+++ DB_SEL_ALLOC data:%s  id=%s", cpData.c_str(), pRL->szId.c_str());
    if (pRL->iRows == 0 || !pRL->pstrLastRec) {
        SM_TRACE(strLog, 2, "--- DB_SEL_ALLOC the record-list is empty, cannot allocate a new element");
        PROT(pick(kE003), pRL->szId.c_str());
        return 0;
    }
    auto e = make_element(*pRL, cpData, pRL->iRows + 1);
    if (!e) {
        SM_TRACE(strLog, 0, "DB_SEL_ALLOC  cannot allocate memory");
        SM_TRACE(strLog, 2, "--- DB_SEL_ALLOC  cannot allocate memory");
        PROT(pick(kE004), pRL->szId.c_str());
        return 0;
    }
    ++pRL->iRows;
    DB_REC_LIS_ELEMENT* added = e.get();
    pRL->pstrLastRec->pstrNextRec = std::move(e);
    pRL->pstrLastRec = added;
    SM_TRACE(strLog, 2, "--- DB_SEL_ALLOC new rec >%s<", added->cpData.c_str());
    return 1;
}

int iDB_SEL_WRITE_VALUE(const DB_REC_LIS_ELEMENT* pstrCurRec, const char* cpCurCol, std::string& cpValue,
                        const std::string& cpId, str_log strLog) {
    SM_TRACE(strLog, 2, "+++ DB_SEL_WRITE_VALUE  cur.col.: %s", cpCurCol);
    std::string key;
    assign_cut(key, std::string("|") + cpCurCol + "=", kColumnKeyWidth);
    size_t at = pstrCurRec->cpData.find(key);
    if (at == std::string::npos) {
        cpValue = "?";
        std::string name = key.substr(1);
        if (!name.empty() && name.back() == '=') name.pop_back();
        PROT(pick(kE005), cpId.c_str(), name.c_str());
        if (strLog.iFlg > 2) {
            std::string why = sformat("Cannot find column %s in record", name.c_str());
            WRITE_TRACE(strLog, "--- DB_SEL_WRITE_VALUE error:%s", why.c_str());
        }
        return 0;
    }
    size_t from = at + key.size();
    size_t to = pstrCurRec->cpData.find('|', from);
    cpValue = pstrCurRec->cpData.substr(from, to == std::string::npos ? std::string::npos : to - from);
    SM_TRACE(strLog, 2, "--- DB_SEL_WRITE_VALUE success: found value %s", cpValue.c_str());
    return 1;
}

int iDB_SEL_GET_list(DB_REC_LIS* pRL, int iGetRow, std::string& cpReturn, str_log* pStrLog,
                     const std::vector<DbSelArg>& args) {
    str_log quiet;
    str_log& log = pStrLog ? *pStrLog : quiet;
    const std::string id = pRL->szId;
    SM_TRACE(log, 1, "+++ DB_SEL_GET  id=%s  row=%d", id.c_str(), iGetRow);
    cpReturn.clear();
    if (pRL->iRows == 0) {
        cpReturn = "empty record-list, cannot get requested data";
        SM_TRACE(log, 1, "--- DB_SEL_GET  error: %s", cpReturn.c_str());
        PROT(pick(kE006), id.c_str());
        return 0;
    }
    const DB_REC_LIS_ELEMENT* rec = pRL->pstrFirstRec.get();
    for (int count = 1; count <= pRL->iRows; ++count) {
        if (!rec) {
            cpReturn = "unexpected NULL value";
            PROT_text(pick(kE007));
            SM_TRACE(log, 1, "--- DB_SEL_GET  error:%s", cpReturn.c_str());
            return 0;
        }
        SM_TRACE(log, 2, "got record:%s", rec->cpData.c_str());
        if (count == iGetRow) {
            SM_TRACE(log, 2, "found row:%s", rec->cpData.c_str());
            for (size_t i = 0;; i += 2) {
                const char* name = i < args.size() ? args[i].name : nullptr;
                if (!name) {
                    cpReturn = "va_arg() returned NULL for column argument";
                    SM_TRACE(log, 1, "--- DB_SEL_GET  error: %s", cpReturn.c_str());
                    return 0;
                }
                if (std::string_view(name) == "x") break;
                if (std::string_view(name) == "d") {
                    DB_SEL_LOOP_RECORDS(pRL, 'd');
                    break;
                }
                std::string* value = i + 1 < args.size() ? args[i + 1].value : nullptr;
                if (!value) {
                    cpReturn = "va_arg() returned NULL for cpValue argument";
                    SM_TRACE(log, 1, "--- DB_SEL_GET  error: %s", cpReturn.c_str());
                    return 0;
                }
                if (!iDB_SEL_WRITE_VALUE(rec, name, *value, id, log)) {
                    cpReturn = sformat("cannot find requested column %s", name);
                    SM_TRACE(log, 1, "--- DB_SEL_GET  error: %s", cpReturn.c_str());
                    return 0;
                }
                SM_TRACE(log, 2, "cpValue >%s<", value->c_str());
            }
            break;  // the list may be gone ("d")
        }
        rec = rec->pstrNextRec.get();
    }
    SM_TRACE(log, 1, "--- DB_SEL_GET returns:>%s<", cpReturn.c_str());
    return 1;
}

void DB_SEL_LOOP_RECORDS(DB_REC_LIS* pRL, char cSwitch) {
    if (pRL->iRows == 0) {
        if (cSwitch == 's')
            std::fprintf(stderr,
                         "\nDB_SEL_LOOP_RECORDS id=%s: empty record-list, cannot get requested data\n",
                         pRL->szId.c_str());
        if (cSwitch == 'd') pRL->release_chain();
        return;
    }
    if (cSwitch == 's') {
        const DB_REC_LIS_ELEMENT* rec = pRL->pstrFirstRec.get();
        for (int n = 1; n <= pRL->iRows; ++n) {
            if (!rec) {
                std::fprintf(stderr, "DB_SEL_LOOP_RECORDS: unexpected NULL value\n");
                break;
            }
            std::printf("%s\n", rec->cpData.c_str());
            rec = rec->pstrNextRec.get();
        }
        std::fflush(stdout);
    } else if (cSwitch == 'd') {
        // A broken list (fewer records than iRows) is reported like the walk
        // would meet it; everything held is released either way.
        int held = 0;
        for (const DB_REC_LIS_ELEMENT* rec = pRL->pstrFirstRec.get(); rec && held < pRL->iRows;
             rec = rec->pstrNextRec.get())
            ++held;
        if (held < pRL->iRows) std::fprintf(stderr, "DB_SEL_LOOP_RECORDS: unexpected NULL value\n");
        pRL->release_chain();
        pRL->iRows = 0;
    }
}

int iDB_SEL_GETVALUE(const char* cpSql, const char* cpColumn, std::string& cpValue, str_log strLog) {
    SM_TRACE(strLog, 0, "+++ DB_SEL_GETVALUE");
    DB_REC_LIS rl;
    std::string msg;
    if (!iDB_ACCESS(cpSql, msg, &rl, strLog) || std::atoi(msg.c_str()) == 0) {
        SM_TRACE(strLog, 0, "Error during DBaccess or no record found");
        SM_TRACE(strLog, 0, "--- DB_SEL_GETVALUE");
        DB_SEL_LOOP_RECORDS(&rl, 'd');
        return 0;
    }
    std::string ret;
    iDB_SEL_GET(&rl, 1, ret, &strLog, cpColumn, &cpValue, "d");
    SM_TRACE(strLog, 0, "--- DB_SEL_GETVALUE %s", cpValue.c_str());
    return 1;
}

std::string& cpDB_DATE(const std::string& input, std::string& output) {
    const std::string t = db_type();
    if (t == "ORACLE")
        output = chars(input, 1, 4) + chars(input, 6, 7) + chars(input, 9, 10);
    else if (t == "OpenAccess" || t == "postgres")
        output = input + " 00:00:00";
    else
        output.clear();
    return output;
}

std::string& cpDB_DATE_ZARVO(const std::string& input, std::string& output) {
    const std::string t = db_type();
    const char second = t.size() > 1 ? t[1] : '\0';
    if (second == 'R')
        output = chars(input, 1, 4) + "-" + chars(input, 5, 6) + "-" + chars(input, 7, 8);
    else if (second == 'p' || second == 'o')
        output = cut(input + " 00:00:00", 10);
    else
        output.clear();
    return output;
}

std::string& cpDB_DATE_TIME_ZARVO(const std::string& input, std::string& output) {
    const std::string t = db_type();
    if (t == "ORACLE" || t == "OpenAccess" || t == "postgres")
        output = input;
    else
        output.clear();
    return output;
}

std::string& cpDB_MAX_COL_NAME(const std::string& input, std::string& output) {
    const std::string t = db_type();
    if (t == "ORACLE")
        output = input;
    else if (t == "OpenAccess")
        output = "COL1";
    else if (t == "postgres")
        output = "max";
    else
        output.clear();
    return output;
}

int iDB_CONVERT_DATE_TIME(const char* cpKeyWord, std::string& cpMsg, str_log strLog) {
    SM_TRACE(strLog, 1, "+++ DB_CONVERT_DATE_TIME  key=%s  msg=%s", cpKeyWord, cpMsg.c_str());
    std::string work;
    assign_cut(work, cpMsg, kConvertValueWidth);
    const std::string_view key(cpKeyWord);
    if (key == "DATE")
        cpDB_DATE(work, cpMsg);
    else if (key == "DATE_ZARVO")
        cpDB_DATE_ZARVO(work, cpMsg);
    else if (key == "DATE_TIME_ZARVO")
        cpDB_DATE_TIME_ZARVO(work, cpMsg);
    else if (key == "MAX")
        cpDB_MAX_COL_NAME(work, cpMsg);
    else {
        cpMsg = sformat("wrong function-argument: %s", cpKeyWord);
        SM_TRACE(strLog, 1, "--- DB_CONVERT_DATE_TIME returns 0 msg=%s", cpMsg.c_str());
        PROT(pick(kE008), cpKeyWord);
        return 0;
    }
    SM_TRACE(strLog, 1, "--- DB_CONVERT_DATE_TIME  returns 1  msg=%s", cpMsg.c_str());
    return 1;
}
