// The performance job ('p'): state and throughput of one media-server
// process, polled and published as records.
#pragma once

#include <string>

#include "frontend/dispatch.hpp"
#include "log/trace.hpp"

constexpr size_t kPerfTextMax = 255;
constexpr const char* kPerfMissing = "cannot get performance data.";

// Reads "gv_rw_work:info/perf_<cpSmsNr>.log" and the end-of-medium state
// "gv_sms_eom_<cpDevice>" into the performance text cpReturn ("<backups>
// <restores> STATUS: <state> THROUGHPUT: <t> GB/h <eom>", at most 255
// characters). 1 when read; 0 (cpReturn untouched) when the file cannot be
// opened.
int READ_PERFORMANCE_FILE(const std::string& cpDevice, const std::string& cpSmsNr, std::string& cpReturn,
                          str_log strLog);

// Publishes "ID=<id>\n<text>\n": on stdout for a forwarded run, else as the
// whole new content of the answer file cpFileOut (replaced atomically).
// Always 1.
int iWRITE_PERF_FILE(const std::string& cpFileOut, const std::string& cpMsg);

// The 'p' handler: -t "count[:seconds]" readings of -s for device -d, each
// change published. 0 with the last reading; 1 when the file could not be
// read (the run's previous reading, else "cannot get performance data.").
JobResult READ_PERFORMANCE_DATA();
