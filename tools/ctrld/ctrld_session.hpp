// One session of the control daemon on an accepted connection: request,
// checks, answer, the connection back, the command and its streams, the
// exit code as the urgent byte.
#pragma once

#include <csignal>
#include <string>

#include "ctrld_config.hpp"

// Refusal exit codes (the urgent byte after a refusal): 128 plus the system
// error number that describes the reason, like a command that cannot start.
constexpr int kRefuseBadRequest = 128 + 71;  // EPROTO
constexpr int kRefuseNotAllowed = 128 + 13;  // EACCES
constexpr int kRefuseNoUser = 128 + 3;       // ESRCH
constexpr int kRefuseBusy = 128 + 11;        // EAGAIN

// Where the daemon's log lines go.
struct CtrldLog {
    std::string file;        // appended to; "" = none
    bool to_stderr = false;  // foreground mode
};

// Writes one log line "<time> ctrld[<pid>]: <text>".
void ctrld_log(const CtrldLog& log, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Set by the session's SIGTERM handler: end the session, command included.
extern volatile sig_atomic_t g_ctrldStop;

// Serves one session on fd (owned; closed at the end). Returns the exit code
// sent to the caller, or -1 when the session ended without one.
int ctrld_serve_session(int fd, const CtrldConfig& cfg, const CtrldLog& log);
