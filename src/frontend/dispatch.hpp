// The function-code dispatch of one run.
#pragma once

#include <string>

// Status and message of a handler, as FINISH receives them.
struct JobResult {
    int sts = 0;
    std::string msg;
};

// Runs the job of gcFunc locally: checks its required options and calls its
// handler. A missing option ends the run through FINISH. Returns the
// handler's result for FINISH.
JobResult dispatch_function();

// The message of a job whose handler this build does not have.
std::string not_available(char func);
