#include "remote/ctrl_conn.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <vector>

#include "log/trace.hpp"
#include "remote/syserrtxt.hpp"
#include "util/posix.hpp"
#include "util/strings.hpp"
#include "util/timeutil.hpp"

int g_iLogLevel = 1;

namespace {

std::string g_szErrorMsg;
int g_iErrorSet = 0;
int g_iHostErrno = 0;

constexpr size_t kTraceTextMax = 1023;
constexpr int kLingerSeconds = 60;
constexpr int kLookupRetryMs = 500;
constexpr size_t kReplyDrainMax = 65536;  // bytes of a refusal line read at most
constexpr int kUrgentWaitMs = 3000;       // for the refusal's exit-code byte

#define DBG(...)                                 \
    do {                                         \
        if (g_iLogLevel > 1) trace(__VA_ARGS__); \
    } while (0)

int set_props(int fd) {
    int on = 1;
    const struct protoent* pe = ::getprotobyname("TCP");
    if (!pe) {
        trace("%s", syserrtxt(0, 0, "getprotobyname(\"TCP\") call failed."));
    } else if (::setsockopt(fd, pe->p_proto, TCP_NODELAY, &on, sizeof on) < 0) {
        return -1;
    }
    struct linger lg {};
    lg.l_onoff = 1;
    lg.l_linger = kLingerSeconds;
    if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) < 0) return -1;
    return 0;
}

ssize_t recv_retry(int fd, void* buf, size_t n, int flags) {
    return posix::retry_eintr([&] { return ::recv(fd, buf, n, flags); });
}

bool send_text(int fd, const std::string& text) {
    // The wire carries each field with its terminating NUL.
    return posix::send_all(fd, std::string_view(text.c_str(), text.size() + 1));
}

// Waits for the urgent byte after a refusal; -1 when none comes.
int read_urgent(int fd) {
    for (int waited = 0; waited <= kUrgentWaitMs; waited += 50) {
        unsigned char b;
        if (recv_retry(fd, &b, 1, MSG_OOB) == 1) return b;
        short rev = 0;
        int r = posix::wait_fd(fd, POLLPRI | POLLRDHUP, posix::Deadline::after_ms(50), &rev);
        if (r > 0 && !(rev & POLLPRI) && (rev & (POLLRDHUP | POLLHUP | POLLERR))) {
            // The urgent byte travels before the close: a last try, then give up.
            if (recv_retry(fd, &b, 1, MSG_OOB) == 1) return b;
            return -1;
        }
    }
    return -1;
}

bool lookup(const std::string& host, struct in_addr& addr, std::string& official) {
    struct hostent he {
    }, *res = nullptr;
    std::vector<char> buf(8192);
    int herr = 0;
    for (;;) {
        int rc = ::gethostbyname_r(host.c_str(), &he, buf.data(), buf.size(), &res, &herr);
        if (rc == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 2);
            continue;
        }
        break;
    }
    if (!res || res->h_addrtype != AF_INET || !res->h_addr_list[0]) {
        g_iHostErrno = res ? 4 : herr;
        return false;
    }
    std::memcpy(&addr, res->h_addr_list[0], sizeof addr);
    official = res->h_name ? res->h_name : host;
    return true;
}

int fail(int fd1, int fd2, const char* text) {
    if (text) sm_processerror(text);
    if (fd1 >= 0) ::close(fd1);
    if (fd2 >= 0) ::close(fd2);
    return kCtrlFailure;
}

}  // namespace

void trace(const char* cpFormat, ...) {
    va_list ap;
    va_start(ap, cpFormat);
    std::string text = cut(vsformat(cpFormat, ap), kTraceTextMax);
    va_end(ap);
    if (strLocalLog.iFlg > 1) WRITE_TRACE(strLocalLog, "%s", text.c_str());
}

void sm_processerror(const char* cpErrorMsg) {
    if (g_iErrorSet || !cpErrorMsg) return;
    std::string s = cpErrorMsg;
    while (!s.empty() && (s.back() == ' ' || s.back() == '\n' || s.back() == '\r')) s.pop_back();
    g_szErrorMsg = cut(s, kCtrlErrorWidth - 1);
    g_iErrorSet = 1;
}

std::string sm_ctrl_geterror() {
    g_iErrorSet = 0;
    return g_szErrorMsg;
}

int sm_sockerror() {
    return errno;
}
int sm_hsockerror() {
    return g_iHostErrno;
}

int Set1stSocketProperties(int hSocket) {
    return set_props(hSocket);
}
int Set2ndSocketProperties(int hSocket) {
    return set_props(hSocket);
}

int sm_ctrl(std::string& cpRemoteHost, int iMainPort, int i2ndPortStart, int i2ndPortEnd,
            const std::string& cpUser, const std::string& cpCMD, int* hpSD1, int* hpSD2, int iTimeout) {
    if (hpSD1) *hpSD1 = -1;
    std::string host = cut(cpRemoteHost, kCtrlHostWidth - 1);

    // 1-2: the host's address, by name (twice) or as a dotted address.
    struct in_addr addr {};
    std::string official;
    if (!lookup(host, addr, official)) {
        DBG("sm_ctrl: got error so we try gethostbyname() again");
        trace("gethostbyname() failed. Try again.");
        wait_msec(kLookupRetryMs);
        if (!lookup(host, addr, official)) {
            int herr = sm_hsockerror();
            if (::inet_pton(AF_INET, host.c_str(), &addr) != 1) {
                sm_processerror(syserrtxt(static_cast<unsigned long>(herr), kErrHsocket,
                                          "gethostbyname() call failed for host: [%s]", host.c_str()));
                return kCtrlFailure;
            }
        } else {
            cpRemoteHost = cut(official, kCtrlHostWidth - 1);
        }
    } else {
        cpRemoteHost = cut(official, kCtrlHostWidth - 1);
    }

    // 3: the first socket.
    int sd1 = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sd1 < 0) {
        sm_processerror(syserrtxt(static_cast<unsigned long>(errno), kErrSocket,
                                  "socket() call failed for first socket."));
        return kCtrlFailure;
    }
    if (Set1stSocketProperties(sd1) != 0) return fail(sd1, -1, "Setting socket options failed.");

    // 4: connect, blocking or in timed non-blocking attempts.
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(iMainPort));
    sa.sin_addr = addr;
    // Without a timeout the attempt waits as long as the system lets it.
    if (iTimeout >= 1)
        DBG("sm_ctrl: try connect() with non-blocking socket bcs. timeout set to %d", iTimeout);
    const posix::Deadline connect_by =
        iTimeout < 1 ? posix::Deadline::never() : posix::Deadline::after_ms(iTimeout * 1000LL);
    const bool connected =
        posix::connect_until(sd1, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa, connect_by);
    const int cerr = connected ? 0 : errno;
    DBG("sm_ctrl: connect() returned %d with errno %d", connected ? 0 : -1, cerr);
    if (cerr != 0)
        return fail(sd1, -1,
                    syserrtxt(static_cast<unsigned long>(cerr), kErrSocket,
                              "connect() call failed for host: [%s].", host.c_str()));

    // 5: the listener for the daemon's second connection.
    int lsd = -1;
    if (hpSD2) {
        *hpSD2 = -1;
        // Non-blocking: a caller that vanishes between poll and accept must
        // not hang the accept.
        lsd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (lsd < 0)
            return fail(sd1, -1,
                        syserrtxt(static_cast<unsigned long>(errno), kErrSocket,
                                  "socket() call failed for listener socket."));
        struct sockaddr_in la {};
        la.sin_family = AF_INET;
        la.sin_addr.s_addr = htonl(INADDR_ANY);
        int port = i2ndPortStart;
        bool bound = false;
        for (;;) {
            la.sin_port = htons(static_cast<uint16_t>(port));
            if (::bind(lsd, reinterpret_cast<struct sockaddr*>(&la), sizeof la) == 0) {
                bound = true;
                break;
            }
            if (i2ndPortStart == 0 || errno != EADDRINUSE) break;
            if (++port > i2ndPortEnd) break;
        }
        if (!bound) {
            ::close(lsd);
            lsd = -1;
        } else {
            if (::listen(lsd, 1) < 0) return fail(sd1, lsd, "listen() call failed.");
            socklen_t len = sizeof la;
            if (::getsockname(lsd, reinterpret_cast<struct sockaddr*>(&la), &len) < 0)
                return fail(
                    sd1, lsd,
                    syserrtxt(static_cast<unsigned long>(errno), kErrSocket, "getsockname() call failed."));
            std::string p = sformat("%d", ntohs(la.sin_port));
            DBG("sm_ctrl: send() portnumber %s", p.c_str());
            if (!send_text(sd1, p))
                return fail(sd1, lsd,
                            syserrtxt(static_cast<unsigned long>(errno), kErrSocket, "send() call failed."));
            *hpSD2 = 0;  // offered; becomes the socket after accept
        }
    }
    // 6: no second connection offered.
    if (lsd < 0) {
        if (!send_text(sd1, ""))
            return fail(sd1, -1,
                        syserrtxt(static_cast<unsigned long>(errno), kErrSocket, "send() call failed."));
    }

    // 7: user and command.
    DBG("sm_ctrl: send() user %s", cpUser.c_str());
    if (!send_text(sd1, cpUser))
        return fail(sd1, lsd,
                    syserrtxt(static_cast<unsigned long>(errno), kErrSocket, "send() call failed."));
    DBG("sm_ctrl: send() cmd %s", cpCMD.c_str());
    if (!send_text(sd1, cpCMD))
        return fail(sd1, lsd,
                    syserrtxt(static_cast<unsigned long>(errno), kErrSocket, "send() call failed."));

    // 8: the answer byte.
    unsigned char answer = 0;
    ssize_t n;
    // A daemon that took the request and says nothing must not hold us.
    const int answer_s = iTimeout >= 1 ? iTimeout : kCtrlDefaultAcceptWait;
    if (posix::wait_fd(sd1, POLLIN, posix::Deadline::after_ms(answer_s * 1000LL)) == 0)
        return fail(sd1, lsd, "Connection timeout. No answer from the daemon.");
    n = recv_retry(sd1, &answer, 1, 0);
    DBG("sm_ctrl: recv() one byte returned %d: [%d]", static_cast<int>(n), n == 1 ? answer : 0);
    if (n < 0) {
        int e = errno;
        DBG("sm_ctrl: recv() one byte failed: errno = %d", e);
        return fail(sd1, lsd, syserrtxt(static_cast<unsigned long>(e), kErrSocket, "recv() call failed."));
    }
    if (n == 0) {
        DBG("sm_ctrl: ERROR: Remote server listening on port %d didn't send a byte", iMainPort);
        return fail(sd1, lsd, "ERROR: Server listening on remote port is not a CTRLD Server");
    }
    if (answer != 0) {
        std::string text = kCtrlReplyPrefix;
        for (size_t i = 0; i < kReplyDrainMax; ++i) {
            char c;
            if (posix::wait_fd(sd1, POLLIN, posix::Deadline::after_ms(kUrgentWaitMs)) <= 0) break;
            if (recv_retry(sd1, &c, 1, 0) != 1 || c == '\n') break;
            if (text.size() < kCtrlErrorWidth - 1) text.push_back(c);
        }
        int code = read_urgent(sd1);
        sm_processerror(text.c_str());
        fail(sd1, lsd, nullptr);
        return code >= 0 ? code : kCtrlFailure;
    }

    // 9: the daemon's second connection, from the daemon's address only.
    if (lsd >= 0) {
        struct sockaddr_in peer1 {};
        socklen_t l1 = sizeof peer1;
        ::getpeername(sd1, reinterpret_cast<struct sockaddr*>(&peer1), &l1);
        const int wait_s = iTimeout >= 1 ? iTimeout : kCtrlDefaultAcceptWait;
        // One deadline for the whole wait: callers from elsewhere are turned
        // away without giving the daemon more time.
        auto from_daemon = [&](const struct sockaddr_storage& peer, socklen_t) {
            const auto& pa = reinterpret_cast<const struct sockaddr_in&>(peer);
            if (pa.sin_family == AF_INET && pa.sin_addr.s_addr == peer1.sin_addr.s_addr) return true;
            DBG("sm_ctrl: second connection from a foreign address refused");
            return false;
        };
        posix::UniqueFd accepted =
            posix::accept_until(lsd, posix::Deadline::after_ms(wait_s * 1000LL), from_daemon);
        if (!accepted) {
            if (errno == ETIMEDOUT) return fail(sd1, lsd, "Connection timeout. accept() call failed.");
            return fail(sd1, lsd,
                        syserrtxt(static_cast<unsigned long>(errno), kErrSocket, "accept() call failed."));
        }
        const int sd2 = accepted.release();
        if (Set2ndSocketProperties(sd2) != 0) {
            ::close(sd2);
            return fail(sd1, lsd, "Setting socket options failed.");
        }
        ::close(lsd);
        *hpSD2 = sd2;
    }
    *hpSD1 = sd1;
    return 0;
}
