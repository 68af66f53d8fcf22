// Running local shell commands ("/bin/sh -c") and decoding how they ended.
#pragma once

#include <string>

#include "log/trace.hpp"

constexpr size_t kSystemLogPrefixMax = 1023;  // "start_system: <command>" in E008
constexpr size_t kTeeCommandMax = 1535;       // the command start_system_tee builds
constexpr int kEnvNotReady = 999;             // start_system: environment not prepared
constexpr int kProgramMissing = -3;           // start_proc: program not found
constexpr int kExecFailBase = 160;            // exit code of a shell that could not start: errno + this

// For a shell that could not be executed (errno err): writes
// "start_system (child): <error> (<n>)" on stderr and returns the wait
// status that such a start reports (exit code err + 160).
int exec_failure_status(int err);

// Runs cpExe through the shell and waits for it. Returns the exit code
// (0-255; 0 also when the shell itself was killed), or 999 when the
// environment could not be prepared. On failure (not found, killed, not
// started) writes a line on stderr and E008, and replaces cpExe with the
// failure text. Ends the process with status 1 when no child can be forked.
int start_system(std::string& cpExe);

// As start_system, but leaves cpExe unchanged, also reports a stopped
// child (returning its stop signal) and returns -1 when no child can be
// created instead of ending the process.
int i_cm_system(const std::string& cpExe);

// Runs cpExe with stdin from cpInfile (empty: inherited) and appends its
// output: to cpOutfile (stderr copied to cpErrfile and to our stderr via
// tee), or to our own streams for "STDOUT"/"-". GLBV
// "gv_start_system_without_tee" selects plain appending redirections.
// Returns the command's exit status as recorded in "<cpOutfile>.err"
// (which is then shown and deleted), 0 when no such file was written.
int start_system_tee(std::string& cpExe, const std::string& cpInfile, const std::string& cpOutfile,
                     const std::string& cpErrfile, str_log strLog);

// start_system for a command whose program (first word) must exist, as a
// path or under the bin directory "gv_ro_bin"; -3 (nothing run) otherwise.
int start_proc(std::string& cpExe);

// Copies a text file (GLBV reference allowed) to stderr through the shell.
// 1 when that worked, else 0.
int file_type(const std::string& name);
