// Running the node's device programs (mt, the media-server interface) with a
// deadline, so that a drive or program that stops answering cannot hang a job.
#pragma once

#include <string>

#include "exec/child.hpp"

constexpr int kMtDeadlineSec = 120;
constexpr int kSmsInterfaceDeadlineSec = 300;

// The deadline in seconds for program: "[Deadlines]" key program of the
// main configuration when it holds a positive number, else dflt.
int deadline_seconds(const char* program, int dflt);

// How a timed run ended.
struct TimedRun {
    int code = -1;           // exit code (128+signal when killed by one); -1 when not run or timed out
    bool timed_out = false;  // the deadline passed: the run was killed
};

// Runs "/bin/sh -c command" in a process group of its own, its stdout (and
// with err_too its stderr) into out_fd (-1: inherited), for at most seconds.
// A run that is still going then is killed with its whole group.
TimedRun run_with_deadline(const std::string& command, int seconds, int out_fd, bool err_too = true);

// Kills child (its group when it has one) and reaps it within a few
// seconds; one stuck in the kernel beyond that is left behind, not waited for.
void kill_child(exec::Child& child);

// "<program> did not answer within <n> s and was killed": the message of a
// job ended by a deadline.
std::string deadline_message(const std::string& program, int seconds);
