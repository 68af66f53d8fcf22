#include "frontend/finish.hpp"

#include <cstdio>
#include <cstdlib>

#include "config/glbv.hpp"
#include "frontend/globals.hpp"
#include "log/prot.hpp"
#include "util/posix.hpp"
#include "util/strings.hpp"
#include "util/timeutil.hpp"

namespace {
const LangText kMsgI011{
    "I011-BASICS  RemoteCmd %s returned %d. Message: %s",
    "I011-BASICS  RemoteCmd auf %s liefert Status %d. Meldung: %s",
};

// The caller reads the result lines only after the writer has gone quiet.
constexpr int kCompletionPauseMs = 100;
}  // namespace

void FINISH(int iSts, const std::string& cpMsg) {
    const std::string msg = cut(cpMsg, kWidthMsg - 1);
    const char* word = "SUCCESS";
    if (iSts == 1) {
        word = "WARNING";
    } else if (iSts != 0) {
        word = "ERROR";
        PROT(pick(kMsgI011), gszClientHost.c_str(), iSts, msg.c_str());
        if (iSts != 2) SM_TRACE(strLog, 0, "unexpected exit code %d ", iSts);
    }
    SM_TRACE(strLog, 0, "+++ FINISH   Sts= %s   Msg= %s ", word, msg.c_str());

    if (gcFunc != '?' && !gFlag.Remote) {
        SM_TRACE(strLog, 0, "write GLBV gv_client_sts_ %s", gszId.c_str());
        std::string name = "gv_client_sts_" + gszId, value = intoas(iSts);
        glbv('w', name, value);
        name = "gv_client_msg_" + gszId;
        value = msg;
        glbv('w', name, value);
    }

    if (gcFunc == 'u' && !gszOpt_m.empty() && gszOpt_m[0] == 'r') {
        SM_TRACE(strLog, 0, "--- FINISH ");
        std::fflush(stdout);
        std::exit(iSts);
    }

    std::fflush(stdout);
    std::string lines = sformat("ID=%s\nSTATUS=%s MSG=%s\n", gszId.c_str(), word, msg.c_str());
    std::fflush(stderr);
    posix::write_all(2, lines);
    wait_msec(kCompletionPauseMs);
    SM_TRACE(strLog, 0, "--- FINISH ");
    std::exit(iSts);
}
