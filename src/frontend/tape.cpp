#include "frontend/tape.hpp"

#include <fcntl.h>

#include <cerrno>

#include "config/glbv.hpp"
#include "device/tape_remote.hpp"
#include "device/tape_status.hpp"
#include "device/timed_run.hpp"
#include "exec/fileutil.hpp"
#include "frontend/globals.hpp"
#include "util/fileops.hpp"
#include "util/names.hpp"
#include "util/posix.hpp"
#include "util/shell_quote.hpp"
#include "util/strings.hpp"
#include "util/timeutil.hpp"

namespace {

constexpr const char* kDefaultBlockSize = "65536";
constexpr size_t kLabelDigits = 5;
constexpr int kDiskChangeDeadlineSec = 60;

JobResult result(int sts, const std::string& msg) {
    return {sts, cut(msg, kWidthMsg - 1)};
}

// The disk changer's control file: where the volume lives, for the media server.
JobResult write_control_file() {
    SM_TRACE(strLog, 0, "it's a DISK_CHNG drive-type   %s  so write the path to SMS-control-file",
             gszOpt_t.c_str());
    std::string path = gszRwIni + gszOpt_d;
    GIVE_ME_FILE_NAME(path);
    std::string content = gszOpt_t + "/" + gszOpt_l;
    GIVE_ME_FILE_NAME(content);
    content += "\n100";
    const std::string failed = sformat("cannot open SMS-control-file %s to write", path.c_str());
    posix::UniqueFd fd = posix::open_fd(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
    if (!fd || !posix::write_all(fd.get(), content) || fd.close_checked() != 0) {
        SM_TRACE(strLog, 0, "--- INIT   %s ", failed.c_str());
        return result(1, failed);
    }
    return {};
}

// A tape drive must be online before it is labelled; its node answers that.
JobResult tape_drive_online() {
    std::string msg;
    if (i_TAPE_STATUS_REMOTE(gszOpt_d, gszId, msg, "CLIENT", strLog) != 1) return result(1, msg);
    return {};
}

}  // namespace

int label_number(const std::string& label) {
    const std::string tail = label.size() > kLabelDigits ? label.substr(label.size() - kLabelDigits) : label;
    int n = 0;
    for (char c : tail) {
        if (c < '0' || c > '9') break;
        n = n * 10 + (c - '0');
    }
    return n;
}

JobResult INIT() {
    SM_TRACE(strLog, 0, "+++ INIT  %s ",
             sformat("Opt_d=<%s> Opt_b=<%s> Opt_l=<%s> Opt_t=<%s>", gszOpt_d.c_str(), gszOpt_b.c_str(),
                     gszOpt_l.c_str(), gszOpt_t.c_str())
                 .c_str());
    if (gszOpt_d.empty()) return result(1, "missing device via -d");
    if (gszOpt_l.empty()) return result(1, "missing label via -l");
    if (gszOpt_b.empty()) gszOpt_b = kDefaultBlockSize;
    // The identifier names the work file.
    if (!is_request_id(gszId)) return result(1, sformat("invalid request identifier %s", gszId.c_str()));

    if (!gszOpt_t.empty()) {
        if (!is_plain_name(gszOpt_d)) return result(1, sformat("invalid device name %s", gszOpt_d.c_str()));
        JobResult r = write_control_file();
        if (r.sts != 0) return r;
    } else {
        JobResult r = tape_drive_online();
        if (r.sts != 0) {
            SM_TRACE(strLog, 0, "--- INIT  Drive is not ONLINE  %s ", r.msg.c_str());
            return r;
        }
    }
    SM_TRACE(strLog, 0, "Drive is ONLINE");
    const std::string work = gszRwTmp + gszId + ".tmp";
    const std::string run = shell_arg(gszRoSms + "sm_sms_interface") + " init -d " + shell_arg(gszOpt_d) +
                            " -B " + shell_arg(gszOpt_b) + " -t " +
                            shell_arg(gszOpt_l + ":" + std::to_string(label_number(gszOpt_l))) +
                            " -i ZARVO-volume";
    // The report reaches the work file through our own descriptor.
    const std::string cmd = run + " > " + work;
    SM_TRACE(strLog, 0, "Cmd= %s ", cmd.c_str());

    const int seconds = deadline_seconds("sm_sms_interface", kSmsInterfaceDeadlineSec);
    bool success = false;
    for (int i = 0; i < kInitRunsMax && !success; ++i) {
        wait_sec(1);
        posix::UniqueFd out = posix::open_fd(work, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
        if (!out) {
            SM_TRACE(strLog, 0, "INIT: cannot write %s: %s", work.c_str(), posix::errtext(errno).c_str());
            continue;
        }
        if (run_with_deadline(run, seconds, out.get(), false).timed_out) {
            i_FILE_DELETE(work, strLog);
            return result(1, deadline_message("sm_sms_interface", seconds));
        }
        out.reset();
        std::string found = "SUCCESS";
        success = file_search(work, found);
    }
    i_FILE_DELETE(work, strLog);
    return success ? result(0, cmd) : result(1, "Error");
}

JobResult TAPE_STATUS_CLIENT() {
    SM_TRACE(strLog, 0, "+++ i_TAPE_STATUS_CLIENT   %s  %s ", gszOpt_t.c_str(), gszOpt_d.c_str());
    if (gszOpt_d.empty()) return result(1, "missing device via -d");
    if (gszOpt_t.empty()) return result(1, "missing device via -t");

    std::string msg;
    int online = 0;
    const char kind = gszOpt_t.size() > 5 ? gszOpt_t[5] : '\0';
    if (kind == 'D') {
        // The identifier names the status file.
        if (!is_request_id(gszId)) return result(1, sformat("invalid request identifier %s", gszId.c_str()));
        online = i_TAPE_STATUS_LOCAL(gszOpt_d, "unknown", msg, gszId, strLog);
        if (online < 0) return result(2, msg);
    } else if (kind == 'H') {
        if (!is_plain_name(gszOpt_d)) return result(1, sformat("invalid device name %s", gszOpt_d.c_str()));
        const std::string file = "gv_rw_ini:" + gszOpt_d;
        SM_TRACE(strLog, 0, "DISK_HARD on file %s ", file.c_str());
        std::string empty = "empty";
        online = file_search(file, empty) ? 0 : 1;
        msg = online ? "Drive tape online" : "No tape in drive";
    } else {
        const std::string script = cut(gszRo + "sm_os_diskchange", kDiskChangeCmdMax);
        SM_TRACE(strLog, 0, "DISK_CHNG: check for specific mount command: %s", script.c_str());
        if (file_exist(script)) {
            const std::string cmd = shell_arg(script) + " " + shell_arg(gszOpt_t) + " online";
            SM_TRACE(strLog, 0, "DISK_CHNG: cmd: %s", cmd.c_str());
            const int seconds = deadline_seconds("sm_os_diskchange", kDiskChangeDeadlineSec);
            const TimedRun r = run_with_deadline(cmd, seconds, -1);
            if (r.timed_out) return result(2, deadline_message("sm_os_diskchange", seconds));
            online = r.code == 0 ? 1 : 0;
        } else {
            SM_TRACE(strLog, 0, "DISK_CHNG working dir:%s - always online", gszOpt_t.c_str());
            online = 1;
        }
        msg = online ? "Drive tape online" : "No tape in drive";
    }
    SM_TRACE(strLog, 0, "--- i_TAPE_STATUS_CLIENT  returns %d   msg= %s ", online, msg.c_str());
    return result(online ? 0 : 2, msg);
}
