#include "device/timed_run.hpp"

#include <sys/wait.h>

#include <cstdlib>

#include "config/environ.hpp"
#include "ini/ini.hpp"
#include "util/strings.hpp"

namespace {

constexpr int kReapAfterKillMs = 10000;  // a killed child needs no more than this to go
constexpr int kDeadlineMaxSec = 86400;

}  // namespace

int deadline_seconds(const char* program, int dflt) {
    std::string value, msg;
    if (!i_READ_INI("SM_INI", "[Deadlines]", program, value, 32, msg, 256)) return dflt;
    char* end = nullptr;
    const long n = std::strtol(value.c_str(), &end, 10);
    if (end == value.c_str() || *end != '\0' || n < 1 || n > kDeadlineMaxSec) return dflt;
    return static_cast<int>(n);
}

TimedRun run_with_deadline(const std::string& command, int seconds, int out_fd, bool err_too) {
    TimedRun r;
    if (i_setenv_zarvo(command) != 1) return r;
    exec::SpawnOptions opt;
    opt.new_group = true;  // the program runs under a shell: the deadline must reach both
    if (out_fd >= 0) opt.out = exec::Stdio::from(out_fd);
    if (out_fd >= 0 && err_too) opt.err = exec::Stdio::from(out_fd);
    exec::Child child = exec::Child::shell(command, opt);
    if (!child.started()) return r;
    int status = 0;
    const int w = child.wait_for(posix::Deadline::after_ms(seconds * 1000LL), status);
    if (w == 0) {
        r.timed_out = true;
        kill_child(child);
        return r;
    }
    // Whatever the program left running in its group (sm_main starts the
    // data server) is its business, not ours to kill.
    child.release();
    if (w < 0) return r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

void kill_child(exec::Child& child) {
    child.kill(SIGKILL);
    int status = 0;
    if (child.wait_for(kReapAfterKillMs, status) == 0) child.release();
}

std::string deadline_message(const std::string& program, int seconds) {
    return sformat("%s did not answer within %d s and was killed", program.c_str(), seconds);
}
