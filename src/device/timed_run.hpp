// Running the node's companion programs (mt, the media-server programs) with
// a deadline, so that a drive or program that stops answering cannot hang a job.
#pragma once

#include <string>

#include "exec/child.hpp"

constexpr int kMtDeadlineSec = 120;
constexpr int kSmsInterfaceDeadlineSec = 300;
constexpr int kDeadlineDefaultSec = 60;  // sm_main, sm_data_server

// The deadline in seconds for program: "[Deadlines]" key program of the
// main configuration when it holds a number in 1..86400, else dflt.
int deadline_seconds(const char* program, int dflt = kDeadlineDefaultSec);

// How a timed run ended.
struct TimedRun {
    int code = -1;           // exit code (128+signal when killed by one); -1 when not run or timed out
    bool timed_out = false;  // the deadline passed: the run was killed
};

// Runs "/bin/sh -c command" in a process group of its own, its stdout (and
// with err_too its stderr) into out_fd (-1: inherited), for at most seconds.
// A run still going then is killed with its whole group; what a run that
// ended in time left in its group (a daemon it started) is left alone.
TimedRun run_with_deadline(const std::string& command, int seconds, int out_fd = -1, bool err_too = true);

// Kills child (its group when it has one) and reaps it within a few
// seconds; one stuck in the kernel beyond that is left behind, not waited for.
void kill_child(exec::Child& child);

// "<program> did not answer within <n> s and was killed": the message of a
// job ended by a deadline.
std::string deadline_message(const std::string& program, int seconds);
