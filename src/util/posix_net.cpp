// Sockets of the system-call layer: connect, listen and accept with deadlines.
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <string>

#include "util/posix.hpp"

namespace posix {

bool connect_until(int fd, const struct sockaddr* sa, socklen_t len, const Deadline& deadline) {
    const int fl = ::fcntl(fd, F_GETFL);
    if (fl < 0) return false;
    const bool was_blocking = !(fl & O_NONBLOCK);
    if (was_blocking && ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) < 0) return false;
    int err = 0;
    // An interrupted connect goes on in the background, like one in progress.
    if (::connect(fd, sa, len) < 0) {
        err = errno;
        if (err == EINPROGRESS || err == EINTR || err == EALREADY) {
            short rev = 0;
            const int r = wait_fd(fd, POLLOUT, deadline, &rev);
            if (r < 0) {
                err = errno;
            } else if (r == 0) {
                err = ETIMEDOUT;
            } else {
                socklen_t el = sizeof err;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &el) < 0) err = errno;
            }
        }
    }
    if (was_blocking && ::fcntl(fd, F_SETFL, fl) < 0 && err == 0) err = errno;
    errno = err;
    return err == 0;
}

UniqueFd tcp_connect(const std::string& host, int port, const Deadline& deadline, std::string& err) {
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* res = nullptr;
    const std::string service = std::to_string(port);
    const int gai = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
    if (gai != 0) {
        err = "cannot resolve " + host + ": " + ::gai_strerror(gai);
        errno = gai == EAI_SYSTEM ? errno : EHOSTUNREACH;
        return UniqueFd();
    }
    int last = ECONNREFUSED;
    UniqueFd fd;
    for (struct addrinfo* ai = res; ai; ai = ai->ai_next) {
        fd = UniqueFd(::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol));
        if (!fd) {
            last = errno;
            continue;
        }
        if (connect_until(fd.get(), ai->ai_addr, ai->ai_addrlen, deadline)) break;
        last = errno;
        fd.reset();
        if (last == ETIMEDOUT) break;  // the one deadline is spent
    }
    ::freeaddrinfo(res);
    if (!fd) {
        err = "connect to " + host + ":" + service + ": " + errtext(last);
        errno = last;
    }
    return fd;
}

UniqueFd tcp_listen(const std::string& addr, int port, int backlog, std::string& err) {
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    struct addrinfo* res = nullptr;
    const std::string service = std::to_string(port);
    const int gai = ::getaddrinfo(addr.empty() ? nullptr : addr.c_str(), service.c_str(), &hints, &res);
    if (gai != 0) {
        err = "bad listen address " + addr + ": " + ::gai_strerror(gai);
        errno = EINVAL;
        return UniqueFd();
    }
    // Without an address, prefer IPv4's "every address" (the wildcard list
    // starts with it on most systems, but do not count on that).
    struct addrinfo* pick = res;
    for (struct addrinfo* ai = res; ai && addr.empty(); ai = ai->ai_next)
        if (ai->ai_family == AF_INET) {
            pick = ai;
            break;
        }
    UniqueFd fd(::socket(pick->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    int e = errno;
    const char* step = "socket";
    if (fd) {
        int on = 1;
        if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0) {
            step = "setsockopt";
        } else if (::bind(fd.get(), pick->ai_addr, pick->ai_addrlen) < 0) {
            step = "bind";
        } else if (::listen(fd.get(), backlog) < 0) {
            step = "listen";
        } else {
            step = nullptr;
        }
        e = errno;
    }
    ::freeaddrinfo(res);
    if (step) {
        err = std::string(step) + " on " + (addr.empty() ? "*" : addr) + ":" + service + ": " + errtext(e);
        errno = e;
        return UniqueFd();
    }
    return fd;
}

UniqueFd accept_until(int listen_fd, const Deadline& deadline, const AcceptPredicate& pred) {
    for (;;) {
        const int r = wait_fd(listen_fd, POLLIN, deadline);
        if (r < 0) return UniqueFd();
        if (r == 0) {
            errno = ETIMEDOUT;
            return UniqueFd();
        }
        struct sockaddr_storage peer {};
        socklen_t len = sizeof peer;
        UniqueFd s(::accept4(listen_fd, reinterpret_cast<struct sockaddr*>(&peer), &len, SOCK_CLOEXEC));
        if (!s) {
            // Gone before we took it, or taken by someone else: wait on.
            if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return UniqueFd();
        }
        if (!pred || pred(peer, len)) return s;
    }
}

}  // namespace posix
