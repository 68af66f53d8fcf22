// Feeds arbitrary bytes to the database layer's readers of the SQL tool's
// output (rows, calculated value, export), to the quote repair, and as a
// value to the quoting helper, whose literal must survive the repair.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "db/sql.hpp"

namespace {

// A minimal installation so that protocol messages go to /dev/null.
void make_installation() {
    char tmpl[] = "/tmp/sm_db_fuzz_XXXXXX";
    if (!mkdtemp(tmpl)) return;
    const std::string dir = tmpl;
    std::ofstream(dir + "/zarvo.ini") << "SM_INI=" << dir << "/sm.ini\n";
    std::ofstream(dir + "/sm.ini") << "[Pathes]\ngv_rw_glbv=" << dir << "/\n";
    std::ofstream(dir + "/gv_prot.sgv") << "/dev/null";
    setenv("ZARVO_INI", (dir + "/zarvo.ini").c_str(), 1);
}

// Runs one parser over data as if it came from the tool.
template <class Parse>
void replay(const uint8_t* data, size_t size, Parse parse) {
    std::string text(reinterpret_cast<const char*>(data), size);
    DB_PROC_PIP pp;
    pp.fpPipe = fmemopen(text.data(), text.size() ? text.size() : 1, "r");
    if (pp.fpPipe) parse(&pp);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    make_installation();
    // The export writes its statements to standard output.
    if (!freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    str_log log;
    std::string msg;
    replay(data, size, [&](DB_PROC_PIP* pp) {
        DB_REC_LIS rl;
        rl.szId = "fuzz";
        if (iOA_MAKE_DB_REC_LIS(pp, msg, &rl, log) == 1) {
            std::string ret, v;
            iDB_SEL_GET(&rl, 1, ret, &log, "a", &v, "d");
        }
    });
    replay(data, size, [&](DB_PROC_PIP* pp) { iOA_GET_CALCULATED_VALUE(pp, msg, log); });
    replay(data, size, [&](DB_PROC_PIP* pp) {
        msg = "t";
        iOA_MAKE_EXPORT_FILE(pp, msg, log);
    });
    std::string stmt(reinterpret_cast<const char*>(data), size);
    SQL_LOWERCASE(stmt);
    CLEANUP_QUOTA(stmt, log);
    std::string upd = "update " + std::string(reinterpret_cast<const char*>(data), size);
    CLEANUP_QUOTA(upd, log);

    // A quoted value stays one literal: the repair of updates never moves
    // its quotes, and a query keeps its doubled ones.
    const std::string value(reinterpret_cast<const char*>(data), size);
    const auto quotes = [](const std::string& s) { return std::count(s.begin(), s.end(), '\''); };
    std::string set = "update t set a=" + sql_value(value, true) + ", b=" + sql_value(value, true) +
                      " where k=" + sql_value(value, true);
    CLEANUP_QUOTA(set, log);
    if (quotes(set) != 6 || set.compare(0, 16, "update t set a='") != 0) std::abort();
    std::string query = "select a from t where b=" + sql_value(value);
    SQL_LOWERCASE(query);
    CLEANUP_QUOTA(query, log);
    if (quotes(query) != 2 + 2 * quotes(value)) std::abort();
    return 0;
}
