// sm_client: one job on this node (or forwarded to the node it concerns),
// reported as result lines on stderr, result variables and the exit code.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "frontend/arguments.hpp"
#include "frontend/dispatch.hpp"
#include "frontend/finish.hpp"
#include "frontend/forward.hpp"
#include "frontend/globals.hpp"
#include "remote/ctrlc_session.hpp"

int main(int argc, char** argv) {
    strLog.iFlg = 1;
    strLog.iVerify = 1;

    // "dir <path>" and "dir <node> <path>" list a directory before any
    // option or configuration is read.
    if (argc >= 3 && std::strncmp(argv[1], "dir", 3) == 0) {
        std::fprintf(stderr, "ID=\nSTATUS=ERROR MSG=%s\n", not_available('d').c_str());
        return 2;
    }

    ARGUMENTS(argc, argv);

    SM_TRACE(strLog, 0, "chdir to %s ", gszRwWork.c_str());
    if (::chdir(gszRwWork.c_str()) != 0) {
        // Not fatal: the job runs where the process was started.
    }

    if (gszMyName != gszClientHost && !gFlag.Remote) {
        ctrlc_set_main_log(&strLog);  // the client session traces into the agent's file
        REMOTE_STORAGE_NODE(argc, argv);
    }

    JobResult r = dispatch_function();
    FINISH(r.sts, r.msg);
}
