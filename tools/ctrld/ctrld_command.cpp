#include "ctrld_command.hpp"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

std::vector<std::string> path_dirs(const std::string& path) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t c = path.find(':', start);
        std::string dir = path.substr(start, c == std::string::npos ? std::string::npos : c - start);
        out.push_back(dir.empty() ? "." : dir);
        if (c == std::string::npos) return out;
        start = c + 1;
    }
}

// A regular executable file named name on path; name itself when it holds
// a '/'. "" with err set when there is none.
std::string find_program(const std::string& name, const std::string& path, int& err) {
    auto runnable = [](const std::string& f, int& e) {
        struct stat st {};
        if (::stat(f.c_str(), &st) < 0) {
            e = errno;
            return false;
        }
        if (!S_ISREG(st.st_mode) || ::access(f.c_str(), X_OK) < 0) {
            e = EACCES;
            return false;
        }
        return true;
    };
    err = ENOENT;
    if (name.find('/') != std::string::npos) return runnable(name, err) ? name : std::string();
    bool denied = false;
    for (const std::string& dir : path_dirs(path)) {
        int e = 0;
        if (runnable(dir + "/" + name, e)) return dir + "/" + name;
        denied |= (e == EACCES);
    }
    err = denied ? EACCES : ENOENT;
    return {};
}

std::vector<char*> c_strings(std::vector<std::string>& v) {
    std::vector<char*> out;
    for (auto& s : v) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

bool needs_id_switch(const Identity& id) {
    return ::geteuid() == 0 && (id.uid != 0 || ::getgid() != id.gid);
}

// In the child after fork: becomes the user, sets up the streams and
// executes; reports errno on errfd and ends when anything fails.
[[noreturn]] void exec_child(std::vector<char*>& argv, std::vector<char*>& envp, const Identity& id,
                             const std::string& path, CommandStdio io, int errfd) {
    auto die = [errfd](int e) {
        ssize_t w = ::write(errfd, &e, sizeof e);
        (void)w;
        ::_exit(127);
    };
    ::setsid();
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int s = 1; s < NSIG; ++s) ::sigaction(s, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (::dup2(io.in, 0) < 0 || ::dup2(io.out, 1) < 0 || ::dup2(io.err, 2) < 0) die(errno);
    if (::initgroups(id.name.c_str(), id.gid) < 0 || ::setgid(id.gid) < 0 || ::setuid(id.uid) < 0) die(errno);
    if (::chdir(id.home.c_str()) < 0 && ::chdir("/") < 0) die(errno);
    std::string name = argv[0];
    if (name.find('/') != std::string::npos) {
        ::execve(argv[0], argv.data(), envp.data());
        die(errno);
    }
    int last = ENOENT;
    bool denied = false;
    for (const std::string& dir : path_dirs(path)) {
        std::string full = dir + "/" + name;
        ::execve(full.c_str(), argv.data(), envp.data());
        if (errno == EACCES)
            denied = true;
        else if (errno != ENOENT && errno != ENOTDIR)
            last = errno;
    }
    die(denied ? EACCES : last);
    ::_exit(127);
}

}  // namespace

std::optional<Identity> ctrld_lookup_user(const std::string& name) {
    struct passwd pw {
    }, *res = nullptr;
    std::vector<char> buf(16384);
    if (::getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &res) != 0 || !res) return std::nullopt;
    return Identity{pw.pw_uid, pw.pw_gid, pw.pw_name, pw.pw_dir ? pw.pw_dir : "/",
                    pw.pw_shell ? pw.pw_shell : "/bin/sh"};
}

CtrldCommand::~CtrldCommand() {
    finish();
}

bool CtrldCommand::start(const std::vector<std::string>& argv, const Identity& id, const std::string& path,
                         const std::vector<std::string>& env, CommandStdio io) {
    std::vector<std::string> a = argv, e = env;
    std::vector<char*> cargv = c_strings(a), cenv = c_strings(e);
    if (!needs_id_switch(id)) {
        // No change of ids: posix_spawn, which does not copy this process.
        std::string prog = find_program(argv[0], path, start_errno_);
        if (prog.empty()) return false;
        std::string dir = ::access(id.home.c_str(), X_OK) == 0 ? id.home : "/";
        posix_spawn_file_actions_t fa;
        posix_spawnattr_t at;
        posix_spawn_file_actions_init(&fa);
        posix_spawnattr_init(&at);
        posix_spawn_file_actions_adddup2(&fa, io.in, 0);
        posix_spawn_file_actions_adddup2(&fa, io.out, 1);
        posix_spawn_file_actions_adddup2(&fa, io.err, 2);
        posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
        sigset_t all, none;
        sigfillset(&all);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&at, &all);
        posix_spawnattr_setsigmask(&at, &none);
        posix_spawnattr_setflags(&at, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        start_errno_ = ::posix_spawn(&pid_, prog.c_str(), &fa, &at, cargv.data(), cenv.data());
        posix_spawn_file_actions_destroy(&fa);
        posix_spawnattr_destroy(&at);
        if (start_errno_ != 0) pid_ = -1;
    } else {
        // A change of ids needs fork; the exec reports failure on a pipe
        // that closes empty on success.
        int ep[2];
        if (::pipe2(ep, O_CLOEXEC) < 0) {
            start_errno_ = errno;
            return false;
        }
        posix::UniqueFd rd(ep[0]), wr(ep[1]);
        pid_ = ::fork();
        if (pid_ == 0) exec_child(cargv, cenv, id, path, io, ep[1]);
        if (pid_ < 0) {
            start_errno_ = errno;
            return false;
        }
        wr.reset();
        int child_errno = 0;
        ssize_t n;
        do {
            n = ::read(rd.get(), &child_errno, sizeof child_errno);
        } while (n < 0 && errno == EINTR);
        // The child is gone already when it reported: keep its pid to reap.
        if (n == static_cast<ssize_t>(sizeof child_errno)) start_errno_ = child_errno;
    }
    if (pid_ > 0) pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    return pid_ > 0 && start_errno_ == 0;
}

bool CtrldCommand::try_reap() {
    if (reaped_ || pid_ <= 0) return reaped_;
    pid_t w;
    do {
        w = ::waitpid(pid_, &status_, WNOHANG);
    } while (w < 0 && errno == EINTR);
    reaped_ = (w == pid_);
    return reaped_;
}

void CtrldCommand::kill_group() {
    if (pid_ <= 0) return;
    ::kill(-pid_, SIGKILL);
    if (!reaped_) ::kill(pid_, SIGKILL);  // before its setsid, it leads no group yet
}

void CtrldCommand::finish() {
    if (pid_ <= 0 || reaped_) return;
    kill_group();
    pid_t w;
    do {
        w = ::waitpid(pid_, &status_, 0);
    } while (w < 0 && errno == EINTR);
    reaped_ = true;
}

int CtrldCommand::exit_code() const {
    if (start_errno_ != 0) return std::min(255, 128 + start_errno_);
    if (WIFEXITED(status_)) return WEXITSTATUS(status_);
    return WIFSIGNALED(status_) ? 128 + WTERMSIG(status_) : 255;
}
