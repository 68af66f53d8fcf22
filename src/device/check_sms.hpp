// The media-server check: is sm_data_server running, and having sm_main
// reload the media server when it is not (or on request).
#pragma once

#include <string>

#include "log/trace.hpp"

constexpr int kSmsReloadWaitSec = 5;  // time the media server gets to come up

// iRestartFlg 0: check only; 1: check, reload when missing; 2: reload, then
// check. Returns 1 when sm_data_server runs (after the reload, if one was
// made), 0 when not (a failed reload raises the CHECK_SMS alarm), -1 when
// sm_main or the process test hit its deadline (cpMsg names program and
// deadline; the run was killed).
int i_CHECK_SMS(int iRestartFlg, std::string& cpMsg, str_log strLog);

// The per-drive shutdown hook before a reconfiguration; nothing to do here.
void SMS_SHUTDOWN(int iNum);
