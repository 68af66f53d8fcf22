#include "frontend/dispatch.hpp"

#include "frontend/dirlist.hpp"
#include "frontend/filecopy.hpp"
#include "frontend/finish.hpp"
#include "frontend/globals.hpp"
#include "frontend/mediaconf.hpp"
#include "frontend/perf.hpp"
#include "frontend/procjobs.hpp"
#include "frontend/tape.hpp"
#include "frontend/usefile.hpp"
#include "frontend/variables.hpp"

namespace {

// "-d device:sms" stands for "-d device -s sms" when -s is not given.
void split_device_and_sms() {
    if (!gszOpt_s.empty()) return;
    size_t colon = gszOpt_d.find(':');
    if (colon == std::string::npos) FINISH(1, "missing option -s SMS number");
    gszOpt_s = gszOpt_d.substr(colon + 1);
    gszOpt_d.resize(colon);
}

const RequiredOption kName{&gszOpt_n, "missing option -n name of GLBV"};

const Job kJobs[] = {
    {.code = 'D', .handler = CREATE_DIR_CLIENT},
    {.code = 'G',
     .required = {kName},
     .trace = "read GLBV  %s ",
     .trace_args = {&gszOpt_n},
     .handler = read_variable},
    {.code = 'R',
     .required = {kName},
     .trace = "read & delete GLBV  %s ",
     .trace_args = {&gszOpt_n},
     .handler = read_variable},
    {.code = 'W',
     .required = {kName, {&gszOpt_s, "missing option -s string value to write"}},
     .trace = "write GLBV %s = %s ",
     .trace_args = {&gszOpt_n, &gszOpt_s},
     .handler = write_variable},
    {.code = 'c', .required = {{{&gszOpt_d, "missing option -d"}}}, .handler = configure_sms},
    {.code = 'd',
     .required = {{{&gszOpt_end, "missing <directory>"}}},
     .trace = "get dir %s",
     .trace_args = {&gszOpt_end},
     .trace_first = true,
     .handler = dir_job},
    {.code = 'e',
     .required = {{{&gszOpt_n, "missing option -n"}}},
     .trace = "check existence of file %s ",
     .trace_args = {&gszOpt_n},
     .handler = exist_file},
    {.code = 'f', .handler = FILE_COPY},
    {.code = 'i', .handler = INIT},
    {.code = 'k',
     .required = {{{&gszOpt_s, "missing option -s saveset|pattern"}}},
     .trace = "kill with pattern %s ",
     .trace_args = {&gszOpt_s},
     .handler = kill_job},
    {.code = 'm',
     .required = {{{&gszOpt_s, "missing option -s saveset"}}},
     .trace = "copy MTF-header & trailer file",
     .handler = copy_header_trailer},
    {.code = 'p',
     .required = {{{&gszOpt_d, "missing option -d device"}}},
     .prepare = split_device_and_sms,
     .handler = READ_PERFORMANCE_DATA},
    {.code = 't', .handler = TAPE_STATUS_CLIENT},
    {.code = 'u', .handler = USEFILE},
    {.code = 'x',
     .required = {{{&gszOpt_u, "missing option -u user", 2},
                   {&gszOpt_s, "missing option -s command to execute", 2}}},
     .handler = EXECUTE_COMMAND},
};

void trace(const Job& job) {
    if (!job.trace) return;
    auto arg = [](const std::string* s) { return s ? s->c_str() : ""; };
    SM_TRACE(strLog, 0, job.trace, arg(job.trace_args[0]), arg(job.trace_args[1]));
}

}  // namespace

const Job* find_job(char code) {
    for (const Job& job : kJobs)
        if (job.code == code) return &job;
    return nullptr;
}

JobResult run_job(const Job& job) {
    if (job.trace_first) trace(job);
    for (const RequiredOption& opt : job.required)
        if (opt.value && opt.value->empty()) FINISH(opt.sts, opt.missing);
    if (!job.trace_first) trace(job);
    if (job.prepare) job.prepare();
    return job.handler();
}

JobResult dispatch_function() {
    const Job* job = find_job(gcFunc);
    return job ? run_job(*job) : JobResult{1, "unknown keyword"};
}
