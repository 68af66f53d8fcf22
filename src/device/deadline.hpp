// Companion programs run under a deadline: a program that hangs is killed
// (with everything it started in its group) instead of hanging the job.
#pragma once

#include <string>

constexpr int kDeadlineDefaultSec = 60;  // sm_main, sm_data_server
constexpr int kDeadlineMaxSec = 86400;

// The deadline of program in seconds: key program of "[Deadlines]" in the
// main configuration, else default_sec (also for a value outside 1..86400).
int program_deadline(const char* program, int default_sec = kDeadlineDefaultSec);

// How a limited run ended. timed_out: killed at the deadline (code -1).
struct LimitedRun {
    int code = 0;  // exit code; 128+signal when killed by a signal; -1 not run
    bool timed_out = false;
};

// Runs "/bin/sh -c command" (environment prepared as for every command) in a
// process group of its own and waits at most seconds; on expiry the whole
// group is killed. Standard streams are inherited.
LimitedRun run_limited(const std::string& command, int seconds);

// "<program> killed after its deadline of <n> s": the message that ends a
// job whose program hit its deadline.
std::string deadline_message(const char* program, int seconds);
