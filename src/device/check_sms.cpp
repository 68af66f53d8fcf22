#include "device/check_sms.hpp"

#include "config/glbv.hpp"
#include "device/timed_run.hpp"
#include "exec/system.hpp"
#include "util/shell_quote.hpp"
#include "util/timeutil.hpp"

namespace {

constexpr const char* kProcessTest = "ps -ef | grep sm_data_server | grep -v grep >/dev/null 2>&1";
constexpr const char* kAlarm = "sm_alarm CHECK_SMS \"restart of data-server failed - SMS not available\"";

// 1 found, 0 not, -1 deadline.
int process_found(std::string& msg) {
    const int limit = deadline_seconds("sm_data_server");
    const TimedRun r = run_with_deadline(kProcessTest, limit);
    if (r.timed_out) {
        msg = deadline_message("sm_data_server", limit);
        return -1;
    }
    return r.code == 0 ? 1 : 0;
}

// Runs "<bin>sm_main reload sms"; false when it hit its deadline.
bool reload(const std::string& bin, std::string& msg, str_log& log) {
    const std::string cmd = shell_arg(bin + "sm_main") + " reload sms";
    SM_TRACE(log, 0, "execute cmd: %s", cmd.c_str());
    const int limit = deadline_seconds("sm_main");
    if (run_with_deadline(cmd, limit).timed_out) {
        msg = deadline_message("sm_main", limit);
        return false;
    }
    SM_TRACE(log, 0, "wait %d seconds till dataserver are up", kSmsReloadWaitSec);
    wait_sec(kSmsReloadWaitSec);
    return true;
}

int check_after_reload(std::string& msg, str_log& log) {
    const int found = process_found(msg);
    if (found == 1) {
        SM_TRACE(log, 0, "--- CHECK_SMS: return: 1, restart ok");
        return 1;
    }
    if (found < 0) return -1;
    std::string alarm = kAlarm;
    start_proc(alarm);
    WRITE_TRACE(log, "??? CHECK_SMS restart of data-server failed - SMS not available");
    SM_TRACE(log, 0, "--- CHECK_SMS: return: 0, restart failed");
    return 0;
}

}  // namespace

int i_CHECK_SMS(int iRestartFlg, std::string& cpMsg, str_log strLog) {
    SM_TRACE(strLog, 0, "+++ CHECK_SMS: restart_flag: %d", iRestartFlg);
    std::string bin;
    if (iRestartFlg == 2) {
        bin = "gv_ro_bin:";
        resolve_path(bin);
    } else {
        const int found = process_found(cpMsg);
        if (found == 1) {
            SM_TRACE(strLog, 0, "--- CHECK_SMS: return: 1; sm_data_server found in process table");
            return 1;
        }
        if (found < 0) return -1;
        if (iRestartFlg != 1) {
            SM_TRACE(strLog, 0, "--- CHECK_SMS: return: 0; no sm_data_server found");
            return 0;
        }
        glbv_get("gv_ro_bin", bin);
    }
    if (!reload(bin, cpMsg, strLog)) return -1;
    return check_after_reload(cpMsg, strLog);
}

void SMS_SHUTDOWN(int /*iNum*/) {}
