#include "remote/alive.hpp"

#include "config/glbv.hpp"
#include "config/sema.hpp"
#include "db/records.hpp"
#include "db/sql.hpp"
#include "exec/fileutil.hpp"
#include "log/prot.hpp"
#include "remote/remote_cmd.hpp"
#include "remote/remote_words.hpp"
#include "util/strings.hpp"
#include "util/timeutil.hpp"

bool g_alive_check_running = false;

namespace {

constexpr size_t kAliveCmdMax = 255;

// rsh reports a refused login as a started command: only the client's own
// line proves that it ran.
bool reached_over_rsh(const std::string& node, str_log& log) {
    DB_REC_LIS rl;
    std::string rows;
    const std::string sql = "select clients.accessmode from clients where clients.name=" + sql_value(node);
    if (!iDB_ACCESS(sql, rows, &rl, log) || rows == "0") {
        DB_SEL_LOOP_RECORDS(&rl, 'd');
        return false;
    }
    std::string mode, ret;
    iDB_SEL_GET(&rl, 1, ret, &log, "accessmode", &mode, "d");
    return mode == "RSH" || mode == "RSH2";
}

}  // namespace

int alive_test_zbc(const std::string& cpNode, std::string& cpMsg, str_log strLog) {
    SM_TRACE(strLog, 0, "+++ ALIVE_TEST_ZBC  node %s", cpNode.c_str());
    if (!valid_node_name(cpNode)) {
        cpMsg = "invalid node name";
        SM_TRACE(strLog, 0, "--- ALIVE_TEST_ZBC returns 0, msg: '%s'", cpMsg.c_str());
        return 0;
    }
    SCT_SEMA sema{"alive_" + cpNode, "sm_lib alive_test_zbc", ""};
    i_SEMA('+', &sema, strLog);

    std::string work;
    glbv_get("gv_rw_work", work);
    const std::string file =
        sformat("%salive_%s_%s.tmp", work.c_str(), cpNode.c_str(), time_get(std::string_view("I")).c_str());
    i_FILE_DELETE(file, strLog);

    std::string cmd = "zbc";
    // The control-daemon road would otherwise wait as long as the daemon lets it.
    int r = REMOTE_CMD(cpNode + "|" + file + "||" + kNoInput, cmd, kAliveTimeoutSec, strLog);
    cmd = cut(cmd, kAliveCmdMax);
    int result = 0;
    if (r == 1 && !reached_over_rsh(cpNode, strLog)) {
        result = 1;
        cpMsg = "Node reachable";
    } else {
        std::string found = "zbc-3000:^";
        if (file_search(file, found)) {
            result = 1;
            cpMsg = "Node reachable; got " + found;
            SM_TRACE(strLog, 0, "%s", cpMsg.c_str());
        } else if (!file_exist(file)) {
            cpMsg = r == 1 || cmd.empty() ? "zbc-3000:^" : cmd;
        } else {
            SM_TRACE(strLog, 0, "Node %s not reachable", cpNode.c_str());
            cpMsg = sformat(pick(kMsgE020), cpNode.c_str());
        }
    }
    if (result == 1) {
        std::string found = "VERSION:^";
        if (file_search(file, found)) {
            SM_TRACE(strLog, 1, "%s", found.c_str());
            cpMsg = found.substr(found.find("VERSION:"));
        } else {
            cpMsg = "Node reachable: no zbc version found";
        }
    }
    i_FILE_DELETE(file, strLog);
    i_SEMA('-', &sema, strLog);
    SM_TRACE(strLog, 0, "--- ALIVE_TEST_ZBC returns %d, msg: '%s', node %s %s, return: %d", result,
             cpMsg.c_str(), cpNode.c_str(), result ? "is alive" : "is not reachable", result);
    return result;
}

int i_HIDDEN_ALIVE_TEST(const std::string& cpNode, std::string& cpMsg, str_log strOldLog) {
    str_log own = strOldLog;
    SM_TRACE(own, 0, "+++ HIDDEN_ALIVE_TEST  node %s", cpNode.c_str());
    v_set_log_main(own.szFile, "SM_ALIVE", own);
    int r = alive_test_zbc(cpNode, cpMsg, own);
    own = strOldLog;
    SM_TRACE(own, 0, "--- HIDDEN_ALIVE_TEST:  node %s %s, return: %d", cpNode.c_str(),
             r ? "is alive" : "is not reachable", r);
    return r;
}
