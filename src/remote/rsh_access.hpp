// rsh access: one command over the BSD remote-shell protocol (rcmd).
#pragma once

#include <sys/types.h>

#include <string>

#include "log/trace.hpp"

constexpr int kRshPollSec = 3;              // the watch counts periods of this length
constexpr int kRshFirstAlivePoll = 185;     // the counter starts here: first test after 15 periods
constexpr int kRshAlivePoll = 200;          // a test is due when the counter reaches this
constexpr int kRshChildNoConnection = 128;  // child exit codes above: 128 + errno of the connection

// Runs cpCmd on szHost as szRemote_user. The child's main channel goes to
// cpOutFile, its error channel to cpErrFile ("" or the same name: also
// cpOutFile); "-" is this process's stream. cpInFile ("" or "-": our
// standard input) is sent on the main channel, whose sending side is then
// shut. Returns 0 when the child was waited for (abnormal ends described in
// cpMsg), -1 when nothing could be started or the connection could not be
// made (cpMsg says why). cpShown, when given, stands for cpCmd in protocol,
// traces and messages.
int iRshCmd(const std::string& szHost, const std::string& szLocal_user, const std::string& szRemote_user,
            const std::string& cpCmd, const std::string& cpOutFile, const std::string& cpErrFile,
            const std::string& cpInFile, std::string& cpMsg, str_log strLog, const std::string& cpShown = {});

// Receives from a socket until iBlen bytes, the end, or a NUL byte came.
// Returns the byte count (0 at the end) or -1; szBuff holds iBlen + 1 bytes
// and is NUL-terminated.
int iReceive(int iSocketRcmd, char* szBuff, int iBlen);

// The counter of elapsed watch periods: advances it and says whether an
// alive test is due now (the counter wraps from 200 to 0).
bool rsh_watch_step(int& counter);
