// Command pipes: a shell command whose standard output is read line by line.
#pragma once

#include <cstdio>
#include <string>

#include "exec/child.hpp"

// One running command and the read end of its output. Owned by the caller
// from iPIPE_OPEN to iPIPE_CLOSE; destroying an open pipe closes it and
// reaps the command, so no child is left behind.
struct DB_PROC_PIP {
    FILE* fpPipe = nullptr;
    exec::Child child;
    int start_status = -1;  // wait status of a shell that could not start

    DB_PROC_PIP() = default;
    DB_PROC_PIP(const DB_PROC_PIP&) = delete;
    DB_PROC_PIP& operator=(const DB_PROC_PIP&) = delete;
    ~DB_PROC_PIP();
};

// cpCmd with every '$' preceded by a backslash, so the shell keeps it.
std::string escape_dollars(const std::string& cpCmd);

// Starts "/bin/sh -c" with cpCmd ('$' escaped) and its stdout on a pipe.
// 1 on success; 0 with cpCmd = "popen failed: <error>\n" (also on stderr).
int iPIPE_OPEN(std::string& cpCmd, DB_PROC_PIP* pPP);

// Reads one line (newline kept, at most iMaxLen-1 characters) into
// cpReturn. Returns its length, 0 at the end of the output.
int iPIPE_READ(DB_PROC_PIP* sctPP, std::string& cpReturn, int iMaxLen);

// Closes the pipe and waits for the command; returns its wait status
// (-1 when the pipe was not open).
int iPIPE_CLOSE(DB_PROC_PIP* sctPP);
