// ctrld: the control daemon. Listens for callers, serves each session in a
// process of its own, up to the configured number at once.
//
//   ctrld [-f] [-c CONFIG] [-p PORT] [-l ADDRESS]...
//
// -f stays in the foreground and logs on standard error too; -p 0 lets the
// system choose the port. Every listening address is announced on standard
// output as "ctrld: listening on ADDRESS:PORT".
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "ctrld_config.hpp"
#include "ctrld_session.hpp"
#include "exec/child.hpp"
#include "ini/ini.hpp"
#include "util/posix.hpp"
#include "util/strings.hpp"
#include "util/timeutil.hpp"

namespace {

int g_wake[2] = {-1, -1};
volatile sig_atomic_t g_terminate = 0;

void on_signal(int sig) {
    int saved = errno;
    if (sig == SIGTERM || sig == SIGINT) g_terminate = 1;
    char b = 1;
    ssize_t w = ::write(g_wake[1], &b, 1);
    (void)w;
    errno = saved;
}

// Descriptors inherited from whoever started us would reach every command,
// also those run as other users.
void close_inherited() {
    if (::syscall(SYS_close_range, 3u, ~0u, 0u) == 0) return;
    std::vector<int> open;
    if (posix::UniqueDir d = posix::open_dir("/proc/self/fd")) {
        while (struct dirent* e = ::readdir(d.get())) {
            int fd = std::atoi(e->d_name);
            if (fd > 2 && fd != ::dirfd(d.get())) open.push_back(fd);
        }
    }
    for (int fd : open) ::close(fd);
}

// A session process and, until its request is read, the pipe end that
// its close makes readable.
struct Session {
    in_addr_t addr = 0;
    posix::UniqueFd pending;
};

void usage() {
    std::fputs("usage: ctrld [-f] [-c CONFIG] [-p PORT] [-l ADDRESS]...\n", stderr);
    std::exit(2);
}

void install(int sig, void (*fn)(int)) {
    struct sigaction sa {};
    sa.sa_handler = fn;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(sig, &sa, nullptr);
}

// A listener on an IPv4 address (callers are checked as IPv4 addresses).
posix::UniqueFd open_listener(const std::string& addr, int port, int& bound_port, std::string& msg) {
    struct sockaddr_in sa {};
    if (::inet_pton(AF_INET, addr.c_str(), &sa.sin_addr) != 1) {
        msg = "bad listen address " + addr;
        return {};
    }
    std::string err;
    posix::UniqueFd s = posix::tcp_listen(addr, port, 128, err);
    if (!s) {
        msg = "cannot listen: " + err;
        return {};
    }
    socklen_t l = sizeof sa;
    ::getsockname(s.get(), reinterpret_cast<struct sockaddr*>(&sa), &l);
    bound_port = ntohs(sa.sin_port);
    return s;
}

// The classic double fork stays by hand: each parent must _exit at once, and
// the launcher's child owner would wait for or kill what it started.
void daemonize(const std::string& pid_file) {
    pid_t p = ::fork();
    if (p < 0) {
        std::perror("ctrld: fork");
        std::exit(1);
    }
    if (p > 0) std::_Exit(0);
    ::setsid();
    p = ::fork();
    if (p < 0) std::_Exit(1);
    if (p > 0) std::_Exit(0);
    if (::chdir("/") < 0) std::_Exit(1);
    int dn = ::open("/dev/null", O_RDWR);
    if (dn >= 0) {
        ::dup2(dn, 0);
        ::dup2(dn, 1);
        ::dup2(dn, 2);
        if (dn > 2) ::close(dn);
    }
    if (!pid_file.empty()) {
        posix::UniqueFd f = posix::open_fd(pid_file, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (f) posix::write_all(f.get(), sformat("%d\n", static_cast<int>(::getpid())));
    }
}

}  // namespace

int main(int argc, char** argv) {
    close_inherited();
    bool foreground = false;
    std::string config_file;
    int port_override = -1;
    std::vector<std::string> listen_override;
    int opt;
    while ((opt = ::getopt(argc, argv, "fc:p:l:h")) != -1) {
        switch (opt) {
            case 'f': foreground = true; break;
            case 'c': config_file = optarg; break;
            case 'p': {
                char* end = nullptr;
                long v = std::strtol(optarg, &end, 10);
                if (!end || *end || v < 0 || v > 65535) usage();
                port_override = static_cast<int>(v);
                break;
            }
            case 'l': listen_override.push_back(optarg); break;
            default: usage();
        }
    }
    if (optind != argc) usage();

    if (config_file.empty()) {
        std::string v, m;
        if (i_GET_ROOT_FOR_INI("CTRLD_INI", v, 1024, m, 256) == 1) config_file = v;
    }
    CtrldConfig cfg;
    std::string msg;
    if (!load_ctrld_config(config_file, cfg, msg)) {
        std::fprintf(stderr, "ctrld: %s\n", msg.c_str());
        return 1;
    }
    if (port_override >= 0) cfg.port = port_override;
    if (!listen_override.empty()) cfg.listen = listen_override;
    CtrldLog log{cfg.log_file, foreground};

    ::signal(SIGPIPE, SIG_IGN);
    if (::pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) < 0) {
        std::perror("ctrld: pipe");
        return 1;
    }
    std::vector<posix::UniqueFd> listener_fds;
    std::vector<int> listeners;
    for (const std::string& a : cfg.listen) {
        int bound = 0;
        posix::UniqueFd s = open_listener(a, cfg.port, bound, msg);
        if (!s) {
            std::fprintf(stderr, "ctrld: %s\n", msg.c_str());
            return 1;
        }
        listeners.push_back(s.get());
        listener_fds.push_back(std::move(s));
        std::printf("ctrld: listening on %s:%d\n", a.c_str(), bound);
        ctrld_log(log, "listening on %s:%d", a.c_str(), bound);
    }
    std::fflush(stdout);
    if (!foreground) daemonize(cfg.pid_file);
    install(SIGTERM, on_signal);
    install(SIGINT, on_signal);
    install(SIGCHLD, on_signal);

    std::map<pid_t, Session> sessions;
    auto pending_from = [&](in_addr_t addr) {
        int all = 0, from = 0;
        for (auto& [pid, ses] : sessions)
            if (ses.pending) {
                ++all;
                from += ses.addr == addr;
            }
        return std::pair{all, from};
    };
    while (!g_terminate) {
        // Reap finished sessions.
        for (;;) {
            int st;
            pid_t p = ::waitpid(-1, &st, WNOHANG);
            if (p <= 0) break;
            sessions.erase(p);
        }
        std::vector<struct pollfd> pf;
        pf.push_back({g_wake[0], POLLIN, 0});
        // At the limit, callers wait in the backlog until a session ends.
        const size_t first_listener = pf.size();
        if (static_cast<int>(sessions.size()) < cfg.max_sessions)
            for (int s : listeners) pf.push_back({s, POLLIN, 0});
        const size_t first_pending = pf.size();
        for (auto& [pid, ses] : sessions)
            if (ses.pending) pf.push_back({ses.pending.get(), POLLIN, 0});
        // Without end: a signal or a session's change wakes it.
        int r = posix::poll_until(pf.data(), pf.size(), posix::Deadline::never());
        if (r < 0) {
            ctrld_log(log, "poll failed: %s", posix::errtext(errno).c_str());
            break;
        }
        if (r <= 0) continue;
        if (pf[0].revents) {
            char sink[64];
            while (::read(g_wake[0], sink, sizeof sink) > 0) {
            }
        }
        for (size_t i = first_pending; i < pf.size(); ++i) {
            if (!pf[i].revents) continue;
            for (auto& [pid, ses] : sessions)
                if (ses.pending.get() == pf[i].fd) ses.pending.reset();
        }
        for (size_t i = first_listener; i < first_pending; ++i) {
            if (!(pf[i].revents & POLLIN)) continue;
            struct sockaddr_in peer {};
            socklen_t pl = sizeof peer;
            int c = posix::retry_eintr([&] {
                return ::accept4(pf[i].fd, reinterpret_cast<struct sockaddr*>(&peer), &pl, SOCK_CLOEXEC);
            });
            if (c < 0) continue;
            // Checked before a process exists for the caller.
            auto [pending, from] = pending_from(peer.sin_addr.s_addr);
            if (auto no = ctrld_admit(cfg, peer.sin_addr.s_addr, pending, from)) {
                ctrld_log(log, "refused caller=%s reason=%s", ctrld_caller_text(peer).c_str(),
                          no->reason.c_str());
                ctrld_refuse_now(c, *no);
                continue;
            }
            posix::UniqueFd conn(c);
            posix::Pipe rp;
            if (!posix::make_pipe(rp)) {
                ctrld_log(log, "pipe failed: %s", posix::errtext(errno).c_str());
                continue;
            }
            // A copy of the daemon that keeps only its connection and its end
            // of the request pipe.
            exec::Child ses = exec::Child::call([&] {
                listener_fds.clear();
                ::close(g_wake[0]);
                ::close(g_wake[1]);
                rp.rd.reset();
                for (auto& [pid, other] : sessions) other.pending.reset();
                ctrld_session_signals();
                ctrld_serve_session(conn.release(), cfg, log, std::move(rp.wr));
                return 0;
            });
            rp.wr.reset();
            conn.reset();
            if (!ses.started()) {
                ctrld_log(log, "fork failed: %s", posix::errtext(ses.error()).c_str());
                continue;
            }
            sessions[ses.release()] = Session{peer.sin_addr.s_addr, std::move(rp.rd)};
            if (static_cast<int>(sessions.size()) >= cfg.max_sessions) break;
        }
    }
    ctrld_log(log, "stopping, %zu session(s) open", sessions.size());
    listener_fds.clear();
    for (auto& [p, ses] : sessions) ::kill(p, SIGTERM);
    for (int i = 0; i < 50 && !sessions.empty(); ++i) {
        pid_t p = ::waitpid(-1, nullptr, WNOHANG);
        if (p > 0) {
            sessions.erase(p);
            continue;
        }
        wait_msec(100);
    }
    for (auto& [p, ses] : sessions) ::kill(p, SIGKILL);
    while (posix::retry_eintr([] { return ::waitpid(-1, nullptr, 0); }) > 0) {
    }
    return 0;
}
