#include "util/posix.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace posix {

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

int UniqueFd::close_checked() {
    if (fd_ < 0) return 0;
    int rc = ::close(std::exchange(fd_, -1));
    // EINTR on close: the descriptor is gone on Linux; do not retry.
    return (rc < 0 && errno != EINTR) ? -1 : 0;
}

UniqueFd open_fd(const std::string& path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return UniqueFd(fd);
}

bool write_all(int fd, std::string_view data) {
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

ssize_t read_some(int fd, void* buf, size_t len) {
    ssize_t n;
    do {
        n = ::read(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return n;
}

bool read_all(int fd, std::string& out) {
    char buf[8192];
    for (;;) {
        ssize_t n = read_some(fd, buf, sizeof buf);
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
