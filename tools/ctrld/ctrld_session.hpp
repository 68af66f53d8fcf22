// One session of the control daemon on an accepted connection: request,
// decision, answer, the connection back, the command and its streams, the
// exit code as the urgent byte.
#pragma once

#include <netinet/in.h>

#include <csignal>
#include <string>

#include "ctrld_config.hpp"
#include "ctrld_decide.hpp"
#include "util/posix.hpp"

// Where the daemon's log lines go.
struct CtrldLog {
    std::string file;        // appended to; "" = none
    bool to_stderr = false;  // foreground mode
};

// Writes one log line "<time> ctrld[<pid>]: <text>".
void ctrld_log(const CtrldLog& log, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// "a.b.c.d:port" of a caller.
std::string ctrld_caller_text(const struct sockaddr_in& a);

// Set by the session's SIGTERM handler: end the session, command included.
extern volatile sig_atomic_t g_ctrldStop;

// In a new session process: SIGTERM and SIGINT set g_ctrldStop, and are
// let through only while the session waits, so that no wait misses them;
// SIGPIPE is ignored.
void ctrld_session_signals();

// Refuses a connection without waiting for anything (the listener's side):
// sends what fits of the reason and the code, then closes fd.
void ctrld_refuse_now(int fd, const Refusal& r);

// Serves one session on fd (owned; closed at the end). request_read is
// closed once the request has been read, complete or not. Returns the exit
// code sent to the caller, or -1 when the session ended without one.
int ctrld_serve_session(int fd, const CtrldConfig& cfg, const CtrldLog& log,
                        posix::UniqueFd request_read = {});
