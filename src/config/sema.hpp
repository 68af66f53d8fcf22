// Named semaphores between processes: an exclusive fcntl record lock on
// "<gv_rw_work>sem/<name>.sem", whose content names the holder.
#pragma once

#include <string>

#include "log/trace.hpp"

enum EXIT_STATE { SM_SUCCESS = 0, SM_WARNING = 1, SM_ERROR = 2, SM_FATAL = 3 };

constexpr size_t kSemaNameMax = 31;     // longer names are cut
constexpr size_t kSemaCallerMax = 1023;
constexpr size_t kSemaMsgMax = 1031;
constexpr size_t kSemaRecordMax = 255;  // "<pid> <caller>" in the lock file

struct SCT_SEMA {
    std::string szSema;    // the semaphore's name
    std::string szCaller;  // free text naming the requester, stored in the lock file
    std::string szMsg;     // result of the last operation
    int hSema = 0;         // descriptor holding the lock; 0 when none is held
};

// cFunction: '+'/'S' take (waits; 1), '*' take if free (1, or 0 with szMsg
// naming the holder), '-'/'R' release (1; 0 when the close fails), '?' held
// by a live process (1, also on errors) or free (0; a dead holder's record
// is cleared). Anything else: 0 with "error: invalid argument %c". Fatal
// lock-file errors end the process with status 3 (see log_error).
// A process must not inquire about a semaphore it holds itself: closing the
// inquiry's descriptor would drop its own lock.
int i_SEMA(char cFunction, SCT_SEMA* pS, str_log strOldLog);

// Traces "STATE: msg: (errno) text" through either descriptor (null: not
// traced). SM_FATAL also prints "STATUS=FATAL MSG=..." on stdout and exits 3.
void log_error(EXIT_STATE eState, const char* cpMsg, str_log* pStrLogExtern, str_log* pStrLogCaller);

// The lock file of a semaphore name (the work directory's "sem/" expanded).
std::string sema_file(const std::string& name);
