#include "frontend/perf.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "config/glbv.hpp"
#include "frontend/globals.hpp"
#include "util/names.hpp"
#include "util/posix.hpp"
#include "util/strings.hpp"
#include "util/timeutil.hpp"

namespace {

constexpr size_t kPerfFileMax = 4096;  // far more than the four lines need
constexpr size_t kEomMax = 255;

}  // namespace

int READ_PERFORMANCE_FILE(const std::string& cpDevice, const std::string& cpSmsNr, std::string& cpReturn,
                          str_log strLog) {
    std::string path = sformat("gv_rw_work:info/perf_%s.log", cpSmsNr.c_str());
    resolve_path(path);
    SM_TRACE(strLog, 1, "+++ READ_PERFORMANCE_FILE  %s  %s  %s ", cpDevice.c_str(), cpSmsNr.c_str(),
             path.c_str());
    posix::UniqueFd fd = posix::open_fd(path, O_RDONLY | O_NOCTTY);
    if (!fd) {
        SM_TRACE(strLog, 0, "--- READ_PERFORMANCE_FILE: could not open %s ", path.c_str());
        return 0;
    }
    std::string content(kPerfFileMax, '\0');
    const ssize_t got = posix::read_exact(fd.get(), content.data(), content.size());
    content.resize(got > 0 ? static_cast<size_t>(got) : 0);

    char state[64] = "", throughput[64] = "";
    int backups = 0, restores = 0;
    std::sscanf(
        content.c_str(),
        "STATUS: %63s\nTHROUGHPUT: %63s GB/h\nNUMBER OF ACTIVE BACKUPS: %d\nNUMBER OF ACTIVE RESTORES: %d",
        state, throughput, &backups, &restores);

    std::string name = "gv_sms_eom_" + cpDevice, eom;
    glbv('r', name, eom);
    eom = cut(eom, kEomMax);
    const std::string_view st(state);
    if (eom.empty() || eom[0] == '?') {
        eom = "READY";
        SM_TRACE(strLog, 1, "gv_sms_eom_ %s is not available so set EOM state to %s ", cpDevice.c_str(),
                 eom.c_str());
    } else if (eom.find("NEXT") == std::string::npos && st != "CHANGING_MEDIA" && st != "SMS_WRT") {
        SM_TRACE(strLog, 1, "SMS state <> CHANGING_MEDIA/SMS_WRT:  Ignoring gv_sms_eom_ %s : %s ",
                 cpDevice.c_str(), eom.c_str());
        eom = "READY";
    }
    cpReturn = cut(
        sformat("%d %d STATUS: %s THROUGHPUT: %s GB/h %s", backups, restores, state, throughput, eom.c_str()),
        kPerfTextMax);
    SM_TRACE(strLog, 1, "--- READ_PERFORMANCE_FILE: %s ", cpReturn.c_str());
    return 1;
}

int iWRITE_PERF_FILE(const std::string& cpFileOut, const std::string& cpMsg) {
    SM_TRACE(strLog, 0, "+++ WRITE_PERF_FILE    %s ", cpMsg.c_str());
    const std::string record = sformat("ID=%s\n%s\n", gszId.c_str(), cpMsg.c_str());
    if (gFlag.Remote) {
        std::fflush(stdout);
        posix::write_all(STDOUT_FILENO, record);
        SM_TRACE(strLog, 0, "--- WRITE_PERF_FILE: to stdout");
        return 1;
    }
    // A reader of the answer file sees the previous record or this one.
    posix::ReplaceOptions opt;
    opt.new_mode = 0644;
    opt.sync = false;
    std::string err;
    posix::replace_file(cpFileOut, record, opt, err);
    SM_TRACE(strLog, 0, "--- WRITE_PERF_FILE %s ", cpFileOut.c_str());
    return 1;
}

JobResult READ_PERFORMANCE_DATA() {
    SM_TRACE(strLog, 0, "+++ READ_PERFORMANCE_DATA");
    SM_TRACE(strLog, 0, "    get SMS status %s  %s  %s ", gszOpt_d.c_str(), gszOpt_s.c_str(),
             gszOpt_t.c_str());
    if (!is_plain_word(gszOpt_s)) return {1, cut("invalid SMS number " + gszOpt_s, kPerfTextMax)};
    int count = 1, seconds = 0;
    std::sscanf(gszOpt_t.c_str(), "%d:%d", &count, &seconds);

    std::string answer;
    if (!gFlag.Remote) {
        if (!is_request_id(gszId)) return {1, cut("invalid request identifier " + gszId, kPerfTextMax)};
        glbv_get("gv_rw_work", answer);
        answer = sformat("%srsh_%s.tmp", answer.c_str(), gszId.c_str());
    }
    JobResult r;
    for (int i = 0; i < count; ++i) {
        std::string text;
        if (!READ_PERFORMANCE_FILE(gszOpt_d, gszOpt_s, text, strLog)) {
            r.sts = 1;
            if (r.msg.empty()) r.msg = kPerfMissing;
            break;
        }
        if (text != r.msg) {
            iWRITE_PERF_FILE(answer, text);
            r.msg = text;
        }
        wait_sec(seconds);
    }
    SM_TRACE(strLog, 0, "--- READ_PERFORMANCE_DATA");
    return r;
}
