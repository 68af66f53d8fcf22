// File operations shared by the whole program. Every path may start with a
// GLBV reference ("gv_rw_work:name"), expanded first.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "log/trace.hpp"
#include "util/fileops.hpp"

constexpr size_t kFilePathMax = 511;     // paths are copied and cut to this
constexpr size_t kSearchLineMax = 511;   // lines searched, newline included
constexpr size_t kDirentNameSize = 1024;

struct sm_dirent {
    std::string d_name;  // entry name without directory
};

// 1 when source can be opened for reading; 0 otherwise or for "".
int file_exist(const std::string& source);

// Reads lines (at most 511 characters each) from fpTest until one matches:
// contains cpString1 and (cLogicFlg 'A') also cpString2, or (cLogicFlg
// 'O') either of them; any other flag looks for cpString1 alone. Returns
// 1 with the line in szSl, 0 at the end of the file.
int i_SEEK_STRING(FILE* fpTest, std::string& szSl, const std::string& cpString1, const std::string& cpString2,
                  char cLogicFlg);

// Searches cpFile for the first line containing cpSearchString; "A|AND|B"
// needs both parts, "A|OR|B" either (cpSearchString is cut at the
// operator). A trailing '^' (removed) asks for the matching line, without
// its newline, back in cpSearchString. 1 when found, else 0.
int file_search(const std::string& cpFile, std::string& cpSearchString);

// Copies a file with "umask 000; cp" through the shell; E009 on failure.
// Returns the shell's result (0 = copied).
int file_copy(const std::string& cpSource, const std::string& cpTarget);

// Removes a file, or every entry matching a '*' pattern in its last part.
// Plain name: 1 when removed, else 0. Pattern: always 1.
int i_FILE_DELETE(const std::string& source, str_log strLog);

// Iterates over the entries of a directory matching a shell pattern: a
// non-empty cpFile ("dir/pattern") starts an iteration, "" continues it.
// 1 with pDE->d_name set, 0 when no (more) entry. One iteration per process.
int i_GET_DIR(const std::string& cpFile, sm_dirent* pDE, str_log strLog);

using FileCallback = std::function<void(const std::string& path, str_log log)>;

// Calls fn for every file matching cpFilePattern (which must contain a
// '/') modified before the limit: now minus iDays calendar days, or for
// iDays < 1 the local time cpDate ("YYYY-MM-DD hh:mm:ss"). A file
// modified exactly at the limit is too young. 1 when the pattern matched
// anything, else 0.
int i_FILE_FIND_EXEC_BEFORE(const std::string& cpFilePattern, const std::string& cpDate, int iDays,
                            const FileCallback& fn, str_log strLog);

// Makes sure a directory path exists, creating missing levels (0770).
// 1 with "<path> already existing"/"<path> newly created" in cpMsg, else 0.
int i_CREATE_DIR_LOCAL(const std::string& cpPath, std::string& cpMsg, str_log strLog);

// Runs chmod szMode "szFile" through the shell; returns its status.
int cm_chmod(const std::string& szMode, const std::string& szFile);

// Reports a failed close on stderr; for a full file table, a full disk or
// a deadlock it raises the file-system alarm ("sm_alarm FILE_SYSTEM") and
// asks the system to stop ("sm_os_startup STOP"). Returns 0.
int i_FILE_CLOSE(int iErrno);
