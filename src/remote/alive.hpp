// The alive test: does the backup client on a node answer?
#pragma once

#include <string>

#include "log/trace.hpp"

constexpr int kAliveTimeoutSec = 60;  // the control-daemon road of the test gives up then

// Runs "zbc" on cpNode (one test per node at a time, across processes).
// Returns 1 when the client answered (cpMsg: its version line, or a
// reachability text), else 0 with E020 or the reason in cpMsg. For rsh
// nodes only the client's "zbc-3000:" line counts.
int alive_test_zbc(const std::string& cpNode, std::string& cpMsg, str_log strLog);

// alive_test_zbc traced under the trace key "SM_ALIVE" into the caller's
// trace file. Returns its result.
int i_HIDDEN_ALIVE_TEST(const std::string& cpNode, std::string& cpMsg, str_log strOldLog);

// Set while a watching loop runs an alive test, so that the test's own
// remote call starts no nested one.
extern bool g_alive_check_running;
