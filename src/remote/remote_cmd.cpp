#include "remote/remote_cmd.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "config/environ.hpp"
#include "config/glbv.hpp"
#include "config/sema.hpp"
#include "db/records.hpp"
#include "db/sql.hpp"
#include "exec/child.hpp"
#include "exec/fileutil.hpp"
#include "exec/system.hpp"
#include "ini/ini.hpp"
#include "log/prot.hpp"
#include "remote/alive.hpp"
#include "remote/ctrld_access.hpp"
#include "remote/remote_words.hpp"
#include "remote/rsh_access.hpp"
#include "remote/ssh_access.hpp"
#include "util/posix.hpp"
#include "util/shell_quote.hpp"
#include "util/strings.hpp"
#include "util/timeutil.hpp"

const LangText kMsgE014{
    "E014-HOSTS   RemoteCmd %s > error: %s",
    "E014-HOSTS   RemoteCmd %s > Fehler: %s",
    "E014-HOSTS   RemoteCmd %s > Fehla: %s",
};
const LangText kMsgE020{
    "E020-HOSTS   Computer %s currently not reachable",
    "E020-HOSTS   Rechner %s derzeit nicht erreichbar",
    "E020-HOSTS   Rechna %s is zuar Zeit nedd erreichbar",
    "E020-HOSTS   En ce moment, l\xb4"
    "ordinateur %s n\xb4"
    "est pas accessible",
};

namespace {

const LangText kMsgE019{
    "E019-HOSTS   RemoteCmd %s > invalid accessmode - %s",
    "E019-HOSTS   RemoteCmd %s > ung\xfcltiger AccessMode - %s",
    "E019-HOSTS   RemoteCmd %s > ung\xfcltiga AccessMode - %s",
};
const LangText kMsgW001{
    "W001-HOSTS   Computer %s not yet configured as backup-client - please do it now.",
    "W001-HOSTS   Rechner %s noch nicht konfiguriert - bitte nachholen",
    "W001-HOSTS   Rechna %s no nedd konfiguriad - bidsche nachhoin",
};
const LangText kMsgW002{
    "W002-HOSTS   Computer %s is defined multiple",
    "W002-HOSTS   Rechner %s ist mehrfach als Klient konfiguriert",
    "W002-HOSTS   Rechna %s is \xf6"
    "fta ois Klient konfiguriad",
};

constexpr const char* kNetwareVersion =
    "2000-01-01 00:00:00: zbc-3036: Info:     # @(#)ZARVO BACKUP CLIENT FOR NETWARE FILE SYSTEMS, "
    "VERSION: 1.7A3 Thu Apr 14 20:28:31 MEST 2005 Linux #";
constexpr size_t kCmdCopyMax = 1024;
constexpr int kAsyncPollsVerbose = 5;

void set_msg(std::string& buf, const std::string& msg) {
    buf = cut(msg, kRemoteMsgMax);
}

// The program directory named by the node's /etc/zarvo2000.ini, read over
// rsh into a scratch file of its own (the grep's lines are no part of the
// command's answer). rc: iRshCmd's result.
std::string remote_cmd_path(const std::string& node, const std::string& user, const std::string& near,
                            int& rc, std::string& msg, str_log& log) {
    std::string path = kDefaultCmdPath;
    const std::string file = near + ".cmdpath";
    i_FILE_DELETE(file, log);
    rc = iRshCmd(node, "root", user, "grep -i sm_bin_zarvo= /etc/zarvo2000.ini", file, file, kNoInput, msg,
                 log);
    std::string found = "SM_BIN_ZARVO=^";
    if (rc == 0 && file_search(file, found)) {
        path = cut(found.substr(std::min<size_t>(found.size(), 13)), kRemoteMsgMax);
        SM_TRACE(log, 2, "szCmdPath: %s", path.c_str());
    } else if (rc == 0) {
        SM_TRACE(
            log, 0,
            "Warning: Didn't find key sm_bin_zarvo in client's /etc/zarvo2000.ini!; Trying with szCmdPath = "
            "%s",
            path.c_str());
        PROT("I003-BASICS  RemoteCmd %s",
             "Didn't find key SM_BIN_ZARVO in client's /etc/zarvo2000.ini!; Trying with /zarvo/bin/zarvo");
    }
    i_FILE_DELETE(file, log);
    return path;
}

int remote_cmd_sync(const std::string& cpNode, std::string& cpCmd, int iTimeout, str_log& log,
                    const std::string& cpShown) {
    NodeArgument na;
    if (auto bad = split_node_argument(cpNode, na)) {
        SM_TRACE(log, 0, "--- REMOTE_CMD: Error %s", bad->c_str());
        set_msg(cpCmd, *bad + ": " + cut(cpNode, 64));
        return 0;
    }
    std::string answer = na.out_file, errfile = na.err_file, infile = na.in_file;
    if (na.file_form) {
        SM_TRACE(log, 1, "output file is given as: %s", answer.c_str());
        if (!errfile.empty()) SM_TRACE(log, 0, "stderr file is given as: %s", errfile.c_str());
        if (!infile.empty()) SM_TRACE(log, 0, "stdin file is given as: %s", infile.c_str());
    } else {
        std::string work;
        glbv_get("gv_rw_work", work);
        answer = answer_file_name(work, na.id);
        i_FILE_DELETE(answer, log);
    }
    if (errfile.empty()) errfile = answer;
    const std::string cmd = cut(cpCmd, kCmdCopyMax);
    const std::string shown = cpShown.empty() ? cmd : cut(cpShown, kCmdCopyMax);
    const std::string& node = na.node;
    std::string msg, bufB;

    std::string roBin;
    if (!glbv_get("gv_ro_bin", roBin)) {
        std::string name = "gv_ro_bin", answerText;
        glbv('r', name, answerText);
        set_msg(cpCmd, "getting GLBV gv_ro_bin:" + answerText);
        PROT(pick(kMsgE014), node.c_str(), cpCmd.c_str());
        SM_TRACE(log, 0, "--- REMOTE_CMD: Error %s", cpCmd.c_str());
        return 0;
    }

    std::string server, iniMsg;
    if (!i_READ_INI("SM_INI", "[SERVER]", "name", server, 160, iniMsg, 256)) server = "??2";
    int sts = 0;
    msg = shown;  // what E014 names unless an access method says more
    if (node == server || node == "LOCAL") {
        SM_TRACE(log, 0, "Call for local server %s >> call start_system_tee()", node.c_str());
        if (log.iFlg) PROT("I003-BASICS  RemoteCmd %s", shown.c_str());
        SM_TRACE(log, 0, "cmd = %s", shown.c_str());
        std::string runMsg;
        sts = run_local(cmd, infile, answer, errfile, iTimeout, runMsg, log, {}, shown);
        if (!runMsg.empty()) msg = runMsg;
    } else {
        std::string platform, mode, portOpt;
        DB_REC_LIS rl;
        std::string sql =
            "select oper_systems.platform,clients.accessmode,clients.access_options from "
            "oper_systems,clients "
            "where clients.name=" +
            sql_value(node) + " and oper_systems.os=clients.os";
        std::string rows;
        if (!iDB_ACCESS(sql, rows, &rl, log)) trap_db_err("REMOTE_CMD", rows, log, 1);
        bufB = rows;
        if (rows != "0") {
            if (rows != "1") {
                PROT(pick(kMsgW002), node.c_str());
                msg = sformat(
                    "Error: REMOTE_CMD: Database didn't return unique result row for client %s! (%s rows)",
                    node.c_str(), rows.c_str());
                SM_TRACE(log, 0, "REMOTE_CMD %s", msg.c_str());
            }
            std::string ret;
            iDB_SEL_GET(&rl, 1, ret, &log, "platform", &platform, "accessmode", &mode, "access_options",
                        &portOpt, "d");
        } else {
            PROT(pick(kMsgW001), node.c_str());
            msg = sformat("host %s not yet configured", node.c_str());
            SM_TRACE(log, 0, "HAL REMOTE_CMD %s", msg.c_str());
            DB_SEL_LOOP_RECORDS(&rl, 'd');
            platform = "UNIX";
            mode = "CTRL";
            SM_TRACE(log, 0, "WARNING: REMOTE_CMD try with setting szPlatform: %s, szAccessMode: %s",
                     platform.c_str(), mode.c_str());
        }

        if (platform == "NETWARE") {
            i_setenv_zarvo("NetWare");
            SM_TRACE(log, 0, "platform 'NetWare' >> return ok for alive test");
            std::string echo = "echo " + shell_arg(kNetwareVersion) + " >> " +
                               shell_arg(not_an_option(answer == "-" ? errfile : answer));
            start_system(echo);
            set_msg(cpCmd, kNetwareVersion);
            SM_TRACE(log, 0, "--- REMOTE_CMD: return fake version: %s", cpCmd.c_str());
            return 1;
        }

        std::string amsg;
        if (mode == "JRSH") {
            SM_TRACE(log, 0, "using access mode: JRSH");
            std::string port;
            if (glbv_get("gv_jrsh_port_" + node, port))
                SM_TRACE(log, 0, "JRSH port given with glbv gv_jrsh_port_%s %s", node.c_str(), port.c_str());
            else if (glbv_get("gv_jrsh_port", port))
                SM_TRACE(log, 0, "JRSH port given with glbv gv_jrsh_port %s", port.c_str());
            else {
                port = "11101";
                SM_TRACE(log, 0, "Standard JRSH port (override with glbv gv_jrsh_port[_{node}]) %s",
                         port.c_str());
            }
            const std::string line = jrsh_command_line(roBin, port, node, cmd);
            bufB = jrsh_command_line(roBin, port, node, shown);
            if (log.iFlg) PROT("I003-BASICS  RemoteCmd %s", bufB.c_str());
            std::string runMsg;
            sts = run_local(line, infile, answer, errfile, iTimeout, runMsg, log, node, bufB);
            msg.clear();
            // The client names a refusal or its own failure in the answer.
            const std::string said = answer == "-" ? errfile : answer;
            std::string found = "not allowed^";
            bool bad = file_search(said, found);
            if (!bad) {
                found = "Excep^";
                bad = file_search(said, found);
            }
            if (bad) {
                msg = sformat("Error: REMOTE_CMD %s: %s", node.c_str(), found.c_str());
                sts = 1;
            } else if (sts < 0) {
                msg = runMsg;
            }
        } else if (mode == "RSH") {
            std::string user = remote_user(platform, true);
            if (user.empty()) {
                set_msg(cpCmd, "Unknown platform:" + platform);
                PROT(pick(kMsgE014), node.c_str(), cpCmd.c_str());
                SM_TRACE(log, 0, "--- REMOTE_CMD: Error %s", cpCmd.c_str());
                return -1;
            }
            SM_TRACE(log, 0, "using access mode: RSH; user: %s", user.c_str());
            if (platform == "UNIX") {
                std::string path =
                    remote_cmd_path(node, user, answer == "-" ? errfile : answer, sts, amsg, log);
                if (sts == 0)
                    sts = iRshCmd(node, "root", user, rsh_unix_command(path, cmd), answer, errfile, infile,
                                  amsg, log, rsh_unix_command(path, shown));
            } else {
                sts = iRshCmd(node, "root", user, cmd, answer, errfile, infile, amsg, log, shown);
                SM_TRACE(log, 1, "iRshCmd returned message: %s", amsg.c_str());
            }
            if (!amsg.empty()) msg = amsg;
        } else if (mode == "RSH2") {
            std::string id = na.id;
            if (id.empty()) {
                SCT_SEMA sema{"rsh2", "remote_cmd", "remote_cmd_id"};
                i_SEMA('+', &sema, log);
                id = time_get(std::string_view("I"));
                wait_sec(1);
                i_SEMA('-', &sema, log);
                SM_TRACE(log, 0, "generated unique id %s", id.c_str());
            }
            const std::string user = "zarvo";
            SM_TRACE(log, 0, "using access mode: RSH2; user: %s", user.c_str());
            // A caller that takes the command's output as its own gets its
            // error output (the result lines) apart: the wrapper joins the
            // script's two streams.
            const bool apart = answer == "-";
            const std::string errName = apart ? "sm_" + id + ".err" : "";
            auto script = rsh2_script_command("", cmd, id, errName);
            if (!infile.empty() && infile != kNoInput) {
                msg = "RSH2 cannot pass standard input to the command on " + node;
                sts = -1;
            } else if (!script) {
                msg = "RSH2 cannot carry this command to " + node;
                sts = -1;
            } else {
                std::string path = remote_cmd_path(node, user, apart ? errfile : answer, sts, amsg, log);
                SM_TRACE(log, 0, "szCmdPath = %s", path.c_str());
                if (sts == 0)
                    sts = iRshCmd(node, "root", user, *rsh2_script_command(path, cmd, id, errName), errfile,
                                  errfile, kNoInput, amsg, log,
                                  rsh2_script_command(path, shown, id, errName).value_or(shown));
                SM_TRACE(log, 1, "iRshCmd returned message: %s", amsg.c_str());
                if (sts == 0)
                    sts = iRshCmd(node, "root", user, rsh2_run_command(id), answer, errfile, kNoInput, amsg,
                                  log);
                SM_TRACE(log, 1, "iRshCmd returned message: %s", amsg.c_str());
                if (sts == 0 && apart)
                    sts = iRshCmd(node, "root", user, rsh2_collect_command(errName), errfile, errfile,
                                  kNoInput, amsg, log);
                if (!amsg.empty()) msg = amsg;
            }
            if (sts == -1) {
                set_msg(cpCmd, msg);
                SM_TRACE(log, 0, "--- REMOTE_CMD %s", cpCmd.c_str());
                return -1;
            }
        } else if (mode == "CTRL" || mode == "SSH") {
            sts = mode == "CTRL" ? iCtrldAccess(node, portOpt, platform, cmd, iTimeout, infile, answer,
                                                errfile, amsg, log, shown)
                                 : iSshAccess(node, portOpt, platform, cmd, infile, answer, errfile, amsg,
                                              iTimeout, log, shown);
            SM_TRACE(log, 1, "%s returned message: %s", mode == "CTRL" ? "iCtrldAccess" : "iSshAccess",
                     amsg.c_str());
            if (sts == -1) {
                set_msg(cpCmd, amsg);
                SM_TRACE(log, 0, "--- REMOTE_CMD %s", cpCmd.c_str());
                return -1;
            }
            if (!amsg.empty()) msg = amsg;
        } else {
            PROT(pick(kMsgE019), node.c_str(), mode.c_str());
            set_msg(cpCmd,
                    sformat("Error: REMOTE_CMD %s: invalid AccessMode: %s", node.c_str(), mode.c_str()));
            SM_TRACE(log, 0, "--- REMOTE_CMD %s", cpCmd.c_str());
            return 0;
        }
        if (log.iFlg > 2 && answer != "-") WRITE_TRACE_COPY_FILE(log, answer);
    }

    if (sts == 0) {
        cpCmd.clear();
        SM_TRACE(log, 0, "--- REMOTE_CMD");
        return 1;
    }
    PROT(pick(kMsgE014), node.c_str(), msg.c_str());
    if (msg.empty()) msg = sformat("Error: REMOTE_CMD %s: Error during %s", node.c_str(), bufB.c_str());
    set_msg(cpCmd, msg);
    SM_TRACE(log, 0, "--- REMOTE_CMD %s", cpCmd.c_str());
    return 0;
}

}  // namespace

int run_local(const std::string& cmd, const std::string& in, const std::string& out, const std::string& err,
              int timeout, std::string& msg, str_log& log, const std::string& watch_node,
              const std::string& shown) {
    const std::string& named = shown.empty() ? cmd : shown;
    msg.clear();
    if (cmd.size() > kRemoteCmdMax) {
        msg = "command line too long";
        return -1;
    }
    const std::string line = local_command_line(cmd, in, out, err);
    if (i_setenv_zarvo(cmd) != 1) {
        msg = "environment not ready for " + cut(named, 64);
        return -1;
    }
    exec::SpawnOptions opt;
    opt.new_group = true;               // a timeout takes down everything the command started
    opt.parent_death_signal = SIGKILL;  // and so does our own end
    exec::Child child = exec::Child::shell(line, opt);
    if (!child.started()) {
        msg = "could not start /bin/sh: " + posix::errtext(child.error());
        return -1;
    }
    int status = 0;
    if (timeout < 1 && !watch_node.empty() && !g_alive_check_running) {
        bool lost = false;
        if (watch_child(child, watch_node, status, lost, log) < 0 || lost) {
            msg =
                lost ? sformat(pick(kMsgE020), watch_node.c_str()) : "wait failed: " + posix::errtext(errno);
            return -1;
        }
        return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    }
    const posix::Deadline deadline =
        timeout >= 1 ? posix::Deadline::after_ms(timeout * 1000LL) : posix::Deadline::never();
    int r = child.wait_for(deadline, status);
    if (r != 1) {
        child.kill(SIGKILL);
        child.wait(status);
        msg = r == 0 ? sformat("no answer within %d s: %s", timeout, cut(named, 128).c_str())
                     : "wait failed: " + posix::errtext(errno);
        SM_TRACE(log, 0, "run_local: %s", msg.c_str());
        return -1;
    }
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

int REMOTE_CMD(const std::string& cpNode, std::string& cpCmd, int iSyncFlg, str_log strLog,
               const std::string& cpShown) {
    const std::string shown = cpShown.empty() ? cpCmd : cpShown;
    if (iSyncFlg == 0) {
        SM_TRACE(strLog, 0, "+++ REMOTE_CMD %s %s asynchron", cpNode.c_str(), shown.c_str());
        int r = i_ASYNC_REMOTE_CMD(cpNode, cpCmd, strLog, cpShown);
        SM_TRACE(strLog, 0, "--- REMOTE_CMD asynchron returns %d, msg: %s", r, cpCmd.c_str());
        return r;
    }
    SM_TRACE(strLog, 0, "+++ REMOTE_CMD %s %s synchron", cpNode.c_str(), shown.c_str());
    int timeout = 0;
    if (iSyncFlg > 1) {
        timeout = iSyncFlg;
        SM_TRACE(strLog, 0, "synchron with timeout %d", timeout);
    }
    return remote_cmd_sync(cpNode, cpCmd, timeout, strLog, cpShown);
}

int i_ASYNC_REMOTE_CMD(const std::string& cpNode, std::string& cpCmd, str_log strLog,
                       const std::string& cpShown) {
    std::string cmd = cut(cpCmd, kRemoteMsgMax);
    const std::string shown = cpShown.empty() ? cmd : cpShown;
    SM_TRACE(strLog, 0, "+++ ASYNC_REMOTE_CMD: %s", shown.c_str());
    cpCmd.clear();
    exec::Child child = exec::Child::call([&]() {
        SM_TRACE(strLog, 0, "(child): will call REMOTE_CMD( %s, %s, strLog )", cpNode.c_str(), shown.c_str());
        std::string c = cmd;
        int r = REMOTE_CMD(cpNode, c, 1, strLog, cpShown);
        std::fflush(nullptr);
        return r & 0xff;
    });
    int result = 0;
    if (!child.started()) {
        const int e = child.error();
        cpCmd = sformat("ASYNC_REMOTE_CMD: Unable to fork child process: %s (errno=%d)",
                        posix::errtext(e).c_str(), e);
        SM_TRACE(strLog, 0, "%s", cpCmd.c_str());
        return 0;
    }
    SM_TRACE(strLog, 0, "PID of child: %d", child.pid());
    wait_sec(1);
    const int polls = strLog.iFlg >= 2 ? kAsyncPollsVerbose : 1;
    if (polls > 1) SM_TRACE(strLog, 0, "LOG_LEVEL >= 2 >> we do some extra controlling of subprocess");
    int status = 0, r = 0;
    for (int i = 1; i <= polls; ++i) {
        r = child.wait_for(0, status);
        if (r != 0) {
            if (polls > 1 && r == 1) SM_TRACE(strLog, 0, "job finished after %ds", i);
            break;
        }
        if (polls > 1) SM_TRACE(strLog, 0, "job %d is still executing after %ds", child.pid(), i);
        if (i < polls) wait_sec(1);
    }
    if (r == 0) {
        SM_TRACE(strLog, 0, "job %d is still executing", child.pid());
        cpCmd = intoas(child.release());
        result = 1;
    } else if (r < 0) {
        const int e = errno;
        cpCmd = sformat("No waiting child process: %s / errno: %d", posix::errtext(e).c_str(), e);
    } else if (WIFEXITED(status)) {
        result = WEXITSTATUS(status);
        cpCmd = sformat("child process returned status %d", result);
        if (result > 128) {
            const int e = result - 128;
            cpCmd = sformat("probably child process could not start: ASYNC_REMOTE_CMD (child): %s (%d)",
                            posix::errtext(e).c_str(), e);
            SM_TRACE(strLog, 0, "%s or high exit code of zbc", cpCmd.c_str());
        }
    } else if (WIFSIGNALED(status)) {
        cpCmd = sformat("child process terminated due to the receipt of a signal that was not caught: %d",
                        WTERMSIG(status));
    } else {
        cpCmd = sformat("child process terminated abnormally (%d)", 0);
    }
    SM_TRACE(strLog, 0, "+++ ASYNC_REMOTE_CMD: returns %d, cpCmd '%s'", result, cpCmd.c_str());
    return result;
}

std::string login_user_or_report(const std::string& platform, const std::string& node, const char* method,
                                 std::string& msg, str_log& log) {
    std::string user = remote_user(platform, false);
    if (user.empty()) {
        msg = "Unknown platform:" + platform;
        PROT(pick(kMsgE014), node.c_str(), msg.c_str());
        SM_TRACE(log, 0, "--- %s: Error %s", method, msg.c_str());
    }
    return user;
}
