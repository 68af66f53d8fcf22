// The directory listing ('d' and the "dir" shortcut): one line per entry on
// stdout, directories first; Scalix and NetWare paths go to their own
// listing clients. A listing ends with exit code 0 and no result lines.
#pragma once

#include <string>

#include "frontend/dispatch.hpp"
#include "log/trace.hpp"

constexpr size_t kScalixPathMax = 2047;  // path handed to zbc_scx

// Lists cpRoot one level deep on stdout: installed applications when it ends
// in '/', network mounts directly in it, then its entries. An unreadable
// directory gives one "ERROR: opendir(...)" line on stderr.
void vShowTree(const std::string& cpRoot, str_log& log);
// The listing of a forwarded run: the same one level.
void vShowTreeAll(const std::string& cpRoot, str_log& log);

// Lists cpSrc of NetWare node cpNode through the listing client on its data
// mover (or the node itself), output on stdout. Returns REMOTE_CMD's result;
// a failure is reported on stderr without the handed-on password.
int iSMDR_DIR(const std::string& cpNode, const std::string& cpSrc);

// Handler of 'd': lists -r or not, then ends the run with 0 (never returns).
JobResult dir_job();
