#include "remote/ctrld_access.hpp"

#include <sys/wait.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <vector>

#include "config/environ.hpp"
#include "config/glbv.hpp"
#include "exec/child.hpp"
#include "ini/ini.hpp"
#include "log/prot.hpp"
#include "remote/alive.hpp"
#include "remote/ctrl_wire.hpp"
#include "remote/ctrlc_session.hpp"
#include "remote/remote_cmd.hpp"
#include "remote/remote_words.hpp"
#include "util/posix.hpp"
#include "util/strings.hpp"
#include "util/timeutil.hpp"

namespace {

constexpr int kPollSec = 3;

// Runs session in a forked copy of this process under watch_child; its
// message comes back through a pipe. The session's result, or -1 (msg:
// E020) when the node was lost.
int watched_session(const std::string& node, const std::function<int(std::string&)>& session,
                    std::string& msg, str_log& log) {
    posix::Pipe p;
    if (!posix::make_pipe(p)) return session(msg);
    std::fflush(nullptr);
    exec::SpawnOptions opt;
    opt.parent_death_signal = SIGKILL;  // a session must not outlive its agent
    exec::Child child = exec::Child::call(
        [&]() {
            p.rd.reset();
            std::string m;
            int r = session(m);
            posix::write_all(p.wr.get(), m);
            std::fflush(nullptr);
            return r & 0xff;
        },
        opt);
    p.wr.reset();
    if (!child.started()) return session(msg);
    int status = 0;
    bool lost = false;
    int r = watch_child(child, node, status, lost, log);
    msg.clear();
    if (!lost) posix::read_all(p.rd.get(), msg, posix::Deadline::after_ms(1000));
    if (lost) {
        msg = sformat(pick(kMsgE020), node.c_str());
        return -1;
    }
    if (r < 0 || !WIFEXITED(status)) return kCtrlcNoExitCode;
    return WEXITSTATUS(status);
}

}  // namespace

int watch_child(exec::Child& child, const std::string& node, int& status, bool& lost, str_log& log) {
    CtrlWatch watch;
    lost = false;
    int r;
    // Each period ends early when the child does; the counts stay those of
    // whole periods.
    while ((r = child.wait_for(kPollSec * 1000, status)) == 0) {
        if (!watch.tick() || g_alive_check_running) continue;
        g_alive_check_running = true;
        std::string amsg;
        bool alive = i_HIDDEN_ALIVE_TEST(node, amsg, log) != 0;
        bool wasFailed = watch.failed();
        watch.tested(alive);
        g_alive_check_running = false;
        if (alive) {
            if (wasFailed) SM_TRACE(log, 0, "alive check was successful after failure");
            continue;
        }
        SM_TRACE(log, 0, "alive_test_zbc failed for client: %s", amsg.c_str());
        if (!watch.stop()) {
            SM_TRACE(log, 0, "last time alive check failed; wait count reduced to %d", watch.interval());
            continue;
        }
        SM_TRACE(log, 0, "client not reachable: stopping child process PID = %d", child.pid());
        lost = true;
        child.kill(SIGHUP);
        if ((r = child.wait_for(kPollSec * 1000, status)) == 0) {
            child.kill(SIGKILL);
            r = child.wait(status) ? 1 : -1;
        }
        break;
    }
    return r;
}

bool CtrlWatch::tick() {
    return ++count_ >= interval_;
}

void CtrlWatch::tested(bool alive) {
    count_ = 0;
    if (interval_ < kCtrlAliveMax) interval_ = std::min(interval_ + kCtrlAliveGrowth, kCtrlAliveMax);
    if (!alive) {
        if (failed_) stop_ = true;
        failed_ = true;
        interval_ = kCtrlAliveRetry;
    } else {
        failed_ = false;
    }
}

int iCtrldAccess(const std::string& cpNode, std::string& cpPortOpt, const std::string& cpPlatform,
                 const std::string& cpCmd, int iCtrldTimeout, const std::string& cpInFile,
                 const std::string& cpOutFile, const std::string& cpErrFile, std::string& cpMsg,
                 str_log strLog, const std::string& cpShown) {
    const std::string& shown = cpShown.empty() ? cpCmd : cpShown;
    SM_TRACE(strLog, 0, "+++ CtrldAccess: %s %s %s", cpNode.c_str(), shown.c_str(), cpOutFile.c_str());
    const std::string user = login_user_or_report(cpPlatform, cpNode, "CtrldAccess", cpMsg, strLog);
    if (user.empty()) return -1;
    std::string value, iniMsg, portSetting = sformat("-p %d", kCtrlDefaultPort);
    if (i_READ_INI("SM_INI", "[CTRLD_Server]", "CTRLD_Port", value, 1024, iniMsg, 256))
        portSetting = "-p " + value;
    else
        SM_TRACE(strLog, 0, "Standard CTRL port not given in sm.ini [CTRLD_Server] CTRLD_Port %s",
                 iniMsg.c_str());
    SM_TRACE(strLog, 0, "using access mode: CTRLD; user: %s; Port: %s", user.c_str(), portSetting.c_str());
    bool ownPort = false;
    cpPortOpt = ctrl_options(cpPortOpt, ownPort);
    // The node's own "-p N" names the port for the library session as well.
    const int optPort = ctrl_option_port(cpPortOpt);
    if (ownPort) {
        portSetting.clear();
        SM_TRACE(strLog, 0, "standard ctrl port overwritten by clients.access_options: %s",
                 cpPortOpt.c_str());
    }
    SM_TRACE(strLog, 0, "CtrldPort= %s,  PortOpt= %s", portSetting.c_str(), cpPortOpt.c_str());

    // ctrld runs the words without a shell; its wire separates them by '"'.
    std::vector<std::string> words;
    if (!split_words(cpCmd, words) || words.empty()) {
        cpMsg = "command cannot be passed to the control daemon: " + cut(shown, 128);
        SM_TRACE(strLog, 0, "--- CtrldAccess: Error %s", cpMsg.c_str());
        return -1;
    }
    for (const std::string& w : words)
        if (w.find(kWireWordSep) != std::string::npos) {
            cpMsg = "a value holding a double quote cannot be passed to the control daemon";
            if (cpShown.empty()) cpMsg += ": " + cut(w, 128);
            SM_TRACE(strLog, 0, "--- CtrldAccess: Error %s", cpMsg.c_str());
            return -1;
        }

    int result;
    std::string old;
    if (!glbv_get("gv_ctrlc_old", old)) {
        std::string port =
            ownPort ? intoas(optPort) : portSetting.substr(std::min<size_t>(3, portSetting.size()));
        if (strLog.iFlg)
            PROT("I003-BASICS  RemoteCmd %s",
                 sformat("CTRLC_LIB_CALL: %s %s -t %d -l %s %s", cpNode.c_str(), portSetting.c_str(),
                         iCtrldTimeout, user.c_str(), shown.c_str())
                     .c_str());
        SM_TRACE(strLog, 0, "ctrlc_lib_call: %s, cpOutFile: %s", shown.c_str(), cpOutFile.c_str());
        const std::string in = cpInFile == "-" ? std::string() : cpInFile;
        cpMsg.clear();
        const std::string wire = ctrlc_join_words(words);
        if (iCtrldTimeout >= 1 || g_alive_check_running) {
            result = ctrlc_wire_call(port, cpNode, user, wire, in, cpOutFile.c_str(), cpErrFile.c_str(),
                                     iCtrldTimeout, true, cpMsg);
        } else {
            // A session without a deadline runs in a copy of this process that
            // alive tests watch: a node lost in the middle must not hold us.
            result = watched_session(
                cpNode,
                [&](std::string& msg) {
                    return ctrlc_wire_call(port, cpNode, user, wire, in, cpOutFile.c_str(), cpErrFile.c_str(),
                                           0, true, msg);
                },
                cpMsg, strLog);
        }
    } else {
        const std::string line =
            sm_ctrlc_command_line(portSetting, cpPortOpt, iCtrldTimeout, user, cpNode, cpCmd);
        const std::string shownLine =
            sm_ctrlc_command_line(portSetting, cpPortOpt, iCtrldTimeout, user, cpNode, shown);
        if (strLog.iFlg) PROT("I003-BASICS  RemoteCmd %s", shownLine.c_str());
        SM_TRACE(strLog, 0, "sm_ctrlc synchronously: %s, cpOutFile: %s, cpInFile: %s, cpErrFile: %s",
                 shownLine.c_str(), cpOutFile.c_str(), cpInFile.c_str(), cpErrFile.c_str());
        std::string noAlive;
        if (!glbv_get("gv_ctrlc_no_alive", noAlive))
            result = iCtrldCmd(cpNode, portSetting, cpPortOpt, user, cpCmd, cpInFile, cpOutFile, cpErrFile,
                               cpMsg, iCtrldTimeout, strLog, cpShown);
        else
            result = run_local(line, cpInFile, cpOutFile, cpErrFile, 0, cpMsg, strLog, {}, shownLine);
    }
    SM_TRACE(strLog, 0, "--- CtrldAccess: return %d %s", result, cpMsg.c_str());
    return result;
}

int iCtrldCmd(const std::string& cpNode, const std::string& cpCtrlPort, const std::string& cpPortOpt,
              const std::string& cpRemUser, const std::string& cpCmd, const std::string& cpInFile,
              const std::string& cpOutFile, const std::string& cpErrFile, std::string& cpMsg,
              int iCtrldTimeout, str_log strLog, const std::string& cpShown) {
    const std::string line =
        sm_ctrlc_command_line(cpCtrlPort, cpPortOpt, iCtrldTimeout, cpRemUser, cpNode, cpCmd);
    const std::string shownLine =
        cpShown.empty()
            ? line
            : sm_ctrlc_command_line(cpCtrlPort, cpPortOpt, iCtrldTimeout, cpRemUser, cpNode, cpShown);
    SM_TRACE(strLog, 0, "+++ CtrldCmd: %s", shownLine.c_str());
    cpMsg.clear();
    SM_TRACE(strLog, 0, "(child) sm_ctrlc synchronously: %s, cpOutFile: %s", shownLine.c_str(),
             cpOutFile.c_str());
    i_setenv_zarvo(line);
    exec::SpawnOptions opt;
    opt.new_group = true;  // stopping it stops everything it started
    opt.parent_death_signal = SIGKILL;
    exec::Child child = exec::Child::shell(local_command_line(line, cpInFile, cpOutFile, cpErrFile), opt);
    if (!child.started()) {
        const int e = child.error();
        cpMsg =
            sformat("iCtrldCmd: Unable to fork child process: %s (errno=%d)", posix::errtext(e).c_str(), e);
        SM_TRACE(strLog, 0, "%s", cpMsg.c_str());
        return -1;
    }
    SM_TRACE(strLog, 1, "PID of child: %d", child.pid());
    int status = 0;
    bool lost = false;
    const int r = watch_child(child, cpNode, status, lost, strLog);
    int result;
    if (r < 0) {
        const int e = errno;
        std::fprintf(stderr, "iCtrldCmd: no waiting child! %s (errno=%d)\n", posix::errtext(e).c_str(), e);
        SM_TRACE(strLog, 0, "No waiting child process! %s / errno %d", posix::errtext(e).c_str(), e);
        cpMsg = sformat("No waiting child process: %s %s %d", posix::errtext(e).c_str(), "/ errno:", e);
        result = -1;
    } else if (WIFSIGNALED(status)) {
        cpMsg = sformat("sm_ctrlc terminated due to the receipt of a signal that was not caught: %d",
                        WTERMSIG(status));
        if (lost) cpMsg = sformat(pick(kMsgE020), cpNode.c_str());
        SM_TRACE(strLog, 0, "%s", cpMsg.c_str());
        result = -1;
    } else if (!WIFEXITED(status)) {
        cpMsg = sformat("sm_ctrlc terminated abnormally (%d)", 0);
        std::fprintf(stderr, "%s\n", cpMsg.c_str());
        SM_TRACE(strLog, 0, "sm_ctrlc terminated abnormally: %d", 0);
        result = -1;
    } else {
        result = WEXITSTATUS(status);
        SM_TRACE(strLog, 0, "sm_ctrlc returned status %d", result);
        if (result > 128) {
            const int e = result - 128;
            cpMsg = sformat("probably sm_ctrlc could not start: iCtrldCmd (child): %s (%d)",
                            posix::errtext(e).c_str(), e);
            SM_TRACE(strLog, 0, "%s or high exit code of zbc", cpMsg.c_str());
        }
    }
    SM_TRACE(strLog, 0, "+++ CtrldCmd: ctrlc returns %d", result);
    return result;
}
