#include "exec/child.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/timeutil.hpp"

extern char** environ;

namespace exec {

namespace {

bool open_pipe(posix::UniqueFd& rd, posix::UniqueFd& wr) {
    posix::Pipe p;
    if (!posix::make_pipe(p)) return false;
    rd = std::move(p.rd);
    wr = std::move(p.wr);
    return true;
}

}  // namespace

struct SpawnPlan {
    std::vector<std::string> candidates;  // program paths to try, in order
    std::vector<std::string> args, vars;
    std::vector<char*> argv, envp;
    posix::UniqueFd src[3];  // what becomes 0, 1 and 2 (empty: inherited)
    std::vector<gid_t> groups;
    pid_t parent = 0;  // who forks, for a child whose parent died before set-up
};

namespace {

std::string path_of(const std::vector<std::string>* env) {
    if (!env) {
        const char* p = std::getenv("PATH");
        return p ? p : "/bin:/usr/bin";
    }
    for (const std::string& kv : *env)
        if (kv.rfind("PATH=", 0) == 0) return kv.substr(5);
    return "/bin:/usr/bin";
}

void find_candidates(const std::string& name, const std::vector<std::string>* env, SpawnPlan& plan) {
    if (name.find('/') != std::string::npos) {
        plan.candidates.push_back(name);
        return;
    }
    const std::string path = path_of(env);
    size_t start = 0;
    for (;;) {
        size_t colon = path.find(':', start);
        std::string dir = path.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        plan.candidates.push_back((dir.empty() ? "." : dir) + "/" + name);
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
}

// Our side of a stream and the descriptor the child gets. Given
// descriptors are duplicated above 2 so that no stream can overwrite the
// source of another one while they are put in place.
bool prepare_stream(int target, const Stdio& s, posix::UniqueFd& src, posix::UniqueFd& ours,
                    posix::UniqueFd& devnull) {
    switch (s.kind) {
        case Stdio::kInherit: return true;
        case Stdio::kNull:
            if (!devnull) {
                devnull = posix::open_fd("/dev/null", O_RDWR);
                if (!devnull) return false;
            }
            src.reset(::fcntl(devnull.get(), F_DUPFD_CLOEXEC, 3));
            return bool(src);
        case Stdio::kPipe: return target == 0 ? open_pipe(src, ours) : open_pipe(ours, src);
        case Stdio::kFd: src.reset(::fcntl(s.fd, F_DUPFD_CLOEXEC, 3)); return bool(src);
    }
    errno = EINVAL;
    return false;
}

bool prepare(const SpawnOptions& opt, SpawnPlan& plan, posix::UniqueFd (&ours)[3]) {
    posix::UniqueFd devnull;
    const Stdio* streams[3] = {&opt.in, &opt.out, &opt.err};
    for (int i = 0; i < 3; ++i)
        if (!prepare_stream(i, *streams[i], plan.src[i], ours[i], devnull)) return false;
    for (std::string& a : plan.args) plan.argv.push_back(a.data());
    plan.argv.push_back(nullptr);
    if (opt.env) {
        plan.vars = *opt.env;
        for (std::string& v : plan.vars) plan.envp.push_back(v.data());
        plan.envp.push_back(nullptr);
    }
    if (opt.user) {
        plan.groups = opt.user->groups;
        if (!opt.user->name.empty()) {
            int n = 32;
            for (;;) {
                plan.groups.resize(static_cast<size_t>(n));
                int want = n;
                if (::getgrouplist(opt.user->name.c_str(), opt.user->gid, plan.groups.data(), &want) >= 0) {
                    plan.groups.resize(static_cast<size_t>(want));
                    break;
                }
                if (want <= n) {
                    errno = EINVAL;
                    return false;
                }
                n = want;
            }
        }
    }
    return true;
}

char** envp_of(SpawnPlan& plan) {
    return plan.envp.empty() ? environ : plan.envp.data();
}

[[noreturn]] void report_and_exit(int errfd, int err) {
    ssize_t w;
    do {
        w = ::write(errfd, &err, sizeof err);
    } while (w < 0 && errno == EINTR);
    ::_exit(127);
}

// In the forked child. Signals are blocked on entry (the parent blocked
// them around fork), so none of the parent's handlers can run here.
[[noreturn]] void run_child(SpawnPlan& plan, const SpawnOptions& opt, int errfd,
                            const std::function<int()>* body) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &dfl, nullptr);
    if (opt.new_session ? ::setsid() < 0 : (opt.new_group && ::setpgid(0, 0) < 0))
        report_and_exit(errfd, errno);
    for (int i = 0; i < 3; ++i)
        if (plan.src[i] && ::dup2(plan.src[i].get(), i) < 0) report_and_exit(errfd, errno);
    if (opt.user) {
        if (::setgroups(plan.groups.size(), plan.groups.data()) < 0 || ::setgid(opt.user->gid) < 0 ||
            ::setuid(opt.user->uid) < 0)
            report_and_exit(errfd, errno);
    }
    if (!opt.cwd.empty() && ::chdir(opt.cwd.c_str()) < 0) report_and_exit(errfd, errno);
    // After the user switch, which would clear it.
    if (opt.parent_death_signal) {
        if (::prctl(PR_SET_PDEATHSIG, opt.parent_death_signal) < 0) report_and_exit(errfd, errno);
        if (::getppid() != plan.parent) ::raise(opt.parent_death_signal);
    }
    sigset_t none;
    sigemptyset(&none);
    if (body) {
        ::close(errfd);  // set-up done: the parent stops waiting
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::_exit((*body)());
    }
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    int err = ENOENT;
    bool denied = false;
    for (const std::string& c : plan.candidates) {
        ::execve(c.c_str(), plan.argv.data(), envp_of(plan));
        if (errno == EACCES)
            denied = true;
        else if (errno != ENOENT && errno != ENOTDIR) {
            err = errno;
            break;
        }
    }
    report_and_exit(errfd, denied && err == ENOENT ? EACCES : err);
}

// Fork path: needed for a user switch and for running a function.
// Returns the pid, or -1 with err (create: no process was made).
pid_t fork_start(SpawnPlan& plan, const SpawnOptions& opt, const std::function<int()>* body, int& err,
                 bool& create) {
    posix::Pipe errpipe;
    if (!posix::make_pipe(errpipe)) {
        err = errno;
        create = true;
        return -1;
    }
    sigset_t all, old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    plan.parent = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) run_child(plan, opt, errpipe.wr.get(), body);
    const int fork_err = errno;
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (pid < 0) {
        err = fork_err;
        create = true;
        return -1;
    }
    errpipe.wr.reset();
    // Closed empty by a successful exec (or set-up, for a function);
    // otherwise the child's errno arrives before it exits.
    int child_err = 0;
    if (posix::read_exact(errpipe.rd.get(), &child_err, sizeof child_err) ==
        static_cast<ssize_t>(sizeof child_err)) {
        posix::retry_eintr([&] { return ::waitpid(pid, nullptr, 0); });
        err = child_err;
        return -1;
    }
    return pid;
}

// posix_spawn path: no copy of this process. The exec's errno comes back
// from posix_spawn itself; EAGAIN means no process could be made.
pid_t spawn_start(SpawnPlan& plan, const SpawnOptions& opt, int& err, bool& create) {
    posix_spawn_file_actions_t fa;
    posix_spawnattr_t at;
    posix_spawn_file_actions_init(&fa);
    posix_spawnattr_init(&at);
    for (int i = 0; i < 3; ++i)
        if (plan.src[i]) posix_spawn_file_actions_adddup2(&fa, plan.src[i].get(), i);
    if (!opt.cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, opt.cwd.c_str());
    // Every signal back to its default: sigfillset leaves out the two that
    // glibc keeps for itself, and posix_spawn would hand them over ignored.
    sigset_t all, none;
    std::memset(&all, 0xff, sizeof all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&at, &all);
    posix_spawnattr_setsigmask(&at, &none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (opt.new_session)
        flags |= POSIX_SPAWN_SETSID;
    else if (opt.new_group) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&at, 0);
    }
    posix_spawnattr_setflags(&at, flags);

    pid_t pid = -1;
    int rc = ENOENT;
    bool denied = false;
    for (const std::string& c : plan.candidates) {
        struct stat st {};
        if (plan.candidates.size() > 1 && ::stat(c.c_str(), &st) < 0) continue;  // not on this PATH entry
        rc = ::posix_spawn(&pid, c.c_str(), &fa, &at, plan.argv.data(), envp_of(plan));
        if (rc == 0 || (rc != EACCES && rc != ENOENT && rc != ENOTDIR)) break;
        denied |= rc == EACCES;
    }
    if (rc == ENOENT && denied) rc = EACCES;
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&at);
    if (rc != 0) {
        err = rc;
        create = rc == EAGAIN;
        return -1;
    }
    return pid;
}

}  // namespace

Child Child::start(SpawnPlan& plan, const SpawnOptions& opt, const std::function<int()>* body) {
    Child c;
    posix::UniqueFd ours[3];
    int err = 0;
    bool create = false;
    pid_t pid = -1;
    std::fflush(nullptr);  // nothing buffered here is written twice or late
    if (!prepare(opt, plan, ours)) {
        err = errno;
        create = true;
    } else if (body || opt.user || opt.parent_death_signal) {
        pid = fork_start(plan, opt, body, err, create);
    } else {
        pid = spawn_start(plan, opt, err, create);
    }
    c.pid_ = pid;
    c.group_ = pid > 0 && (opt.new_session || opt.new_group);
    c.error_ = err;
    c.create_failed_ = create;
    if (pid > 0)
        for (int i = 0; i < 3; ++i) c.pipes_[i] = std::move(ours[i]);
    return c;
}

Child Child::spawn(const std::vector<std::string>& argv, const SpawnOptions& opt) {
    SpawnPlan plan;
    if (argv.empty()) {
        Child c;
        c.error_ = EINVAL;
        return c;
    }
    plan.args = argv;
    find_candidates(argv[0], opt.env ? &*opt.env : nullptr, plan);
    return start(plan, opt, nullptr);
}

Child Child::shell(const std::string& command, const SpawnOptions& opt) {
    SpawnPlan plan;
    plan.args = {"sh", "-c", command};
    plan.candidates = {"/bin/sh"};
    return start(plan, opt, nullptr);
}

Child Child::call(const std::function<int()>& body, const SpawnOptions& opt) {
    SpawnPlan plan;
    return start(plan, opt, &body);
}

Child::Child(Child&& o) noexcept {
    *this = std::move(o);
}

Child& Child::operator=(Child&& o) noexcept {
    if (this == &o) return *this;
    finish();
    pid_ = std::exchange(o.pid_, -1);
    reaped_ = std::exchange(o.reaped_, false);
    group_ = std::exchange(o.group_, false);
    create_failed_ = o.create_failed_;
    error_ = o.error_;
    usage_ = o.usage_;
    for (int i = 0; i < 3; ++i) pipes_[i] = std::move(o.pipes_[i]);
    pidfd_ = std::move(o.pidfd_);
    pidfdTried_ = std::exchange(o.pidfdTried_, false);
    return *this;
}

Child::~Child() {
    finish();
}

void Child::finish() {
    for (auto& p : pipes_) p.reset();
    pidfd_.reset();
    pidfdTried_ = false;
    if (pid_ <= 0) return;
    kill(SIGKILL);
    int status;
    if (!reaped_) wait(status);
    pid_ = -1;
}

bool Child::wait(int& status, int options) {
    if (pid_ <= 0 || reaped_) {
        errno = ECHILD;
        return false;
    }
    const pid_t r = posix::retry_eintr([&] { return ::wait4(pid_, &status, options, &usage_); });
    if (r < 0) {
        reaped_ = true;  // reaped elsewhere (or SIGCHLD ignored): nothing left to wait for
        return false;
    }
    if (r == 0) return false;  // WNOHANG and still running
    if (!WIFSTOPPED(status) && !WIFCONTINUED(status)) reaped_ = true;
    return true;
}

int Child::wait_for(int timeout_ms, int& status) {
    return wait_for(posix::Deadline::after_ms(timeout_ms), status);
}

int Child::wait_for(const posix::Deadline& deadline, int& status) {
    errno = 0;
    if (wait(status, WNOHANG)) return 1;
    if (errno != 0 || reaped_) return -1;
    // A pidfd turns "ended" into a readable descriptor: no SIGCHLD handler,
    // no sleeping in steps.
    const int pidfd = exit_fd();
    for (;;) {
        if (pidfd >= 0) {
            int r = posix::wait_fd(pidfd, POLLIN, deadline);
            if (r < 0) return -1;
            if (r == 0) return 0;
        } else {
            if (deadline.expired()) return 0;
            const int left = deadline.remaining_ms();
            wait_msec(left >= 0 && left < 10 ? left : 10);  // kernels without pidfd
        }
        errno = 0;
        if (wait(status, WNOHANG)) return 1;
        if (errno != 0 || reaped_) return -1;
    }
}

int Child::exit_fd() {
    if (!pidfdTried_ && pid_ > 0 && !reaped_) {
        pidfdTried_ = true;
        pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    }
    return pidfd_.get();
}

int Child::kill(int sig) {
    if (group_) return ::kill(-pid_, sig);
    if (pid_ > 0 && !reaped_) return ::kill(pid_, sig);
    errno = ESRCH;
    return -1;
}

pid_t Child::release() {
    group_ = false;
    for (auto& p : pipes_) p.reset();
    pidfd_.reset();
    return std::exchange(pid_, -1);
}

}  // namespace exec
