// The single way a job ends.
#pragma once

#include <string>

// Reports status iSts with message cpMsg: protocol entry for errors, result
// variables (unless -r or no function), result lines on stderr (not for a
// usefile read), then exits with iSts.
[[noreturn]] void FINISH(int iSts, const std::string& cpMsg);
