#include "remote/ssh_access.hpp"

#include "log/prot.hpp"
#include "remote/remote_cmd.hpp"
#include "remote/remote_words.hpp"
#include "util/strings.hpp"

int iSshAccess(const std::string& cpNode, std::string& cpPortOpt, const std::string& cpPlatform,
               const std::string& cpCmd, const std::string& cpInFile, const std::string& cpOutFile,
               const std::string& cpErrFile, std::string& cpMsg, int iTimeout, str_log strLog,
               const std::string& cpShown) {
    const std::string& shown = cpShown.empty() ? cpCmd : cpShown;
    SM_TRACE(strLog, 0, "+++ SshAccess: %s %s %s %s", cpNode.c_str(), shown.c_str(), cpInFile.c_str(),
             cpOutFile.c_str());
    const std::string user = login_user_or_report(cpPlatform, cpNode, "SshAccess", cpMsg, strLog);
    if (user.empty()) return -1;
    cpPortOpt = ssh_options(cpPortOpt);
    SM_TRACE(strLog, 0, "PortOpt= %s", cpPortOpt.c_str());
    const std::string line = ssh_command_line(user, cpPortOpt, cpNode, cpCmd);
    const std::string shownLine = ssh_command_line(user, cpPortOpt, cpNode, shown);
    if (strLog.iFlg) PROT("I003-BASICS  RemoteCmd %s", shownLine.c_str());
    SM_TRACE(strLog, 0, "ssh synchronously: %s, cpOutFile: %s", shownLine.c_str(), cpOutFile.c_str());
    // ssh notices a node lost in the middle only when its options ask it to.
    int r = run_local(line, cpInFile, cpOutFile, cpErrFile, iTimeout, cpMsg, strLog, cpNode, shownLine);
    SM_TRACE(strLog, 0, "--- SshAccess: return %d %s", r, cpMsg.c_str());
    return r;
}
