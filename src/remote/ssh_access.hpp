// ssh access: one command through the system's ssh client.
#pragma once

#include <string>

#include "log/trace.hpp"

// Runs cpCmd on cpNode as root (UNIX) or system (WNT); cpPortOpt is
// normalised in place ("NULL" -> ""). Returns -1 (cpMsg "Unknown
// platform:...") for other platforms, else the ssh client's exit code.
// cpShown, when given, stands for cpCmd in protocol, traces and messages.
int iSshAccess(const std::string& cpNode, std::string& cpPortOpt, const std::string& cpPlatform,
               const std::string& cpCmd, const std::string& cpInFile, const std::string& cpOutFile,
               const std::string& cpErrFile, std::string& cpMsg, int iTimeout, str_log strLog,
               const std::string& cpShown = {});
