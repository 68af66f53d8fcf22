#include "ctrld_command.hpp"

#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

std::optional<Identity> ctrld_lookup_user(const std::string& name) {
    struct passwd pw {
    }, *res = nullptr;
    std::vector<char> buf(16384);
    if (::getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &res) != 0 || !res) return std::nullopt;
    return Identity{pw.pw_uid, pw.pw_gid, pw.pw_name, pw.pw_dir ? pw.pw_dir : "/",
                    pw.pw_shell ? pw.pw_shell : "/bin/sh"};
}

bool CtrldCommand::start(const std::vector<std::string>& argv, const Identity& id,
                         const std::vector<std::string>& env, CommandStdio io) {
    exec::SpawnOptions opt;
    opt.in = exec::Stdio::from(io.in);
    opt.out = exec::Stdio::from(io.out);
    opt.err = exec::Stdio::from(io.err);
    opt.new_session = true;
    opt.env = env;
    opt.cwd = ::access(id.home.c_str(), X_OK) == 0 ? id.home : "/";
    // Root asking for root keeps its ids; anyone else becomes the user.
    if (::geteuid() == 0 && (id.uid != 0 || ::getgid() != id.gid))
        opt.user = exec::User{id.uid, id.gid, id.name, {}};
    child_ = exec::Child::spawn(argv, opt);
    return child_.started();
}

bool CtrldCommand::try_reap() {
    if (reaped_ || child_.pid() <= 0) return reaped_;
    errno = 0;
    if (child_.wait(status_, WNOHANG)) {
        reaped_ = true;
    } else if (errno != 0) {
        reaped_ = true;  // gone without a status: no exit code to give
        status_ = W_EXITCODE(255, 0);
    }
    return reaped_;
}

void CtrldCommand::finish() {
    if (reaped_ || child_.pid() <= 0) return;
    kill_group();
    child_.wait(status_);
    reaped_ = true;
}

int CtrldCommand::exit_code() const {
    if (child_.error() != 0) return std::min(255, 128 + child_.error());
    if (WIFEXITED(status_)) return WEXITSTATUS(status_);
    return WIFSIGNALED(status_) ? 128 + WTERMSIG(status_) : 255;
}
