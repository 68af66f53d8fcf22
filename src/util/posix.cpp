#include "util/posix.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstring>

namespace posix {

Deadline Deadline::after_ms(long long ms) {
    Deadline d;
    d.never_ = false;
    d.end_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
    return d;
}

bool Deadline::expired() const {
    return !never_ && std::chrono::steady_clock::now() >= end_;
}

int Deadline::remaining_ms() const {
    if (never_) return -1;
    const auto left = end_ - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return 0;
    // Rounded up: a poll of 0 ms before the end would spin until it.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

int poll_until(struct pollfd* fds, nfds_t nfds, const Deadline& deadline) {
    for (;;) {
        const int r = ::poll(fds, nfds, deadline.remaining_ms());
        if (r >= 0 || errno != EINTR) return r;
        if (deadline.expired()) return 0;
    }
}

int poll_until(struct pollfd* fds, nfds_t nfds, const Deadline& deadline, const sigset_t* mask,
               const volatile sig_atomic_t* stop) {
    for (;;) {
        const int ms = deadline.remaining_ms();
        const struct timespec ts { ms / 1000, (ms % 1000) * 1000000L };
        const int r = ::ppoll(fds, nfds, ms < 0 ? nullptr : &ts, mask);
        if (r >= 0 || errno != EINTR) return r;
        if (stop && *stop) return -1;
        if (deadline.expired()) return 0;
    }
}

int wait_fd(int fd, short events, const Deadline& deadline, short* revents) {
    struct pollfd p {
        fd, events, 0
    };
    const int r = poll_until(&p, 1, deadline);
    if (revents) *revents = p.revents;
    return r;
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

int UniqueFd::close_checked() {
    return fd_ < 0 ? 0 : posix::close_checked(std::exchange(fd_, -1));
}

int close_checked(int fd) {
    const int rc = ::close(fd);
    // EINTR on close: the descriptor is gone on Linux; do not retry.
    return (rc < 0 && errno != EINTR) ? -1 : 0;
}

UniqueFd open_fd(const std::string& path, int flags, mode_t mode) {
    return UniqueFd(retry_eintr([&] { return ::open(path.c_str(), flags | O_CLOEXEC, mode); }));
}

bool set_nonblocking(int fd, bool on) {
    int fl = ::fcntl(fd, F_GETFL);
    if (fl < 0) return false;
    fl = on ? (fl | O_NONBLOCK) : (fl & ~O_NONBLOCK);
    return ::fcntl(fd, F_SETFL, fl) == 0;
}

bool make_pipe(Pipe& p, int flags) {
    int fds[2];
    if (::pipe2(fds, flags) != 0) return false;
    p.rd.reset(fds[0]);
    p.wr.reset(fds[1]);
    return true;
}

void UniqueDir::reset(DIR* d) {
    if (d_) ::closedir(d_);
    d_ = d;
}

UniqueDir open_dir(const std::string& path) {
    UniqueFd fd = open_fd(path, O_RDONLY | O_DIRECTORY);
    if (!fd) return UniqueDir();
    DIR* d = ::fdopendir(fd.get());
    if (d) fd.release();  // the DIR owns it now
    return UniqueDir(d);
}

namespace {

// The one output loop behind write_all and send_all.
template <class Op>
bool put_all(int fd, std::string_view data, const Deadline& deadline, size_t* done, Op op) {
    size_t off = 0;
    bool ok = true;
    while (ok && off < data.size()) {
        const ssize_t n = op(data.data() + off, data.size() - off);
        if (n > 0) {
            off += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int r = wait_fd(fd, POLLOUT, deadline);
            if (r > 0) continue;
            if (r == 0) errno = ETIMEDOUT;
        } else if (n == 0) {
            errno = EIO;  // a write of nothing would loop for ever
        }
        ok = false;
    }
    if (done) *done = off;
    return ok;
}

}  // namespace

bool write_all(int fd, std::string_view data, const Deadline& deadline, size_t* done) {
    return put_all(fd, data, deadline, done, [fd](const char* p, size_t n) { return ::write(fd, p, n); });
}

bool send_all(int fd, std::string_view data, const Deadline& deadline, size_t* done) {
    return put_all(fd, data, deadline, done,
                   [fd](const char* p, size_t n) { return ::send(fd, p, n, MSG_NOSIGNAL); });
}

ssize_t read_some(int fd, void* buf, size_t len, const Deadline& deadline) {
    for (;;) {
        const ssize_t n = ::read(fd, buf, len);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        const int r = wait_fd(fd, POLLIN, deadline);
        if (r < 0) return -1;
        if (r == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
    }
}

ssize_t read_exact(int fd, void* buf, size_t len, const Deadline& deadline) {
    char* p = static_cast<char*>(buf);
    size_t got = 0;
    while (got < len) {
        const ssize_t n = read_some(fd, p + got, len - got, deadline);
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

bool read_all(int fd, std::string& out, const Deadline& deadline) {
    char buf[16384];
    for (;;) {
        const ssize_t n = read_some(fd, buf, sizeof buf, deadline);
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buf, static_cast<size_t>(n));
    }
}

std::string errtext(int err) {
    char buf[256];
    // GNU strerror_r returns the text, which may or may not be buf.
    const char* s = strerror_r(err, buf, sizeof buf);
    return s ? std::string(s) : std::string("Unknown error");
}

}  // namespace posix
