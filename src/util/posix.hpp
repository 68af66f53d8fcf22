// Small owners and loops over the POSIX calls that every module needs.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <utility>

namespace posix {

// Owns one file descriptor; closes it on destruction. Move-only.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) reset(std::exchange(o.fd_, -1));
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1);
    // Closes now and reports the result of close(): a write error that the
    // kernel only reports at close time is not lost.
    int close_checked();

private:
    int fd_ = -1;
};

// open(2) with O_CLOEXEC added, retried on EINTR.
UniqueFd open_fd(const std::string& path, int flags, mode_t mode = 0);

// Writes all bytes, retrying EINTR and partial writes. Returns false with
// errno set on failure.
bool write_all(int fd, std::string_view data);

// read(2) retried on EINTR. Returns bytes read, 0 at end, -1 on error.
ssize_t read_some(int fd, void* buf, size_t len);

// Reads the whole remaining content of fd into out (appending).
bool read_all(int fd, std::string& out);

// strerror() as a std::string (thread-safe variant).
std::string errtext(int err);

}  // namespace posix
