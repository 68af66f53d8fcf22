// Files in the system-call layer: copying between descriptors and replacing a
// file atomically.
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <memory>
#include <random>

#include "util/posix.hpp"

namespace posix {

namespace {

enum class Kind { file, pipe, socket, other };

Kind kind_of(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return Kind::other;
    if (S_ISREG(st.st_mode)) return Kind::file;
    if (S_ISFIFO(st.st_mode)) return Kind::pipe;
    if (S_ISSOCK(st.st_mode)) return Kind::socket;
    return Kind::other;
}

constexpr size_t kBufferSize = 1 << 20;  // the buffer road's block
constexpr size_t kKernelChunk = 1 << 20;
// Pipes keep their default size: a 256 KiB or 1 MiB pipe (F_SETPIPE_SZ)
// measured about twice the CPU time per byte of the default 64 KiB one here.

// Waits for fd before a retry of an operation that said EAGAIN. false with
// errno (ETIMEDOUT when the deadline passed).
bool await(int fd, short events, const Deadline& deadline) {
    const int r = wait_fd(fd, events, deadline);
    if (r > 0) return true;
    if (r == 0) errno = ETIMEDOUT;
    return false;
}

CopyResult buffer_copy(int in, int out, const Deadline& deadline, CopyResult res) {
    auto buf = std::make_unique_for_overwrite<char[]>(kBufferSize);
    for (;;) {
        const ssize_t n = read_some(in, buf.get(), kBufferSize, deadline);
        if (n == 0) return res;
        if (n < 0) {
            res.err = errno;
            return res;
        }
        size_t done = 0;
        const bool ok = write_all(out, std::string_view(buf.get(), static_cast<size_t>(n)), deadline, &done);
        res.bytes += done;
        if (!ok) {
            res.err = errno;
            res.write_failed = true;
            return res;
        }
    }
}

// A kernel step could not start for these descriptors: take the buffer road.
bool unsupported(int err) {
    return err == EINVAL || err == ENOSYS || err == EXDEV || err == EOPNOTSUPP || err == EBADF;
}

// Which side an error of a kernel step belongs to cannot be told from the
// errno alone; space and quota errors and EPIPE only come from the writer.
bool write_error(int err) {
    return err == ENOSPC || err == EDQUOT || err == EFBIG || err == EPIPE || err == EROFS;
}

// One kernel step until the end. step() returns what splice/sendfile return;
// wait_on/wait_ev say what an EAGAIN waits for.
template <class Step>
CopyResult kernel_loop(Step step, int wait_on, short wait_ev, const Deadline& deadline, CopyResult res,
                       bool* fallback) {
    for (;;) {
        const ssize_t n = step();
        if (n > 0) {
            res.bytes += static_cast<uint64_t>(n);
            continue;
        }
        if (n == 0) return res;
        if (errno == EINTR) continue;
        if (errno == EAGAIN) {
            if (await(wait_on, wait_ev, deadline)) continue;
        } else if (res.bytes == 0 && unsupported(errno)) {
            *fallback = true;
            return res;
        }
        res.err = errno;
        res.write_failed = write_error(errno);
        return res;
    }
}

// Socket to file: splice through a private pipe, draining it every time.
CopyResult socket_splice(int in, int out, const Deadline& deadline, CopyResult res, bool* fallback) {
    Pipe mid;
    if (!make_pipe(mid, O_CLOEXEC)) {
        *fallback = true;
        return res;
    }
    for (;;) {
        const ssize_t n = ::splice(in, nullptr, mid.wr.get(), nullptr, kKernelChunk, SPLICE_F_MOVE);
        if (n == 0) return res;
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN && await(in, POLLIN, deadline)) continue;
            if (res.bytes == 0 && unsupported(errno)) {
                *fallback = true;
                return res;
            }
            res.err = errno;
            return res;
        }
        for (size_t left = static_cast<size_t>(n); left > 0;) {
            const ssize_t m = ::splice(mid.rd.get(), nullptr, out, nullptr, left, SPLICE_F_MOVE);
            if (m < 0 && errno == EINTR) continue;
            if (m <= 0) {
                // The bytes in the pipe are lost to the file: report the write.
                res.err = m < 0 ? errno : EIO;
                res.write_failed = true;
                return res;
            }
            left -= static_cast<size_t>(m);
            res.bytes += static_cast<uint64_t>(m);
        }
    }
}

// The road that measured faster for each kind of source into a file (see
// bench/usefile_bench.cpp); anything else takes the buffer.
CopyRoad fastest_road(Kind in, Kind out) {
    if (in == Kind::file) return CopyRoad::kernel;
    if (out != Kind::file) return CopyRoad::buffer;
    return in == Kind::pipe ? CopyRoad::kernel : CopyRoad::buffer;
}

}  // namespace

CopyResult copy_fd(int in, int out, const Deadline& deadline, CopyRoad road) {
    CopyResult res;
    const Kind ik = kind_of(in), ok = kind_of(out);
    if (road == CopyRoad::fastest) road = fastest_road(ik, ok);
    if (road == CopyRoad::buffer) return buffer_copy(in, out, deadline, res);
    bool fallback = false;
    if (ik == Kind::file) {
        // A non-blocking output is the only thing a file source waits for.
        res = kernel_loop([&] { return ::sendfile(out, in, nullptr, kKernelChunk); }, out, POLLOUT, deadline,
                          res, &fallback);
    } else if (ik == Kind::pipe && ok == Kind::file) {
        res = kernel_loop([&] { return ::splice(in, nullptr, out, nullptr, kKernelChunk, SPLICE_F_MOVE); },
                          in, POLLIN, deadline, res, &fallback);
    } else if (ik == Kind::socket && ok == Kind::file) {
        res = socket_splice(in, out, deadline, res, &fallback);
    } else {
        fallback = true;
    }
    return fallback ? buffer_copy(in, out, deadline, res) : res;
}

std::string temp_name(pid_t pid) {
    static thread_local std::mt19937 rng{std::random_device{}()};
    char name[32];
    std::snprintf(name, sizeof name, ".~%010u.%08x", static_cast<unsigned>(pid),
                  static_cast<unsigned>(rng()));
    return name;
}

bool parse_temp_name(std::string_view name, pid_t* pid) {
    if (name.size() != 21 || name.substr(0, 2) != ".~" || name[12] != '.') return false;
    unsigned long long v = 0;
    for (size_t i = 2; i < 12; ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
        v = v * 10 + static_cast<unsigned>(name[i] - '0');
    }
    for (size_t i = 13; i < 21; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
    if (v == 0 || v > 0x7fffffffULL) return false;
    if (pid) *pid = static_cast<pid_t>(v);
    return true;
}

bool process_gone(pid_t pid) {
    return pid > 0 && ::kill(pid, 0) < 0 && errno == ESRCH;
}

bool replace_file(const std::string& path, std::string_view content, const ReplaceOptions& opt,
                  std::string& err) {
    return replace_file(
        path, [content](int fd) { return write_all(fd, content); }, opt, err);
}

bool replace_file(const std::string& path, const FileWriter& writer, const ReplaceOptions& opt,
                  std::string& err) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string prefix = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);

    struct stat old {};
    const bool had_old = ::stat(path.c_str(), &old) == 0;

    std::string tmp;
    UniqueFd fd;
    for (int tries = 0; !fd && tries < 8; ++tries) {
        tmp = prefix + temp_name(::getpid());
        fd = open_fd(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
        if (!fd && errno != EEXIST) break;
    }
    if (!fd) {
        const int e = errno;
        err = "create " + tmp + ": " + errtext(e);
        errno = e;
        return false;
    }
    auto fail = [&](const char* what) {
        const int e = errno;
        err = std::string(what) + " " + tmp + ": " + errtext(e);
        fd.reset();
        ::unlink(tmp.c_str());
        errno = e;
        return false;
    };
    if (!writer(fd.get())) return fail("write");
    if (had_old && opt.keep_owner && (old.st_uid != ::geteuid() || old.st_gid != ::getegid())) {
        // Root may keep both; others may keep at least a group they belong to.
        if (::fchown(fd.get(), old.st_uid, old.st_gid) < 0 && errno == EPERM)
            (void)::fchown(fd.get(), static_cast<uid_t>(-1), old.st_gid);
    }
    const mode_t mode = had_old && opt.keep_mode ? (old.st_mode & 07777) : opt.new_mode;
    // After fchown, which may clear set-id bits.
    if (::fchmod(fd.get(), mode) < 0) return fail("chmod");
    if (opt.sync && ::fsync(fd.get()) < 0) return fail("fsync");
    if (fd.close_checked() < 0) return fail("close");
    if (::rename(tmp.c_str(), path.c_str()) < 0) return fail("rename");
    if (opt.sync) {
        // The rename itself is durable only once the directory is.
        UniqueFd d = open_fd(dir, O_RDONLY | O_DIRECTORY);
        if (d) (void)::fsync(d.get());
    }
    return true;
}

}  // namespace posix
