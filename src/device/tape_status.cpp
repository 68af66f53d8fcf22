#include "device/tape_status.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mtio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "config/glbv.hpp"
#include "device/info_board.hpp"
#include "device/timed_run.hpp"
#include "exec/child.hpp"
#include "exec/fileutil.hpp"
#include "log/prot.hpp"
#include "util/names.hpp"
#include "util/posix.hpp"
#include "util/shell_quote.hpp"
#include "util/strings.hpp"

namespace {

constexpr const char* kNoTape = "No tape in drive";
constexpr const char* kBusy = "Drive tape busy";
constexpr const char* kNotDefined = "Not defined";
constexpr const char* kOnline = "Drive tape online";
constexpr const char* kNotOnline = "Drive tape not_online";

struct MtText {
    const char* text;
    const char* status;
    const char* trace;
};

// First match wins. The Linux texts come last so the classic list keeps its order.
const MtText kMtTexts[] = {
    {"Medium not present", kNoTape, "String 'Medium not present' found in %s"},
    {"drive offline", kNoTape, "String 'drive offline' found in %s"},
    {"Device not configured", kNoTape, "String 'drive offline' found in %s"},
    {"Device not ready", kNoTape, "String 'drive offline' found in %s"},
    {"No such device or address", "No such device or address", "String 'drive offline' found in %s"},
    {"DEV_OFFLINE", kNoTape, "String 'DEV_OFFLINE' found in %s"},
    {"Device busy", kBusy, "String 'Device busy' found in %s"},
    {"No medium found", kNoTape, "String 'No medium found' found in %s"},
    {"Device or resource busy", kBusy, "String 'Device or resource busy' found in %s"},
};

// How the driver query in the child ended (its exit code).
enum Query { kQueryOnline = 0, kQueryLoaded = 1, kQueryOpenFailed = 2, kQueryIoctlBase = 3 };

// Opens the device without blocking and asks the driver, in a child so that
// a drive that never answers costs no more than the deadline. 1 with code
// set; 0 when the deadline passed.
int query_driver(const std::string& device, int seconds, int& code) {
    exec::Child child = exec::Child::call([&device] {
        const int fd = ::open(device.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return static_cast<int>(kQueryOpenFailed);
        struct mtget get {};
        if (posix::retry_eintr([&] { return ::ioctl(fd, MTIOCGET, &get); }) < 0)
            return kQueryIoctlBase + errno;
        return GMT_ONLINE(get.mt_gstat) ? static_cast<int>(kQueryOnline) : static_cast<int>(kQueryLoaded);
    });
    int status = 0;
    code = kQueryOpenFailed;
    if (!child.started()) return 1;
    if (child.wait_for(posix::Deadline::after_ms(seconds * 1000LL), status) != 1) {
        kill_child(child);
        return 0;
    }
    if (WIFEXITED(status)) code = WEXITSTATUS(status);
    return 1;
}

// Runs one mt command with its output into fd; false when it hit the deadline.
bool run_mt(const std::string& cmd, int seconds, int fd, int& code) {
    const TimedRun r = run_with_deadline(cmd, seconds, fd);
    code = r.code;
    return !r.timed_out;
}

}  // namespace

std::string classify_mt_output(const std::string& path, std::string* text) {
    for (const MtText& t : kMtTexts) {
        std::string search = t.text;
        if (file_search(path, search)) {
            if (text) *text = t.text;
            return t.status;
        }
    }
    return "";
}

int i_TAPE_STATUS_LOCAL(const std::string& cpDevice, const std::string& cpDn, std::string& cpSts,
                        const std::string& cpIdent, str_log strLog) {
    SM_TRACE(strLog, 0, "+++ i_TAPE_STATUS_LOCAL - device: %s, drive_number: %s", cpDevice.c_str(),
             cpDn.c_str());
    const std::string& tag = cpDn == "unknown" ? cpIdent : cpDn;
    if (!is_request_id(tag)) {
        cpSts = kNotDefined;
        SM_TRACE(strLog, 0, "--- i_TAPE_STATUS_LOCAL: %s (no file name for %s)", cpSts.c_str(), tag.c_str());
        return 0;
    }
    std::string file = "gv_rw_work:";
    resolve_path(file);
    file += "mt_status_result" + tag + ".sgv";

    const std::string dev = shell_quote(cpDevice);
    const std::string stsCmd = "mt -f " + dev + " status", rewCmd = "mt -f " + dev + " rewind";
    // The output goes to the file through a descriptor of ours (never
    // following a link planted there); the traces show the equivalent line.
    const std::string stsShown = stsCmd + " >  " + file + " 2>&1",
                      rewShown = rewCmd + " >> " + file + " 2>&1";
    SM_TRACE(strLog, 0, "szStsCmd: %s", stsShown.c_str());
    std::fprintf(stderr, "\n              i_TAPE_STATUS_LOCAL: %s \n", stsShown.c_str());

    const int seconds = deadline_seconds("mt", kMtDeadlineSec);
    posix::UniqueFd out = posix::open_fd(file, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
    if (!out) {
        cpSts = kNotDefined;
        SM_TRACE(strLog, 0, "--- i_TAPE_STATUS_LOCAL: %s (%s: %s)", cpSts.c_str(), file.c_str(),
                 posix::errtext(errno).c_str());
        return 0;
    }
    auto timed_out = [&] {
        cpSts = deadline_message("mt", seconds);
        v_TAPE_STATUS_FINISH(file, -1, "Fatal", cpIdent, cpDn, cpSts, strLog);
        return -1;
    };
    int code = 0;
    if (!run_mt(stsCmd, seconds, out.get(), code)) return timed_out();
    if (code != 0) {
        SM_TRACE(strLog, 0, "i_TAPE_STATUS_LOCAL: %s", rewShown.c_str());
        std::fprintf(stderr, "\n    i_TAPE_STATUS_LOCAL: %s \n ", rewShown.c_str());
        if (!run_mt(rewCmd, seconds, out.get(), code)) return timed_out();
        SM_TRACE(strLog, 0, "i_TAPE_STATUS_LOCAL: %s", stsShown.c_str());
        std::fprintf(stderr, "\n    i_TAPE_STATUS_LOCAL: %s \n ", stsShown.c_str());
        // The second status run starts the file afresh, as its ">" says.
        if (::ftruncate(out.get(), 0) != 0 || ::lseek(out.get(), 0, SEEK_SET) < 0)
            SM_TRACE(strLog, 0, "i_TAPE_STATUS_LOCAL: cannot empty %s", file.c_str());
        if (!run_mt(stsCmd, seconds, out.get(), code)) return timed_out();
        if (code != 0) {
            SM_TRACE(strLog, 0, "i_TAPE_STATUS_LOCAL: IO Problems in %s", file.c_str());
            if (strLog.iFlg > 0) WRITE_TRACE_COPY_FILE(strLog, file);
        }
    }
    if (out.close_checked() != 0) i_FILE_CLOSE(errno);

    std::string found;
    const std::string word = classify_mt_output(file, &found);
    if (!word.empty()) {
        cpSts = word;
        for (const MtText& t : kMtTexts)
            if (found == t.text) SM_TRACE(strLog, 0, t.trace, file.c_str());
        SM_TRACE(strLog, 0, "--- i_TAPE_STATUS_LOCAL: %s", cpSts.c_str());
        i_FILE_DELETE(file, strLog);
        return 0;
    }

    SM_TRACE(strLog, 0, "Open device %s", cpDevice.c_str());
    int query = 0;
    if (!query_driver(cpDevice, seconds, query)) {
        cpSts = deadline_message("the tape driver (MTIOCGET)", seconds);
        v_TAPE_STATUS_FINISH(file, -1, "Fatal", cpIdent, cpDn, cpSts, strLog);
        return -1;
    }
    if (query == kQueryOpenFailed) {
        cpSts = kNotDefined;
        SM_TRACE(strLog, 0, "--- i_TAPE_STATUS_LOCAL: %s", cpSts.c_str());
        i_FILE_DELETE(file, strLog);
        return 0;
    }
    SM_TRACE(strLog, 0, "Open device OK");
    if (query >= kQueryIoctlBase) {
        SM_TRACE(strLog, 0, "ioctl failed: %s", posix::errtext(query - kQueryIoctlBase).c_str());
        cpSts = kNotDefined;
        v_TAPE_STATUS_FINISH(file, -1, "Fatal", cpIdent, cpDn, cpSts, strLog);
        return 0;
    }
    // Linux's mt never prints "sense key(": there the driver's online bit tells.
    std::string sense = "sense key(";
    const bool online = query == kQueryOnline || file_search(file, sense);
    cpSts = online ? kOnline : kNotOnline;
    v_TAPE_STATUS_FINISH(file, -1, "Info", cpIdent, cpDn, cpSts, strLog);
    return online ? 1 : 0;
}

void v_TAPE_STATUS_FINISH(const std::string& cpDeleteFile, int iCloseFile, const std::string& cpInfoErr,
                          const std::string& cpIdent, const std::string& cpDn, const std::string& cpProtInfo,
                          str_log strLog) {
    if (!cpDeleteFile.empty()) i_FILE_DELETE(cpDeleteFile, strLog);
    if (iCloseFile != -1) posix::close_checked(iCloseFile);
    std::string klass, status;
    str_chain(klass, 1, {cpInfoErr, ": ", cpIdent});
    str_chain(status, 1, {cpProtInfo, " (No.=", cpDn, ")"});
    if (cpDn != "unknown") {
        // One language only; the tag says how serious it is.
        PROT(cpInfoErr == "Info" ? "I100-MEDIA   %s %s" : "E100-MEDIA   %s %s", klass.c_str(),
             status.c_str());
        info('M', std::atoi(cpDn.c_str()), status);
    }
    SM_TRACE(strLog, 0, "--- i_TAPE_STATUS_FINISH: %s", status.c_str());
}
