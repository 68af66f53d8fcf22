// The process jobs: user commands ('x') and ending a job's processes ('k').
#pragma once

#include "frontend/dispatch.hpp"

// The special user whose command (a saveset copy) runs directly.
constexpr const char* kSavesetCopyUser = "zbccopy";

// Runs -s in the name of user -u when allowed; "zbccopy" runs a program of
// the bin directory itself and gives the raw wait status. Refusals: 2.
JobResult EXECUTE_COMMAND();

// Ends the processes of job -s: 1 ended, 2 none, 0 failure (as status).
JobResult kill_job();
