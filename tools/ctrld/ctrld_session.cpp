#include "ctrld_session.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <memory>
#include <span>
#include <vector>

#include "remote/ctrl_wire.hpp"
#include "util/posix.hpp"
#include "util/strings.hpp"

volatile sig_atomic_t g_ctrldStop = 0;

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kChunk = 262144;
constexpr int kPipeSize = 1 << 20;
constexpr int kDrainMs = 5000;         // waiting for the caller to close after the exit code
constexpr const char* kDefaultPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
constexpr size_t kLogFieldMax = 300;   // shown of a user or command in the log

// Printable form of untrusted bytes for the log.
std::string shown(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size() && out.size() < kLogFieldMax; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"')
            out.push_back(' ');  // the word separator
        else if (c < 0x20 || c >= 0x7f || c == '\\')
            out += sformat("\\x%02x", c);
        else
            out.push_back(static_cast<char>(c));
    }
    if (s.size() > kLogFieldMax) out += "...";
    return out;
}

std::string caller_text(const struct sockaddr_in& a) {
    char buf[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf);
    return sformat("%s:%d", buf, ntohs(a.sin_port));
}

bool send_all(int fd, const char* p, size_t n, int flags = 0) {
    while (n > 0) {
        ssize_t w = ::send(fd, p, n, flags | MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                struct pollfd pf {fd, POLLOUT, 0};
                ::poll(&pf, 1, 1000);
                continue;
            }
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void set_nonblock(int fd) {
    int fl = ::fcntl(fd, F_GETFL);
    if (fl >= 0) ::fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

// Sends the urgent exit-code byte, ends our direction, and waits (bounded)
// for the caller to close so that nothing queued is cut off by a reset.
void finish_connections(int c1, int c2, int code) {
    unsigned char b = static_cast<unsigned char>(code);
    int urgent = c2 >= 0 ? c2 : c1;
    if (code >= 0) send_all(urgent, reinterpret_cast<const char*>(&b), 1, MSG_OOB);
    if (c2 >= 0) ::shutdown(c2, SHUT_WR);
    ::shutdown(c1, SHUT_WR);
    auto end = Clock::now() + std::chrono::milliseconds(kDrainMs);
    char sink[16384];
    for (;;) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
        if (left <= 0) break;
        struct pollfd pf {c1, POLLIN, 0};
        int r = ::poll(&pf, 1, left);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        ssize_t n = ::recv(c1, sink, sizeof sink, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) break;
    }
}

void refuse(int fd, const char* reason, int code) {
    std::string msg = std::string(1, '\x01') + reason + "\n";
    if (send_all(fd, msg.data(), msg.size())) {
        unsigned char b = static_cast<unsigned char>(code);
        send_all(fd, reinterpret_cast<const char*>(&b), 1, MSG_OOB);
    }
    finish_connections(fd, -1, -1);
}

// The connection back to the caller's offered port, from our own address.
int connect_back(int c1, int port, int timeout_s) {
    struct sockaddr_in local {}, peer {};
    socklen_t ll = sizeof local, pl = sizeof peer;
    if (::getsockname(c1, reinterpret_cast<struct sockaddr*>(&local), &ll) < 0 ||
        ::getpeername(c1, reinterpret_cast<struct sockaddr*>(&peer), &pl) < 0)
        return -1;
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) return -1;
    local.sin_port = 0;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(s, reinterpret_cast<struct sockaddr*>(&local), sizeof local) < 0 ||
        (::connect(s, reinterpret_cast<struct sockaddr*>(&peer), sizeof peer) < 0 && errno != EINPROGRESS)) {
        ::close(s);
        return -1;
    }
    struct pollfd pf {s, POLLOUT, 0};
    int r;
    do {
        r = ::poll(&pf, 1, timeout_s * 1000);
    } while (r < 0 && errno == EINTR);
    int err = 0;
    socklen_t el = sizeof err;
    if (r <= 0 || ::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &el) < 0 || err != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

std::vector<std::string> split_list_colon(const std::string& path) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t c = path.find(':', start);
        out.push_back(path.substr(start, c == std::string::npos ? std::string::npos : c - start));
        if (c == std::string::npos) return out;
        start = c + 1;
    }
}

// A regular executable file named name on path ("dir:dir:..."); name
// itself when it holds a '/'. "" with err set when there is none.
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
    for (const std::string& dir : split_list_colon(path)) {
        std::string full = (dir.empty() ? "." : dir) + "/" + name;
        int e = 0;
        if (runnable(full, e)) return full;
        denied |= (e == EACCES);
    }
    err = denied ? EACCES : ENOENT;
    return {};
}

// Starts the command without copying this process (no change of ids
// needed): a new session, default signals, the pipes as 0, 1 and 2. Returns
// the child, or -1 with err when it could not start.
pid_t spawn_command(const std::vector<std::string>& argv, const std::string& dir, const std::string& path,
                    const std::vector<std::string>& env, int in, int out, int err_fd, int& err) {
    std::string prog = find_program(argv[0], path, err);
    if (prog.empty()) return -1;
    posix_spawn_file_actions_t fa;
    posix_spawnattr_t at;
    posix_spawn_file_actions_init(&fa);
    posix_spawnattr_init(&at);
    posix_spawn_file_actions_adddup2(&fa, in, 0);
    posix_spawn_file_actions_adddup2(&fa, out, 1);
    posix_spawn_file_actions_adddup2(&fa, err_fd, 2);
    posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&at, &all);
    posix_spawnattr_setsigmask(&at, &none);
    posix_spawnattr_setflags(&at, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    std::vector<std::string> a = argv, e = env;
    std::vector<char*> cargv, cenv;
    for (auto& x : a) cargv.push_back(x.data());
    cargv.push_back(nullptr);
    for (auto& x : e) cenv.push_back(x.data());
    cenv.push_back(nullptr);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, prog.c_str(), &fa, &at, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&at);
    err = rc;
    return rc == 0 ? pid : -1;
}

struct Identity {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name, home, shell;
};

bool lookup_user(const std::string& name, Identity& id) {
    struct passwd pw {}, *res = nullptr;
    std::vector<char> buf(16384);
    if (::getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &res) != 0 || !res) return false;
    id.uid = pw.pw_uid;
    id.gid = pw.pw_gid;
    id.name = pw.pw_name;
    id.home = pw.pw_dir ? pw.pw_dir : "/";
    id.shell = pw.pw_shell ? pw.pw_shell : "/bin/sh";
    return true;
}

// In the command's child: becomes the user, then executes argv found on path.
// Writes errno into errfd and ends when anything fails.
[[noreturn]] void exec_command(const std::vector<std::string>& argv, const Identity& id,
                               const std::string& path, const std::vector<std::string>& env, int errfd) {
    auto die = [errfd](int e) {
        ssize_t w = ::write(errfd, &e, sizeof e);
        (void)w;
        ::_exit(127);
    };
    // Root asking for root keeps its ids; anyone else becomes the user.
    if (::geteuid() == 0 && (id.uid != 0 || ::getgid() != id.gid)) {
        if (::initgroups(id.name.c_str(), id.gid) < 0 || ::setgid(id.gid) < 0 || ::setuid(id.uid) < 0)
            die(errno);
    }
    if (::chdir(id.home.c_str()) < 0 && ::chdir("/") < 0) die(errno);
    std::vector<char*> cargv, cenv;
    std::vector<std::string> a = argv, e = env;
    for (auto& s : a) cargv.push_back(s.data());
    cargv.push_back(nullptr);
    for (auto& s : e) cenv.push_back(s.data());
    cenv.push_back(nullptr);
    if (argv[0].find('/') != std::string::npos) {
        ::execve(cargv[0], cargv.data(), cenv.data());
        die(errno);
    }
    int last = ENOENT;
    bool denied = false;
    for (const std::string& dir : split_list_colon(path)) {
        std::string full = (dir.empty() ? "." : dir) + "/" + argv[0];
        ::execve(full.c_str(), cargv.data(), cenv.data());
        if (errno == EACCES) denied = true;
        else if (errno != ENOENT && errno != ENOTDIR) last = errno;
    }
    die(denied ? EACCES : last);
    ::_exit(127);
}

// A byte stream from one descriptor to another through a bounded buffer:
// nothing more is read while written bytes are pending (back-pressure).
struct Pipe {
    int from = -1, to = -1;
    std::string buf;
    size_t off = 0;  // bytes of buf already written
    bool eof = false;

    bool empty() const { return off >= buf.size(); }
    const char* data() const { return buf.data() + off; }
    size_t size() const { return buf.size() - off; }
    void consume(size_t n) {
        off += n;
        if (off >= buf.size()) clear();
    }
    void clear() {
        buf.clear();
        off = 0;
    }
};

int pidfd_open_(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

}  // namespace

void ctrld_log(const CtrldLog& log, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string text = vsformat(fmt, ap);
    va_end(ap);
    time_t now = ::time(nullptr);
    struct tm tmv {};
    localtime_r(&now, &tmv);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tmv);
    std::string line = sformat("%s ctrld[%d]: %s\n", stamp, static_cast<int>(::getpid()), text.c_str());
    if (!log.file.empty()) {
        posix::UniqueFd fd = posix::open_fd(log.file, O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY, 0640);
        if (fd) posix::write_all(fd.get(), line);
    }
    if (log.to_stderr) posix::write_all(STDERR_FILENO, line);
}

int ctrld_serve_session(int fd, const CtrldConfig& cfg, const CtrldLog& log) {
    posix::UniqueFd c1(fd);
    struct sockaddr_in peer {};
    socklen_t pl = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<struct sockaddr*>(&peer), &pl) < 0 || peer.sin_family != AF_INET) {
        ctrld_log(log, "refused caller=? reason=no caller address");
        return -1;
    }
    const std::string caller = caller_text(peer);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    // The request, within its time and size limits.
    CtrlRequestLimits lim;
    lim.user_max = cfg.max_user;
    lim.command_max = cfg.max_command;
    CtrlRequestReader reader(lim);
    auto deadline = Clock::now() + std::chrono::seconds(cfg.request_timeout);
    auto storage = std::make_unique_for_overwrite<char[]>(kChunk);
    std::span<char> buf(storage.get(), kChunk);
    while (reader.feed({}) == CtrlRequestReader::NeedMore) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        struct pollfd pf {fd, POLLIN, 0};
        int r = left > 0 ? ::poll(&pf, 1, left) : 0;
        if (r < 0 && errno == EINTR && !g_ctrldStop) continue;
        if (r <= 0) {
            ctrld_log(log, "refused caller=%s reason=request timeout (field %d)", caller.c_str(), reader.field());
            refuse(fd, "request timeout", kRefuseBadRequest);
            return -1;
        }
        ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ctrld_log(log, "refused caller=%s reason=truncated request (field %d)", caller.c_str(), reader.field());
            return -1;
        }
        reader.feed(std::string_view(buf.data(), static_cast<size_t>(n)));
    }
    if (reader.feed({}) == CtrlRequestReader::Error) {
        ctrld_log(log, "refused caller=%s reason=%s", caller.c_str(), reader.error().c_str());
        refuse(fd, ("bad request: " + reader.error()).c_str(), kRefuseBadRequest);
        return -1;
    }
    const CtrlRequest& req = reader.request();
    const std::string who = shown(req.user), what = shown(req.command);

    auto deny = [&](const char* reason, int code) {
        ctrld_log(log, "refused caller=%s user=%s command=%s reason=%s", caller.c_str(), who.c_str(), what.c_str(),
                  reason);
        refuse(fd, reason, code);
        return -1;
    };
    if (!caller_allowed(cfg.allow_hosts, peer.sin_addr.s_addr)) return deny("not allowed", kRefuseNotAllowed);
    bool user_listed = false;
    for (const std::string& u : cfg.allow_users) user_listed |= (u == req.user || u == "*");
    if (!user_listed) return deny("not allowed", kRefuseNotAllowed);
    Identity id;
    if (!lookup_user(req.user, id)) return deny("no such user", kRefuseNoUser);
    if (::geteuid() != 0 && id.uid != ::geteuid()) return deny("not allowed", kRefuseNotAllowed);
    std::vector<std::string> argv = ctrld_split_wire(req.command);
    if (argv.empty() || argv[0].empty()) return deny("empty command", kRefuseBadRequest);

    if (!send_all(fd, "", 1)) {
        ctrld_log(log, "caller=%s vanished before the answer", caller.c_str());
        return -1;
    }
    if (req.second_port)
        ctrld_log(log, "accepted caller=%s user=%s command=%s second_port=%d", caller.c_str(), who.c_str(),
                  what.c_str(), req.second_port);
    else
        ctrld_log(log, "accepted caller=%s user=%s command=%s (single connection)", caller.c_str(), who.c_str(),
                  what.c_str());

    posix::UniqueFd c2;
    if (req.second_port) {
        c2.reset(connect_back(fd, req.second_port, cfg.connect_timeout));
        if (!c2) {
            ctrld_log(log, "caller=%s: second connection to port %d failed: %s", caller.c_str(), req.second_port,
                      posix::errtext(errno).c_str());
            return -1;
        }
        ::setsockopt(c2.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }

    // The command with its three pipes; standard error joins standard output
    // on a single connection.
    int pin[2], pout[2], perr[2] = {-1, -1}, pexec[2];
    if (::pipe2(pin, O_CLOEXEC) < 0 || ::pipe2(pout, O_CLOEXEC) < 0 || ::pipe2(pexec, O_CLOEXEC) < 0 ||
        (c2 && ::pipe2(perr, O_CLOEXEC) < 0)) {
        ctrld_log(log, "caller=%s: pipe failed: %s", caller.c_str(), posix::errtext(errno).c_str());
        finish_connections(fd, c2.get(), kRefuseBusy);
        return kRefuseBusy;
    }
    std::string path = cfg.bin_dir.empty() ? kDefaultPath : cfg.bin_dir + ":" + kDefaultPath;
    std::vector<std::string> env{"PATH=" + path, "HOME=" + id.home, "USER=" + id.name, "LOGNAME=" + id.name,
                                 "SHELL=" + id.shell};
    if (!cfg.zarvo_ini.empty()) env.push_back("ZARVO_INI=" + cfg.zarvo_ini);

    // Without a change of ids the command starts through posix_spawn, which
    // does not copy this process; otherwise through fork.
    const bool switch_ids = ::geteuid() == 0 && (id.uid != 0 || ::getgid() != id.gid);
    int exec_errno = 0;
    pid_t pid = -1;
    if (!switch_ids) {
        std::string dir = ::access(id.home.c_str(), X_OK) == 0 ? id.home : "/";
        pid = spawn_command(argv, dir, path, env, pin[0], pout[1], perr[1] >= 0 ? perr[1] : pout[1], exec_errno);
    } else {
        pid = ::fork();
    }
    if (pid == 0) {
        ::setsid();
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        for (int s = 1; s < NSIG; ++s) ::sigaction(s, &dfl, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        int errw = pexec[1];
        if (::dup2(pin[0], 0) < 0 || ::dup2(pout[1], 1) < 0 || ::dup2(perr[1] >= 0 ? perr[1] : pout[1], 2) < 0) {
            int e = errno;
            ssize_t w = ::write(errw, &e, sizeof e);
            (void)w;
            ::_exit(127);
        }
        exec_command(argv, id, path, env, errw);
    }
    ::close(pin[0]);
    ::close(pout[1]);
    if (perr[1] >= 0) ::close(perr[1]);
    ::close(pexec[1]);
    if (pid < 0) {
        ::close(pin[1]);
        ::close(pout[0]);
        if (perr[0] >= 0) ::close(perr[0]);
        ::close(pexec[0]);
        int code = kRefuseBusy;
        if (exec_errno != 0) {
            code = 128 + exec_errno > 255 ? 255 : 128 + exec_errno;
            ctrld_log(log, "caller=%s: command %s could not start: %s", caller.c_str(), what.c_str(),
                      posix::errtext(exec_errno).c_str());
        } else {
            ctrld_log(log, "caller=%s: fork failed", caller.c_str());
        }
        ctrld_log(log, "ended caller=%s user=%s exit=%d", caller.c_str(), who.c_str(), code);
        finish_connections(fd, c2.get(), code);
        return code;
    }
    posix::UniqueFd execErr(pexec[0]);
    if (switch_ids) {
        // The exec either succeeds (the pipe closes empty) or reports why not.
        ssize_t n;
        do {
            n = ::read(execErr.get(), &exec_errno, sizeof exec_errno);
        } while (n < 0 && errno == EINTR);
        if (n != static_cast<ssize_t>(sizeof exec_errno)) exec_errno = 0;
    }
    posix::UniqueFd cmdIn(pin[1]), cmdOut(pout[0]), cmdErr(perr[0]);
    // Larger pipes mean fewer switches between the command and us (best effort).
    for (int p : {pin[1], pout[0]}) ::fcntl(p, F_SETPIPE_SZ, kPipeSize);
    posix::UniqueFd pidfd(pidfd_open_(pid));
    set_nonblock(fd);
    if (c2) set_nonblock(c2.get());
    set_nonblock(cmdIn.get());
    set_nonblock(cmdOut.get());
    if (cmdErr) set_nonblock(cmdErr.get());

    Pipe in, out, err;
    in.from = fd;
    in.to = cmdIn.get();
    out.from = cmdOut.get();
    out.to = fd;
    err.from = cmdErr.get();
    err.to = c2.get();
    if (!cmdErr) err.eof = true;
    StdinEndScanner scanner;
    bool stdin_open = true;
    bool reaped = false, killed = false, vanished = false;
    int status = 0;
    std::string first;
    scanner.feed(reader.rest(), first);
    in.buf = std::move(first);
    if (scanner.ended() && in.empty()) {
        cmdIn.reset();
        stdin_open = false;
    }
    auto last_activity = Clock::now();
    auto kill_command = [&](const char* why) {
        if (!killed && !reaped) {
            ctrld_log(log, "caller=%s: %s, terminating command", caller.c_str(), why);
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
        }
        killed = true;
    };

    while (!(reaped && out.eof && err.eof && out.empty() && err.empty())) {
        if (g_ctrldStop) kill_command("daemon stopping");
        struct pollfd pf[6];
        int n = 0;
        int i_c1 = -1, i_in = -1, i_out = -1, i_err = -1, i_c2 = -1, i_pid = -1;
        // The caller's connection is always watched: a close while the
        // command runs means the caller is gone.
        short c1ev = POLLRDHUP;
        const bool want_in = in.empty();
        if (want_in) c1ev |= POLLIN;
        if (!out.empty()) c1ev |= POLLOUT;
        if (!vanished) {
            i_c1 = n;
            pf[n++] = {fd, c1ev, 0};
        }
        if (stdin_open && !in.empty()) {
            i_in = n;
            pf[n++] = {cmdIn.get(), POLLOUT, 0};
        }
        if (!out.eof && out.empty()) {
            i_out = n;
            pf[n++] = {cmdOut.get(), POLLIN, 0};
        }
        if (!err.eof && err.empty()) {
            i_err = n;
            pf[n++] = {cmdErr.get(), POLLIN, 0};
        }
        if (c2 && !err.empty()) {
            i_c2 = n;
            pf[n++] = {c2.get(), POLLOUT, 0};
        }
        if (!reaped && pidfd) {
            i_pid = n;
            pf[n++] = {pidfd.get(), POLLIN, 0};
        }
        int wait_ms = -1;
        if (!pidfd && !reaped) wait_ms = 100;
        if (cfg.idle_timeout > 0 && !killed) {
            auto idle_end = last_activity + std::chrono::seconds(cfg.idle_timeout);
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(idle_end - Clock::now()).count());
            if (left <= 0) {
                kill_command("idle timeout");
                continue;
            }
            if (wait_ms < 0 || left < wait_ms) wait_ms = left;
        }
        if (killed && wait_ms < 0) wait_ms = 1000;
        int r = ::poll(pf, static_cast<nfds_t>(n), wait_ms);
        if (r < 0) {
            if (errno == EINTR) continue;
            ctrld_log(log, "caller=%s: poll failed: %s", caller.c_str(), posix::errtext(errno).c_str());
            kill_command("internal error");
            vanished = true;
        }
        bool moved = false;
        // Caller to the command's standard input, up to the end marker.
        const short hup = POLLRDHUP | POLLHUP | POLLERR;
        if (i_c1 >= 0 && !want_in && (pf[i_c1].revents & hup)) {
            vanished = true;
            kill_command("caller vanished");
        } else if (i_c1 >= 0 && want_in && (pf[i_c1].revents & (POLLIN | hup))) {
            ssize_t got = ::recv(fd, buf.data(), buf.size(), 0);
            if (got > 0) {
                moved = true;
                // Straight into the (empty) input buffer; dropped when the command's input is closed.
                scanner.feed(std::string_view(buf.data(), static_cast<size_t>(got)), in.buf);
                if (!stdin_open) in.clear();
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                vanished = true;
                kill_command("caller vanished");
            }
        }
        if (i_in >= 0 && pf[i_in].revents) {
            ssize_t w = ::write(cmdIn.get(), in.data(), in.size());
            if (w > 0) {
                in.consume(static_cast<size_t>(w));
                moved = true;
            } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                in.clear();  // the command stopped reading: drop its input
                cmdIn.reset();
                stdin_open = false;
            }
        }
        if (stdin_open && scanner.ended() && in.empty()) {
            cmdIn.reset();
            stdin_open = false;
        }
        // The command's output to the caller.
        auto pull = [&](int idx, Pipe& p) {
            if (idx < 0 || !pf[idx].revents) return;
            ssize_t got = ::read(p.from, buf.data(), buf.size());
            if (got > 0) {
                p.buf.assign(buf.data(), static_cast<size_t>(got));
                p.off = 0;
                moved = true;
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                p.eof = true;
            }
        };
        pull(i_out, out);
        pull(i_err, err);
        auto push = [&](Pipe& p, bool ready) {
            if (p.empty() || !ready) return;
            ssize_t w = ::send(p.to, p.data(), p.size(), MSG_NOSIGNAL);
            if (w > 0) {
                p.consume(static_cast<size_t>(w));
                moved = true;
            } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                p.clear();
                vanished = true;
                kill_command("caller vanished");
            }
        };
        push(out, i_c1 >= 0 && (pf[i_c1].revents & (POLLOUT | POLLERR | POLLHUP)));
        push(err, i_c2 >= 0 && pf[i_c2].revents);
        if (vanished) {
            // Nobody reads any more: drop output so the loop can end.
            out.clear();
            err.clear();
        }
        if (!reaped && (!pidfd || (i_pid >= 0 && pf[i_pid].revents))) {
            pid_t w = ::waitpid(pid, &status, WNOHANG);
            if (w == pid) reaped = true;
        }
        if (reaped && vanished) break;
        if (moved) last_activity = Clock::now();
    }
    if (!reaped) {
        ::kill(-pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    int code;
    if (exec_errno != 0)
        code = 128 + exec_errno > 255 ? 255 : 128 + exec_errno;
    else if (WIFEXITED(status))
        code = WEXITSTATUS(status);
    else
        code = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 255;
    if (vanished) {
        ctrld_log(log, "ended caller=%s user=%s: caller vanished, command status %d", caller.c_str(), who.c_str(), code);
        return -1;
    }
    if (exec_errno != 0)
        ctrld_log(log, "caller=%s: command %s could not start: %s", caller.c_str(), what.c_str(),
                  posix::errtext(exec_errno).c_str());
    ctrld_log(log, "ended caller=%s user=%s exit=%d", caller.c_str(), who.c_str(), code);
    finish_connections(fd, c2.get(), code);
    return code;
}
