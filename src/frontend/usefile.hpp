// The file jobs: usefile ('u'), directory creation ('D'), existence ('e').
#pragma once

#include "frontend/dispatch.hpp"

constexpr size_t kUsefileMsgMax = 255;

// Tests, creates, appends to, reads, searches, chmods or deletes the file
// -n by mode -m (default 'e'); -s is the text ("-": standard input), the
// search string or the mode; -t the age in days for deletion.
JobResult USEFILE();

// Makes sure the directory -n exists: 0 (or 1 on failure) and the message.
JobResult CREATE_DIR_CLIENT();

// 0 "<n> exists" or 1 "<n> doesn't exist".
JobResult exist_file();
