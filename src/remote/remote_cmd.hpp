// The remote command dispatcher: runs one shell command on a node, picked
// from the database with its access method, and leaves what it printed in
// local files.
#pragma once

#include <string>

#include "log/lang.hpp"
#include "log/trace.hpp"

// Runs cpCmd on the node of cpNode ("node", "node/id" or
// "node|out[|err[|in]]"; a file "-" is this process's own stream, an empty
// input is ours too). iSyncFlg 0: asynchronously; 1: wait; >1: wait, with
// that many seconds as the control daemon's timeout. Returns 1 when run
// (cpCmd emptied, or the NetWare version text), 0 on failure, -1 when the
// ssh or control-daemon access failed or rsh met an unknown platform; the
// reason replaces cpCmd (cut to 511). cpShown, when given, stands for the
// command in every protocol line, trace and message (e.g. a password masked).
int REMOTE_CMD(const std::string& cpNode, std::string& cpCmd, int iSyncFlg, str_log strLog,
               const std::string& cpShown = {});

// REMOTE_CMD in a child process that outlives the call. Returns 1 with the
// child's pid as message while it runs, else its result (0 when it ended
// abnormally) with a message in cpCmd.
int i_ASYNC_REMOTE_CMD(const std::string& cpNode, std::string& cpCmd, str_log strLog,
                       const std::string& cpShown = {});

// Runs cmd with the local shell, its streams as in local_command_line, and
// waits: timeout seconds (< 1: none; the shell's group is killed then), or,
// with watch_node and no timeout, while alive tests of that node pass.
// Returns the exit code, 128 + signal, or -1 with msg when it could not run,
// the time ran out or the node was lost (E020). shown stands for cmd in msg.
int run_local(const std::string& cmd, const std::string& in, const std::string& out, const std::string& err,
              int timeout, std::string& msg, str_log& log, const std::string& watch_node = {},
              const std::string& shown = {});

// The login user for a node of platform (ssh and control daemon), or ""
// after reporting the unknown platform in msg, the protocol and the trace
// under the access method's name.
std::string login_user_or_report(const std::string& platform, const std::string& node, const char* method,
                                 std::string& msg, str_log& log);

// Protocol texts shared by the access methods.
extern const LangText kMsgE014;  // "RemoteCmd %s > error: %s"
extern const LangText kMsgE020;  // "Computer %s currently not reachable"
