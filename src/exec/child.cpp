#include "exec/child.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace {

void write_stderr(const char* s) {
    size_t len = std::strlen(s);
    while (len > 0) {
        ssize_t n = ::write(2, s, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        s += n;
        len -= static_cast<size_t>(n);
    }
}

[[noreturn]] void exec_shell(const char* cmd, int stdout_fd, const char* note) {
    // The agent's own handlers and mask must not leak into the command.
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP) continue;
        ::signal(sig, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (stdout_fd >= 0 && stdout_fd != 1) {
        if (::dup2(stdout_fd, 1) < 0) ::_exit(kExecFailBase + errno);
    }
    char* const argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(cmd), nullptr};
    ::execve("/bin/sh", argv, environ);
    const int err = errno;
    if (note && *note) write_stderr(note);
    char buf[512];
    std::snprintf(buf, sizeof buf, "start_system (child): %s (%d)\n", std::strerror(err), err);
    write_stderr(buf);
    ::_exit(kExecFailBase + err);
}

}  // namespace

pid_t spawn_shell(const std::string& cmd, int stdout_fd, const std::string& child_note) {
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) exec_shell(cmd.c_str(), stdout_fd, child_note.c_str());
    return pid;
}

pid_t wait_child(pid_t pid, int* status, int options) {
    pid_t r;
    do {
        r = ::waitpid(pid, status, options);
    } while (r < 0 && errno == EINTR);
    return r;
}
