// The control connection: opening a session with a node's control daemon
// (request, one-byte answer, the daemon's second connection back to us) and
// the error record of the control-connection code.
#pragma once

#include <string>

constexpr size_t kCtrlHostWidth = 1024;      // host buffer, NUL included
constexpr size_t kCtrlErrorWidth = 260;      // error record, NUL included
constexpr int kCtrlFailure = 253;            // local or network failure
constexpr int kCtrlDefaultAcceptWait = 120;  // seconds for the second connection without iTimeout
constexpr const char* kCtrlReplyPrefix = "CTRLD reply: ";

// Trace level of the session code; the debug traces of sm_ctrl need > 1.
extern int g_iLogLevel;

// Opens a session: connects to cpRemoteHost:iMainPort (iTimeout > 0: within
// iTimeout seconds), offers a second connection on a
// local port of [i2ndPortStart, i2ndPortEnd] (0: system's choice) unless
// hpSD2 is null, sends the request and reads the answer. Returns 0 with
// *hpSD1 and *hpSD2 (-1 when no second connection could be offered) owned by
// the caller; 253 on a local or network failure; the daemon's exit code on a
// refusal. The daemon's second connection is awaited iTimeout seconds (120
// without one) in all, however many callers from other addresses are turned
// away. Every failure records one error text. cpRemoteHost becomes the
// host's official name when the name lookup succeeds.
int sm_ctrl(std::string& cpRemoteHost, int iMainPort, int i2ndPortStart, int i2ndPortEnd,
            const std::string& cpUser, const std::string& cpCMD, int* hpSD1, int* hpSD2, int iTimeout);

// TCP_NODELAY on, SO_LINGER 60 s. 0 on success, -1 when an option failed.
int Set1stSocketProperties(int hSocket);
int Set2ndSocketProperties(int hSocket);

// Records cpErrorMsg (trailing blanks and line ends removed, cut to 259
// characters) unless an error is recorded already.
void sm_processerror(const char* cpErrorMsg);
// The recorded text; clears the record so the next error is kept again.
std::string sm_ctrl_geterror();
// The current system error number / name-lookup error number.
int sm_sockerror();
int sm_hsockerror();

// Formats (at most 1023 characters) and writes the text into the library
// trace when its level is above 1.
void trace(const char* cpFormat, ...) __attribute__((format(printf, 1, 2)));
