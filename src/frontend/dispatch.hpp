// The function-code dispatch of one run: a table of jobs.
#pragma once

#include <array>
#include <string>

// Status and message of a handler, as FINISH receives them.
struct JobResult {
    int sts = 0;
    std::string msg;
};

// An option a job cannot run without: when it is empty the run ends with
// sts and missing.
struct RequiredOption {
    const std::string* value = nullptr;  // nullptr: no further requirement
    const char* missing = nullptr;
    int sts = 1;
};

// One row of the dispatch table.
struct Job {
    char code = '\0';
    std::array<RequiredOption, 2> required{};
    const char* trace = nullptr;  // printf format over trace_args; nullptr: none
    std::array<const std::string*, 2> trace_args{};
    bool trace_first = false;          // traced before the option checks
    void (*prepare)() = nullptr;       // option work after the checks
    JobResult (*handler)() = nullptr;  // every row has one
};

// The row of a function code, or nullptr for an unknown code.
const Job* find_job(char code);

// Checks the job's options (ending the run through FINISH when one is
// missing), traces it and runs its handler.
JobResult run_job(const Job& job);

// Runs the job of gcFunc; an unknown code gives status 1 "unknown keyword".
JobResult dispatch_function();
