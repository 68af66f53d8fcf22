// Forwarding a job to the node it concerns.
#pragma once

#include <string>

constexpr size_t kForwardCmdMax = 4095;  // the rebuilt command line
constexpr int kForwardAttempts = 3;      // calls when the port read fails
constexpr int kForwardRetryPauseSec = 5;

// Checks that the node answers, runs "sm_client -r" with this run's
// arguments there and ends the run with the remote status and message.
[[noreturn]] void REMOTE_STORAGE_NODE(int argc, char** argv);

// Appends this run's arguments to cpCmd, each quoted as one shell word.
// A filecopy "get" stages its source into the work directory instead
// (path in cpTgtFile). Ends the run through FINISH when staging fails.
void CONCATENATE_ARGUMENTS(std::string& cpCmd, int argc, char** argv, std::string& cpTgtFile);
