// One owner for a child process: how it is started (program, shell command
// or a function in a copy of this process), its standard streams, session,
// user, environment and directory, and how it is waited for and ended.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "util/posix.hpp"

namespace exec {

struct SpawnPlan;

// How one of the child's standard streams is set up.
struct Stdio {
    enum Kind { kInherit, kNull, kPipe, kFd };
    Kind kind = kInherit;
    int fd = -1;  // kFd only: a descriptor of the caller, not taken over

    static Stdio inherit() { return {kInherit, -1}; }
    static Stdio null() { return {kNull, -1}; }  // /dev/null, read or write as fits
    static Stdio pipe() { return {kPipe, -1}; }  // the other end stays in the Child
    static Stdio from(int fd) { return {kFd, fd}; }
};

// The user a child runs as. With a name the supplementary groups are that
// user's groups (as initgroups would set them), otherwise exactly groups.
struct User {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name;
    std::vector<gid_t> groups;
};

struct SpawnOptions {
    Stdio in, out, err;
    bool new_session = false;  // setsid(): also a new process group
    bool new_group = false;    // setpgid(0, 0)
    std::optional<User> user;  // switch ids (needs root); none: keep ours
    // The whole environment ("NAME=value"); none: inherit ours. A program
    // name without '/' is searched on this environment's PATH.
    std::optional<std::vector<std::string>> env;
    std::string cwd;  // working directory; empty: inherit
    // Signal the child gets when the thread that started it ends (also when
    // that happened before the child was set up); 0: none. Kept across
    // exec, not across the child's own forks.
    int parent_death_signal = 0;
};

// A running (or finished) child. Move-only. Unless released, the destructor
// kills a child that has not been reaped and reaps it; when the child was
// started in a group or session of its own, the whole group is killed, also
// after the first process ended, so no background process outlives it.
class Child {
   public:
    Child() = default;
    Child(Child&& o) noexcept;
    Child& operator=(Child&& o) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();

    // Starts argv[0] (a path, or a name searched on PATH) with argv.
    // Check started(); on failure error() is the errno of the first step
    // that failed, including the exec itself (ENOENT, EACCES, E2BIG, ...).
    static Child spawn(const std::vector<std::string>& argv, const SpawnOptions& opt = {});
    // Starts "/bin/sh -c command".
    static Child shell(const std::string& command, const SpawnOptions& opt = {});
    // Runs body in a forked copy of this process after the same set-up and
    // ends it with _exit(body()). Only async-signal-safe set-up happens
    // before body; body itself should not rely on other threads' locks.
    static Child call(const std::function<int()>& body, const SpawnOptions& opt = {});

    bool started() const { return pid_ > 0; }
    int error() const { return error_; }
    // True when no process could be created at all (fork/clone failed), as
    // opposed to a process that could not run its program.
    bool create_failed() const { return create_failed_; }

    pid_t pid() const { return pid_; }
    bool own_group() const { return group_; }
    // Our ends of kPipe streams: stdin's write end, stdout's/stderr's read ends.
    posix::UniqueFd& in() { return pipes_[0]; }
    posix::UniqueFd& out() { return pipes_[1]; }
    posix::UniqueFd& err() { return pipes_[2]; }

    // Waits for the child (waitpid, EINTR retried; options e.g. WUNTRACED).
    // Returns true with the wait status; false with errno when the wait
    // failed (the child then counts as gone). A stopped child stays ours.
    bool wait(int& status, int options = 0);
    // Waits until the deadline (polling a pidfd; no SIGCHLD handler needed).
    // 1: ended, status set; 0: still running; -1: the wait failed (errno).
    int wait_for(const posix::Deadline& deadline, int& status);
    int wait_for(int timeout_ms, int& status);  // 0: just looks
    // A descriptor that becomes readable once the child has ended (a pidfd,
    // opened on first use and owned here), for a caller's own poll loop;
    // -1 where the kernel has none: poll wait(WNOHANG) then.
    int exit_fd();
    // Resource usage of the reaped child (zero before).
    const struct rusage& usage() const { return usage_; }

    // Sends sig to the child's group when it made one (even after the child
    // itself was reaped: the group id cannot be reused while a member
    // lives), else to the child while it is not reaped.
    // Returns 0 or -1 with errno.
    int kill(int sig = SIGKILL);

    // Gives up ownership: nothing is killed or reaped. Returns the pid.
    pid_t release();

   private:
    static Child start(SpawnPlan& plan, const SpawnOptions& opt, const std::function<int()>* body);
    void finish();

    pid_t pid_ = -1;
    bool reaped_ = false;
    bool group_ = false;
    bool create_failed_ = false;
    int error_ = 0;
    struct rusage usage_ {};
    posix::UniqueFd pipes_[3];
    posix::UniqueFd pidfd_;
    bool pidfdTried_ = false;
};

}  // namespace exec
