// The control-daemon client session: one command run on a node through its
// control daemon, with standard input from a file (or the process), standard
// output and error into files (or the process's own), and the command's exit
// code as the result.
#pragma once

#include <csignal>
#include <cstdio>
#include <string>

#include "log/trace.hpp"

constexpr int kCtrlcNoExitCode = 255;      // no exit code arrived
constexpr int kCtrlcMaxIdlePasses = 120;   // silent passes before a timed session gives up
constexpr size_t kCtrlcPieceMax = 262144;  // bytes moved per read
constexpr size_t kCtrlcHostMax = 1023;
constexpr size_t kCtrlcUserMax = 63;
constexpr size_t kCtrlcOptionMax = 1023;
constexpr int kCtrlcSendRetries = 31;  // failed sends in a row of one piece

// Session state shared with the SIGURG handler.
extern volatile sig_atomic_t g_iEXITCODE;
extern volatile sig_atomic_t g_hSocket1, g_hSocket2;  // 0: none
extern FILE* fd_stdin;                                // input file, or null for the process's standard input
extern FILE* fd_stdout;                               // received standard output goes here
extern FILE* fd_stderr;                               // received standard error goes here

// The port setting "PORT[:OPTIONS]" taken apart.
struct CtrlcPortSetting {
    int port = 0;
    bool single = false;  // "-s": one connection only
    int range_start = 0;  // "-o a-b": second port from this range
    int range_end = 0;
};
// Parses cpDftPort; traces the option handling into log.
CtrlcPortSetting ctrlc_parse_port(const std::string& cpDftPort, str_log& log);

// Runs cpCommand as cpRemoteUser on cpRemoteHost through its control daemon.
// cpStdin names the input file ("" = the process's standard input); cpStdout
// and cpStderr the files appended to ("-": the process's own stream; null =
// none; with both null the process's own streams are used). Returns the command's exit code (255 when
// none arrived), the connection's result (253 or the daemon's code) when the
// session could not open, 1 when the input file cannot be opened.
int ctrlc_lib_call(const std::string& cpDftPort, const std::string& cpRemoteHost,
                   const std::string& cpRemoteUser, const std::string& cpCommand, const std::string& cpStdin,
                   const char* cpStdout, const char* cpStderr, int iTimeout);

// The session behind ctrlc_lib_call for a wire command built already (the
// external client holds words, not a command line). cpMsg receives the
// connection error when the session could not open. check_verify: read
// "gv_log_verify" for every piece of standard error.
int ctrlc_wire_call(const std::string& cpDftPort, const std::string& cpRemoteHost,
                    const std::string& cpRemoteUser, const std::string& wire, const std::string& cpStdin,
                    const char* cpStdout, const char* cpStderr, int iTimeout, bool check_verify,
                    std::string& cpMsg);

// Pumps standard input in a child and copies the daemon's output in this
// process until the daemon closes; the child is killed and reaped after.
void start_transfer(int hSocket1, int hSocket2, str_log& strLog, int iTimeout);
// Copies socket 1 to fd_stdout and socket 2 (0 = none) to fd_stderr until
// both close, or 120 silent passes of iTimeout+1 seconds when iTimeout >= 1.
void STDOUT_STDERR_transfer(int hSocket1, int hSocket2, str_log& strLog, int iTimeout);
// Sends fd_stdin (or standard input) and then the end marker on the socket.
void STDIN_transfer(int hWriteSocket);
// SIGURG: takes the urgent byte (the exit code) from the session's socket.
int signal_handler(int signo);

// The descriptor ctrlc_lib_call sets up anew for its trace file; the program
// points it at its main descriptor. Without one, a private descriptor is used.
void ctrlc_set_main_log(str_log* log);
str_log& ctrlc_main_log();
// Tests only: the silent-pass limit (0 restores 120).
void ctrlc_set_idle_pass_limit(int passes);
