#include "exec/system.hpp"

#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/environ.hpp"
#include "config/glbv.hpp"
#include "exec/child.hpp"
#include "exec/fileutil.hpp"
#include "log/prot.hpp"
#include "util/posix.hpp"
#include "util/strings.hpp"

namespace {

constexpr int kNotFound = 127;
constexpr int kSignalBase = 128;
constexpr int kSignalMax = 160;
constexpr const char* kExitMark = "exit with status ";
constexpr size_t kExitMarkLen = 17;

void e008(const std::string& prefix, const std::string& text) {
    PROT(pick(kMsgE008), prefix.c_str(), text.c_str());
}

// Waits for the child. A wait that fails (the child was reaped elsewhere)
// is reported once and counts as "not found".
int wait_status(exec::Child& child, int options, const std::string& prefix, std::string* buffer) {
    int status = 0;
    if (child.wait(status, options)) return status;
    const int err = errno;
    std::fprintf(stderr, "start_system: no child to wait for! %s (errno=%d)\n", posix::errtext(err).c_str(),
                 err);
    std::string text = "no child to wait for: " + posix::errtext(err);
    e008(prefix, text);
    if (buffer) *buffer = text;
    return kNotFound << 8;
}

// Differences between start_system and i_cm_system in how failures read.
struct Wording {
    const char* shell_signal_line;
    bool name_command_on_start_failure;
    const char* not_found_text;
};

const Wording kStartSystem{"/bin/sh terminated due to receipt of a signal that was not caught: %d\n", true,
                           "could not start: please check"};
const Wording kCmSystem{"/bin/sh terminated due to the receipt of a signal that was not caught: %d\n", false,
                        "could not start: please check it: "};

// Reports every failure that status shows (stderr line, E008, text in
// out) and returns the exit-code byte.
int decode(int status, const std::string& cmd, const std::string& prefix, const Wording& w,
           std::string& out) {
    const int low = status & 0xff;
    const int code = (status >> 8) & 0xff;
    if (low != 0) {
        std::fprintf(stderr, "/bin/sh terminated abnormally %d...\n", 0);
        out = "/bin/sh terminated abnormally";
        e008(prefix, out);
    }
    if (low != 0 && code == 0) {
        const int sig = low & 0x7f;
        std::fprintf(stderr, w.shell_signal_line, sig);
        out =
            std::string("/bin/sh terminated due to receipt of a signal that was not caught: ") + intoas(sig);
        e008(prefix, out);
    }
    if (code >= kSignalBase && code <= kSignalMax) {
        std::fprintf(stderr, "exe terminated due to the receipt of a signal that was not caught: %d\n",
                     code - kSignalBase);
        out = std::string("terminated due to receipt of a signal that was not caught: ") +
              intoas(code - kSignalBase);
        e008(prefix, out);
    }
    if (code > kSignalMax) {
        const int err = code - kExecFailBase;
        if (w.name_command_on_start_failure)
            std::fprintf(stderr, "exe %s could not start!\n", cmd.c_str());
        else
            std::fprintf(stderr, "exe could not start!\n");
        std::fprintf(stderr, "start_system: %s (%d)\n", posix::errtext(err).c_str(), err);
        out = "could not start: " + posix::errtext(err);
        e008(prefix, out);
    }
    if (code == kNotFound) {
        std::fprintf(stderr, "start_system: please check: %s (%d)\n", posix::errtext(ENOENT).c_str(), ENOENT);
        out = std::string(w.not_found_text) + posix::errtext(ENOENT);
        e008(prefix, out);
    }
    return code;
}

}  // namespace

int exec_failure_status(int err) {
    std::fprintf(stderr, "start_system (child): %s (%d)\n", posix::errtext(err).c_str(), err);
    return ((kExecFailBase + err) & 0xff) << 8;
}

int start_system(std::string& cpExe) {
    if (i_setenv_zarvo(cpExe) != 1) {
        std::printf("error occured in i_setenv_zarvo\n");
        return kEnvNotReady;
    }
    const std::string cmd = cpExe;
    const std::string prefix = cut("start_system: " + cmd, kSystemLogPrefixMax);

    exec::Child child = exec::Child::shell(cmd);
    if (child.create_failed()) {
        const int err = child.error();
        std::fprintf(stderr, "start_system: Unable to fork child process: %s (errno=%d)\n",
                     posix::errtext(err).c_str(), err);
        cpExe = "unable to fork child process: " + posix::errtext(err);
        e008(prefix, cpExe);
        std::fflush(nullptr);
        std::exit(1);
    }
    if (!child.started()) {
        std::fprintf(stderr, "start_system (child): /bin/sh -c %s\n", cmd.c_str());
        return decode(exec_failure_status(child.error()), cmd, prefix, kStartSystem, cpExe);
    }
    const int status = wait_status(child, 0, prefix, &cpExe);
    return decode(status, cmd, prefix, kStartSystem, cpExe);
}

int i_cm_system(const std::string& cpExe) {
    i_setenv_zarvo(cpExe);
    const std::string prefix = cut("Error: start_system: " + cpExe, kSystemLogPrefixMax);
    exec::Child child = exec::Child::shell(cpExe);
    if (child.create_failed()) return -1;
    std::string text;
    if (!child.started()) return decode(exec_failure_status(child.error()), cpExe, prefix, kCmSystem, text);
    int status = wait_status(child, WUNTRACED, prefix, &text);
    if (WIFSTOPPED(status)) child.release();  // left to the caller, as a stopped job is
    return decode(status, cpExe, prefix, kCmSystem, text);
}

int start_system_tee(std::string& cpExe, const std::string& cpInfile, const std::string& cpOutfile,
                     const std::string& cpErrfile, str_log strLog) {
    const std::string errstatus = cpOutfile + ".err";
    const std::string redirect = cpInfile.empty() ? std::string() : "<" + cpInfile;

    std::string cmd, without_tee;
    if (glbv_get("gv_start_system_without_tee", without_tee)) {
        SM_TRACE(strLog, 0, "INFO: glbv gv_start_system_without_tee is set so start_system_tee without tee");
        cmd = sformat("%s >> %s %s 2>>%s ", cpExe.c_str(), cpOutfile.c_str(), redirect.c_str(),
                      cpErrfile.c_str());
    } else if (cpOutfile == "STDOUT" || cpOutfile == "-") {
        cmd = sformat("%s %s", cpExe.c_str(), redirect.c_str());
    } else {
        cmd = sformat("{ %s 2>&1 1>>%s %s || echo %s$? > %s; } | tee -a %s 1>&2", cpExe.c_str(),
                      cpOutfile.c_str(), redirect.c_str(), kExitMark, errstatus.c_str(), cpErrfile.c_str());
    }
    cmd = cut(cmd, kTeeCommandMax);
    SM_TRACE(strLog, 0, "start_system_tee: cmd = %s", cmd.c_str());
    const std::string built = cmd;
    start_system(cmd);

    int iReturn = 0;
    if (file_exist(errstatus)) {
        file_type(errstatus);
        std::string search = std::string(kExitMark) + "^";
        if (file_search(errstatus, search)) {
            SM_TRACE(strLog, 1, "got: %s", search.c_str());
            iReturn = std::atoi(search.c_str() + std::min(search.size(), kExitMarkLen));
        }
        i_FILE_DELETE(errstatus, strLog);
        SM_TRACE(strLog, 0, "iReturn in start_system_tee = %d", iReturn);
        if (iReturn >= kSignalBase && iReturn <= kSignalMax) {
            const int sig = iReturn - kSignalBase;
            std::fprintf(stderr, "exe terminated due to the receipt of a signal that was not caught: %d\n",
                         sig);
            SM_TRACE(strLog, 0,
                     "start_system_tee: %s terminated due to the receipt of a signal that was not caught: %d",
                     cpExe.c_str(), sig);
            cpExe = std::string("terminated due to receipt of a signal that was not caught: ") + intoas(sig);
            e008(built, cpExe);
        }
    } else {
        SM_TRACE(strLog, 1, "set iReturn in start_system_tee = %d", iReturn);
    }
    return iReturn;
}

int start_proc(std::string& cpExe) {
    std::string program;
    str_elem(0, ' ', cpExe.c_str(), program);
    if (!file_exist(program)) {
        std::string bin;
        if (!glbv_get("gv_ro_bin", bin) || !file_exist(bin + program)) return kProgramMissing;
    }
    return start_system(cpExe);
}

int file_type(const std::string& name) {
    std::string file = name;
    resolve_glbv(file);
    std::string cmd = sformat("cat '%s' >&2", file.c_str());
    return start_system(cmd) == 0 ? 1 : 0;
}
