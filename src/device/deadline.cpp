#include "device/deadline.hpp"

#include <sys/wait.h>

#include <cstdlib>

#include "config/environ.hpp"
#include "exec/child.hpp"
#include "ini/ini.hpp"
#include "util/posix.hpp"
#include "util/strings.hpp"

int program_deadline(const char* program, int default_sec) {
    std::string value, msg;
    if (!i_READ_INI("SM_INI", "[Deadlines]", program, value, 32, msg, 256)) return default_sec;
    char* end = nullptr;
    const long n = std::strtol(value.c_str(), &end, 10);
    if (end == value.c_str() || *end != '\0' || n < 1 || n > kDeadlineMaxSec) return default_sec;
    return static_cast<int>(n);
}

LimitedRun run_limited(const std::string& command, int seconds) {
    LimitedRun r;
    r.code = -1;
    if (i_setenv_zarvo(command) != 1) return r;
    exec::SpawnOptions opt;
    opt.new_group = true;
    exec::Child child = exec::Child::shell(command, opt);
    if (!child.started()) return r;
    int status = 0;
    const int ended = child.wait_for(posix::Deadline::after_ms(seconds * 1000LL), status);
    if (ended == 0) {
        r.timed_out = true;
        return r;  // the destructor kills the group and reaps
    }
    // Whatever the program left running in its group (a daemon it started
    // without a session of its own) is its business, not ours to kill.
    child.release();
    if (ended < 0) return r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

std::string deadline_message(const char* program, int seconds) {
    return sformat("%s killed after its deadline of %d s", program, seconds);
}
