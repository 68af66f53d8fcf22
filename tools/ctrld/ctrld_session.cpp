#include "ctrld_session.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <ctime>
#include <memory>
#include <optional>
#include <vector>

#include "ctrld_command.hpp"
#include "ctrld_relay.hpp"
#include "remote/ctrl_wire.hpp"
#include "util/strings.hpp"

volatile sig_atomic_t g_ctrldStop = 0;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kDrainMs = 5000;       // waiting for the caller to close after the exit code
constexpr int kStopDrainMs = 300;    // the same while the daemon stops
constexpr int kSendMs = 10000;       // for one answer, refusal or exit code to leave
constexpr int kKillGraceMs = 2000;   // output still drained after the command was killed
constexpr int kNoPidfdPollMs = 100;  // checking for the command's end without a process descriptor
constexpr const char* kDefaultPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
constexpr size_t kLogFieldMax = 300;  // shown of a user or command in the log
constexpr size_t kReadChunk = 65536;

sigset_t g_openMask;  // the session's signal mask while it waits
bool g_maskSet = false;

int ms_left(Clock::time_point end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// Waits for one descriptor's events until the deadline, letting SIGTERM in
// only here (a plain poll would miss one that came just before). 0 also
// when the daemon stops.
int wait_or_stop(int fd, short events, const posix::Deadline& deadline) {
    if (g_ctrldStop) return 0;
    struct pollfd pf {
        fd, events, 0
    };
    const int r = posix::poll_until(&pf, 1, deadline, &g_openMask, &g_ctrldStop);
    return r < 0 && g_ctrldStop ? 0 : r;
}

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

// Sends one urgent byte (a full socket is waited for, up to kSendMs).
bool send_urgent(int fd, int code) {
    const unsigned char b = static_cast<unsigned char>(code);
    const auto deadline = posix::Deadline::after_ms(kSendMs);
    for (;;) {
        ssize_t w =
            posix::retry_eintr([&] { return ::send(fd, &b, 1, MSG_OOB | MSG_NOSIGNAL | MSG_DONTWAIT); });
        if (w == 1) return true;
        if (w >= 0 || errno != EAGAIN || wait_or_stop(fd, POLLOUT, deadline) <= 0) return false;
    }
}

bool send_text(int fd, std::string_view text) {
    return posix::send_all(fd, text, posix::Deadline::after_ms(kSendMs));
}

// Reads and drops what the caller still sends until it closes or ms pass.
void drain(int fd, int ms) {
    const auto deadline = posix::Deadline::after_ms(ms);
    char sink[16384];
    while (wait_or_stop(fd, POLLIN, deadline) > 0) {
        ssize_t n = posix::retry_eintr([&] { return ::recv(fd, sink, sizeof sink, MSG_DONTWAIT); });
        if (n == 0 || (n < 0 && errno != EAGAIN)) break;
    }
}

// Sends the urgent exit-code byte (code >= 0), ends our direction, and
// waits (bounded) for the caller to close so that nothing queued is cut
// off by a reset.
void finish_connections(int c1, int c2, int code) {
    if (code >= 0) send_urgent(c2 >= 0 ? c2 : c1, code);
    if (c2 >= 0) ::shutdown(c2, SHUT_WR);
    ::shutdown(c1, SHUT_WR);
    drain(c1, g_ctrldStop ? kStopDrainMs : kDrainMs);
}

void refuse(int fd, const Refusal& r) {
    std::string msg = std::string(1, '\x01') + r.reason + "\n";
    if (send_text(fd, msg)) finish_connections(fd, -1, r.code);
}

// The connection back to the caller's offered port, from our own address.
// Invalid with err set when it fails.
posix::UniqueFd connect_back(int c1, int port, int timeout_s, int& err) {
    struct sockaddr_in local {
    }, peer{};
    socklen_t ll = sizeof local, pl = sizeof peer;
    if (::getsockname(c1, reinterpret_cast<struct sockaddr*>(&local), &ll) < 0 ||
        ::getpeername(c1, reinterpret_cast<struct sockaddr*>(&peer), &pl) < 0) {
        err = errno;
        return {};
    }
    posix::UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    local.sin_port = 0;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    if (!s || ::bind(s.get(), reinterpret_cast<struct sockaddr*>(&local), sizeof local) < 0 ||
        !posix::connect_until(s.get(), reinterpret_cast<struct sockaddr*>(&peer), sizeof peer,
                              posix::Deadline::after_ms(timeout_s * 1000LL))) {
        err = errno;
        return {};
    }
    return s;
}

// Reads the request within its time and size limits. Nothing with a
// refusal to send, or nothing at all when the caller left.
struct ReadOutcome {
    bool complete = false;
    std::optional<Refusal> refusal;
    std::string why;  // for the log
};
ReadOutcome read_request(int fd, const CtrldConfig& cfg, CtrlRequestReader& reader) {
    const auto deadline = posix::Deadline::after_ms(cfg.request_timeout * 1000LL);
    auto buf = std::make_unique_for_overwrite<char[]>(kReadChunk);
    for (;;) {
        CtrlRequestReader::Status st = reader.feed({});
        if (st == CtrlRequestReader::Done) return {true, std::nullopt, ""};
        if (st == CtrlRequestReader::Error) return {false, ctrld_bad_request(reader.error()), reader.error()};
        int r = wait_or_stop(fd, POLLIN, deadline);
        std::string field = sformat(" (field %d)", reader.field());
        if (r <= 0) return {false, ctrld_bad_request("request timeout"), "request timeout" + field};
        // Only up to the request's end, so that a slow reader keeps no input back.
        ssize_t n = posix::retry_eintr([&] { return ::recv(fd, buf.get(), kReadChunk, MSG_DONTWAIT); });
        if (n < 0 && errno == EAGAIN) continue;
        if (n <= 0) return {false, std::nullopt, "truncated request" + field};
        reader.feed(std::string_view(buf.get(), static_cast<size_t>(n)));
    }
}

std::vector<std::string> command_env(const CtrldConfig& cfg, const Identity& id, const std::string& path) {
    std::vector<std::string> env{"PATH=" + path, "HOME=" + id.home, "USER=" + id.name, "LOGNAME=" + id.name,
                                 "SHELL=" + id.shell};
    if (!cfg.zarvo_ini.empty()) env.push_back("ZARVO_INI=" + cfg.zarvo_ini);
    return env;
}

void on_stop(int) {
    g_ctrldStop = 1;
}

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

std::string ctrld_caller_text(const struct sockaddr_in& a) {
    char buf[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf);
    return sformat("%s:%d", buf, ntohs(a.sin_port));
}

void ctrld_session_signals() {
    // A command that stops reading its input must not end the session.
    ::signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    ::sigprocmask(SIG_BLOCK, &stop, &g_openMask);
    sigdelset(&g_openMask, SIGTERM);
    sigdelset(&g_openMask, SIGINT);
    g_maskSet = true;
}

void ctrld_refuse_now(int fd, const Refusal& r) {
    posix::UniqueFd c(fd);
    std::string msg = std::string(1, '\x01') + r.reason + "\n";
    auto sent =
        posix::retry_eintr([&] { return ::send(fd, msg.data(), msg.size(), MSG_NOSIGNAL | MSG_DONTWAIT); });
    if (sent == static_cast<ssize_t>(msg.size())) {
        unsigned char b = static_cast<unsigned char>(r.code);
        ::send(fd, &b, 1, MSG_NOSIGNAL | MSG_DONTWAIT | MSG_OOB);
    }
    ::shutdown(fd, SHUT_WR);
    // Unread bytes at close would turn the close into a reset that can
    // overtake the reason. Bounded: the listener must not be kept busy.
    char sink[4096];
    for (int i = 0; i < 16 && ::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
    }
}

int ctrld_serve_session(int fd, const CtrldConfig& cfg, const CtrldLog& log, posix::UniqueFd request_read) {
    if (!g_maskSet) ::sigprocmask(SIG_SETMASK, nullptr, &g_openMask);
    posix::UniqueFd c1(fd);
    struct sockaddr_in peer {};
    socklen_t pl = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<struct sockaddr*>(&peer), &pl) < 0 || peer.sin_family != AF_INET) {
        ctrld_log(log, "refused caller=? reason=no caller address");
        return -1;
    }
    const std::string caller = ctrld_caller_text(peer);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    CtrlRequestLimits lim;
    lim.user_max = cfg.max_user;
    lim.command_max = cfg.max_command;
    CtrlRequestReader reader(lim);
    ReadOutcome got = read_request(fd, cfg, reader);
    request_read.reset();
    if (!got.complete) {
        ctrld_log(log, "refused caller=%s reason=%s", caller.c_str(), got.why.c_str());
        if (got.refusal) refuse(fd, *got.refusal);
        return -1;
    }
    const CtrlRequest& req = reader.request();
    const std::string who = shown(req.user), what = shown(req.command);
    Verdict v = ctrld_decide(cfg, peer.sin_addr.s_addr, req, ::geteuid(), ctrld_lookup_user);
    if (!v.permit) {
        ctrld_log(log, "refused caller=%s user=%s command=%s reason=%s", caller.c_str(), who.c_str(),
                  what.c_str(), v.refusal.reason.c_str());
        refuse(fd, v.refusal);
        return -1;
    }
    const Permit& p = *v.permit;

    if (!send_text(fd, std::string_view("", 1))) {
        ctrld_log(log, "caller=%s vanished before the answer", caller.c_str());
        return -1;
    }
    if (req.second_port)
        ctrld_log(log, "accepted caller=%s user=%s command=%s second_port=%d", caller.c_str(), who.c_str(),
                  what.c_str(), req.second_port);
    else
        ctrld_log(log, "accepted caller=%s user=%s command=%s (single connection)", caller.c_str(),
                  who.c_str(), what.c_str());

    posix::UniqueFd c2;
    if (req.second_port) {
        int err = 0;
        c2 = connect_back(fd, req.second_port, cfg.connect_timeout, err);
        if (!c2) {
            ctrld_log(log, "caller=%s: second connection to port %d failed: %s", caller.c_str(),
                      req.second_port, posix::errtext(err).c_str());
            return -1;
        }
        ::setsockopt(c2.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }

    // The command with its pipes; standard error joins standard output on
    // a single connection.
    posix::Pipe in, out, err;
    if (!posix::make_pipe(in) || !posix::make_pipe(out) || (c2 && !posix::make_pipe(err))) {
        ctrld_log(log, "caller=%s: pipe failed: %s", caller.c_str(), posix::errtext(errno).c_str());
        finish_connections(fd, c2.get(), kRefuseBusy);
        return kRefuseBusy;
    }
    const std::string path = cfg.bin_dir.empty() ? kDefaultPath : cfg.bin_dir + ":" + kDefaultPath;
    CtrldCommand cmd;
    bool started = cmd.start(p.argv, p.id, command_env(cfg, p.id, path),
                             {in.rd.get(), out.wr.get(), err.wr ? err.wr.get() : out.wr.get()});
    in.rd.reset();
    out.wr.reset();
    err.wr.reset();
    if (!started) {
        int code = cmd.start_errno() ? cmd.exit_code() : kRefuseBusy;
        ctrld_log(log, "caller=%s: command %s could not start: %s", caller.c_str(), what.c_str(),
                  posix::errtext(cmd.start_errno()).c_str());
        cmd.finish();
        ctrld_log(log, "ended caller=%s user=%s exit=%d", caller.c_str(), who.c_str(), code);
        finish_connections(fd, c2.get(), code);
        return code;
    }

    CtrldRelay relay(fd, c2.get(), std::move(in.wr), std::move(out.rd), std::move(err.rd), reader.rest());
    auto last_activity = Clock::now();
    std::optional<Clock::time_point> killed_at;
    auto kill_command = [&](const char* why) {
        if (killed_at) return;
        ctrld_log(log, "caller=%s: %s, terminating command", caller.c_str(), why);
        cmd.kill_group();
        killed_at = Clock::now();
    };
    while (!(cmd.reaped() && relay.output_done())) {
        if (g_ctrldStop) kill_command("daemon stopping");
        int wait_ms = -1;
        auto bound = [&](int ms) { wait_ms = wait_ms < 0 ? ms : std::min(wait_ms, ms); };
        if (!cmd.reaped() && cmd.exit_fd() < 0) bound(kNoPidfdPollMs);
        if (killed_at) {
            // A process that left the group may hold the output open: it
            // is not waited for long.
            int left = ms_left(*killed_at + std::chrono::milliseconds(kKillGraceMs));
            if (left == 0) relay.abandon_output();
            bound(left == 0 ? kNoPidfdPollMs : left);
        } else if (cfg.idle_timeout > 0) {
            int left = ms_left(last_activity + std::chrono::seconds(cfg.idle_timeout));
            if (left == 0) {
                kill_command("idle timeout");
                continue;
            }
            bound(left);
        }
        CtrldRelay::Step st =
            relay.step(wait_ms < 0 ? posix::Deadline::never() : posix::Deadline::after_ms(wait_ms),
                       cmd.reaped() ? -1 : cmd.exit_fd(), &g_openMask, &g_ctrldStop);
        if (st.poll_errno) {
            ctrld_log(log, "caller=%s: poll failed: %s", caller.c_str(),
                      posix::errtext(st.poll_errno).c_str());
            kill_command("internal error");
            relay.abandon_output();
        }
        if (relay.vanished()) kill_command("caller vanished");
        if (st.extra_ready || cmd.exit_fd() < 0) cmd.try_reap();
        if (cmd.reaped() && relay.vanished()) break;
        if (st.moved) last_activity = Clock::now();
    }
    cmd.finish();
    int code = cmd.exit_code();
    if (relay.vanished()) {
        ctrld_log(log, "ended caller=%s user=%s: caller vanished, command status %d", caller.c_str(),
                  who.c_str(), code);
        return -1;
    }
    if (cmd.start_errno() != 0)
        ctrld_log(log, "caller=%s: command %s could not start: %s", caller.c_str(), what.c_str(),
                  posix::errtext(cmd.start_errno()).c_str());
    ctrld_log(log, "ended caller=%s user=%s exit=%d", caller.c_str(), who.c_str(), code);
    finish_connections(fd, c2.get(), code);
    return code;
}
