// Per-module trace files with nesting indentation, and the language switch.
#pragma once

#include <cstdarg>
#include <string>

#include "log/lang.hpp"

// A module's trace descriptor.
struct str_log {
    std::string szFile;  // full path of the trace file (cut to 383 characters)
    int iFlg = 0;        // trace level; 0 = off
    int iVerify = 0;     // non-zero: every line is echoed on stderr
    std::string szIns;   // current indentation, two blanks per open level
};

constexpr size_t kTraceFileWidth = 384;
constexpr int kMaxIndentLevels = 15;

// The first descriptor set up in this process; library code traces through it.
extern str_log strLocalLog;

// Sets up log for trace file cpKeyFile (a bare name, placed in the log
// directory "gv_rw_lgc", or a path that already contains that directory) of
// module cpKeyDebug, with its level from debug.ini, and sets eLang from
// "[SETUP]" "lang".
void v_set_log_main(const std::string& cpKeyFile, const std::string& cpKeyDebug, str_log& log);

// Level of module cpInput (upper-cased, at most 49 characters) in debug.ini;
// 0 when unlisted or unreadable.
int log_check(const std::string& cpInput);

// Writes one trace line (printf format) into log.szFile, echoed on stderr
// when log.iVerify is set. A format beginning with '+' opens a nesting level
// after the line, one beginning with '-' closes one before it. The format
// "COPY_FILE" with a path argument copies that text file into the trace.
// Callers test log.iFlg themselves.
void WRITE_TRACE(str_log& log, const char* cpFormat, ...) __attribute__((format(printf, 2, 3)));
void VWRITE_TRACE(str_log& log, const char* cpFormat, va_list ap);
// WRITE_TRACE(log, "COPY_FILE", path): copies the text file at path into the trace.
void WRITE_TRACE_COPY_FILE(str_log& log, const std::string& path);

// "%s (PPID=%d)" describing the parent process, from ps; 1 on success.
int get_parent_info(std::string& cpInfo, size_t iLength);

// Resets the process-wide trace state (nesting depth, once-flags); tests only.
void trace_reset_for_tests();

// Writes a trace line when the descriptor's level exceeds lvl.
#define SM_TRACE(log, lvl, ...)                                  \
    do {                                                         \
        if ((log).iFlg > (lvl)) WRITE_TRACE((log), __VA_ARGS__); \
    } while (0)
