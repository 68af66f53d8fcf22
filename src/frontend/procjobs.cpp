#include "frontend/procjobs.hpp"

#include <sys/wait.h>

#include "device/kill.hpp"
#include "exec/child.hpp"
#include "exec/usercmd.hpp"
#include "frontend/globals.hpp"
#include "util/fileops.hpp"
#include "util/strings.hpp"

namespace {

// The saveset copy runs as this agent (root): only a program of the bin
// directory, with its arguments and nothing else.
int saveset_copy(std::string& cmd, std::string& msg) {
    std::string program, bin;
    if (!i_COMPOSE_COMMAND(cmd, program, bin, msg)) return 2;
    const char* why = !lexically_inside(bin, program) ? "outside the bin directory"
                      : !only_program(cmd)            ? "shell control characters with a single-program grant"
                                                      : nullptr;
    if (why) {
        msg = cut(sformat("Command %s with user %s not allowed: %s", program.c_str(), kSavesetCopyUser, why),
                  kUserCmdMax);
        return 2;
    }
    exec::Child child = exec::Child::shell(cmd);
    if (!child.started()) return -1;  // as system() reports a shell that could not start
    int status = 0;
    if (!child.wait(status)) return -1;
    return status;
}

}  // namespace

JobResult EXECUTE_COMMAND() {
    JobResult r{0, "no message"};
    SM_TRACE(strLog, 0, "+++ EXECUTE_COMMAND  %s  %s ", gszOpt_u.c_str(), gszOpt_s.c_str());
    std::string cmd = gszOpt_s;
    if (gszOpt_u == kSavesetCopyUser) {
        SM_TRACE(strLog, 0, "Start saveset copy");
        r.sts = saveset_copy(cmd, r.msg);
    } else {
        r.sts = i_EXECUTE_USER_COMMAND(gszOpt_u, cmd, r.msg, strLog);
    }
    SM_TRACE(strLog, 0, "--- EXECUTE_COMMAND: %s ", r.msg.c_str());
    return r;
}

JobResult kill_job() {
    JobResult r;
    r.sts = i_KILL_ZBC(gszOpt_s, r.msg, strLog);
    return r;
}
