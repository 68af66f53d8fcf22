// Files in the system-call layer: copying between descriptors and replacing a
// file atomically.
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
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

// The road that measured faster (bench/usefile_bench.cpp, quiet machine):
// sendfile from a file; from a pipe or a socket into a file, 1 MiB reads and
// writes beat splice's 64 KiB steps by about 1.9 times.
CopyRoad fastest_road(Kind in, Kind) {
    return in == Kind::file ? CopyRoad::kernel : CopyRoad::buffer;
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

namespace {

// Pid, state and start time from a /proc/<which>/stat text; false with errno
// (ENOENT/ESRCH: no such process).
bool proc_stat(const std::string& which, pid_t& pid, char& state, uint64_t& start) {
    UniqueFd fd = open_fd("/proc/" + which + "/stat", O_RDONLY);
    std::string text;
    if (!fd || !read_all(fd.get(), text)) return false;
    errno = EINVAL;                        // for the text checks below
    const size_t close = text.rfind(')');  // the command may hold blanks and parentheses
    int id = 0, n = 0;
    if (close == std::string::npos || std::sscanf(text.c_str(), "%d", &id) != 1) return false;
    // After the name: state is the 1st field, starttime the 20th.
    if (std::sscanf(text.c_str() + close + 1, " %c%n", &state, &n) != 1) return false;
    const char* q = text.c_str() + close + 1 + n;
    unsigned long long field = 0;
    for (int i = 2; i <= 20; ++i) {
        char* e = nullptr;
        field = std::strtoull(q, &e, 10);
        if (e == q) return false;
        q = e;
    }
    pid = id;
    start = field;
    return true;
}

constexpr uint64_t kStartMax = 0xffffffffffffull;  // 12 hex digits
constexpr uint64_t kNsMax = 0xffffffffull;         // 8 hex digits
constexpr size_t kTempLen = 39;

bool hex_field(std::string_view s, uint64_t& out) {
    out = 0;
    for (char c : s) {
        const int d = c >= '0' && c <= '9' ? c - '0' : (c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1);
        if (d < 0) return false;
        out = out * 16 + static_cast<unsigned>(d);
    }
    return true;
}

}  // namespace

const ProcOwner& self_owner() {
    static thread_local ProcOwner me;
    if (me.pid != ::getpid()) {  // also right after a fork
        me = ProcOwner{::getpid(), 0, 0};
        pid_t pid = 0;
        char state = 0;
        uint64_t start = 0;
        struct stat st {};
        // /proc of another namespace would show another pid for "self".
        if (proc_stat("self", pid, state, start) && pid == me.pid && start <= kStartMax &&
            ::stat("/proc/self/ns/pid", &st) == 0 && st.st_ino <= kNsMax) {
            me.start = start;
            me.pidns = st.st_ino;
        }
    }
    return me;
}

bool read_owner(pid_t pid, ProcOwner& owner) {
    const ProcOwner& me = self_owner();
    if (me.pidns == 0) {
        errno = ENOSYS;
        return false;
    }
    pid_t seen = 0;
    char state = 0;
    uint64_t start = 0;
    if (!proc_stat(std::to_string(pid), seen, state, start)) {
        if (errno == ENOENT) errno = ESRCH;
        return false;
    }
    owner = ProcOwner{pid, start, me.pidns};
    return true;
}

bool owner_gone(const ProcOwner& o) {
    const ProcOwner& me = self_owner();
    if (me.pidns == 0 || o.pidns != me.pidns || o.pid <= 0) return false;
    if (o.pid == me.pid) return o.start != me.start;
    pid_t pid = 0;
    char state = 0;
    uint64_t start = 0;
    if (!proc_stat(std::to_string(o.pid), pid, state, start)) return errno == ENOENT || errno == ESRCH;
    return start != o.start || state == 'Z' || state == 'X';  // killed, not yet reaped: gone too
}

std::string temp_name(std::string_view tag) {
    static thread_local std::mt19937 rng{std::random_device{}()};
    const ProcOwner& me = self_owner();
    char name[48];
    std::snprintf(name, sizeof name, ".~%08x%012llx%08llx.%08x", static_cast<unsigned>(me.pid),
                  static_cast<unsigned long long>(me.start), static_cast<unsigned long long>(me.pidns),
                  static_cast<unsigned>(rng()));
    return std::string(name).append(tag);
}

bool parse_temp_name(std::string_view name, ProcOwner* owner, std::string_view* tag) {
    if (name.size() < kTempLen || name.substr(0, 2) != ".~" || name[30] != '.') return false;
    uint64_t pid = 0, start = 0, ns = 0, rnd = 0;
    if (!hex_field(name.substr(2, 8), pid) || !hex_field(name.substr(10, 12), start) ||
        !hex_field(name.substr(22, 8), ns) || !hex_field(name.substr(31, 8), rnd))
        return false;
    const std::string_view rest = name.substr(kTempLen);
    for (char c : rest)
        if (!std::islower(static_cast<unsigned char>(c)) && !std::isdigit(static_cast<unsigned char>(c)))
            return false;
    if (pid == 0 || pid > 0x7fffffff) return false;
    if (owner) *owner = ProcOwner{static_cast<pid_t>(pid), start, ns};
    if (tag) *tag = rest;
    return true;
}

namespace {

// Truncates and rewrites path itself: owner and mode stay, but a reader may
// see a partial content. For where a replacement cannot be made.
bool write_in_place(const std::string& path, const FileWriter& writer, const ReplaceOptions& opt,
                    bool had_old, std::string& err) {
    UniqueFd fd = open_fd(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NOCTTY, opt.new_mode);
    const char* what = "open";
    bool ok = static_cast<bool>(fd);
    if (ok && !had_old && !(ok = ::fchmod(fd.get(), opt.new_mode) == 0)) what = "chmod";
    if (ok && !(ok = writer(fd.get()))) what = "write";
    if (ok && opt.sync && !(ok = ::fsync(fd.get()) == 0)) what = "fsync";
    if (fd && fd.close_checked() < 0 && ok) {
        ok = false;
        what = "close";
    }
    if (ok) return true;
    const int e = errno;
    err = std::string(what) + " " + path + ": " + errtext(e);
    errno = e;
    return false;
}

// A temporary file could not be made or renamed for lack of rights, or its
// directory is missing: the file itself may still be writable.
bool no_room(int err) {
    return err == EACCES || err == EPERM || err == ENOENT || err == ENOTDIR;
}

}  // namespace

bool replace_file(const std::string& path, std::string_view content, const ReplaceOptions& opt,
                  std::string& err) {
    return replace_file(
        path, [content](int fd) { return write_all(fd, content); }, opt, err);
}

bool replace_file(const std::string& path, const FileWriter& writer, const ReplaceOptions& opt,
                  std::string& err) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string prefix = !opt.temp_dir.empty()
                                   ? opt.temp_dir
                                   : (slash == std::string::npos ? std::string() : path.substr(0, slash + 1));

    struct stat old {};
    const bool had_old = ::lstat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);

    std::string tmp;
    UniqueFd fd;
    for (int tries = 0; !fd && tries < 8; ++tries) {
        tmp = prefix + temp_name();
        fd = open_fd(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY, 0600);
        if (!fd && errno != EEXIST) break;
    }
    if (!fd) {
        const int e = errno;
        if (opt.in_place_fallback && no_room(e)) return write_in_place(path, writer, opt, had_old, err);
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
    struct stat now {};
    if (::fstat(fd.get(), &now) < 0) return fail("stat");
    if (had_old && opt.keep_owner && (now.st_uid != old.st_uid || now.st_gid != old.st_gid) &&
        ::fchown(fd.get(), old.st_uid, old.st_gid) < 0) {
        if (opt.in_place_fallback) {
            fd.reset();
            ::unlink(tmp.c_str());
            return write_in_place(path, writer, opt, had_old, err);
        }
        // Others than root may keep at least a group they belong to.
        if (errno == EPERM) (void)::fchown(fd.get(), static_cast<uid_t>(-1), old.st_gid);
    }
    const mode_t mode = had_old && opt.keep_mode ? (old.st_mode & 07777) : opt.new_mode;
    // After fchown, which may clear set-id bits.
    if (::fchmod(fd.get(), mode) < 0) return fail("chmod");
    if (!writer(fd.get())) return fail("write");
    if (opt.sync && ::fsync(fd.get()) < 0) return fail("fsync");
    if (fd.close_checked() < 0) return fail("close");
    if (::rename(tmp.c_str(), path.c_str()) < 0) {
        const int e = errno;
        if (opt.in_place_fallback && (e == EACCES || e == EPERM)) {
            ::unlink(tmp.c_str());
            return write_in_place(path, writer, opt, had_old, err);
        }
        return fail("rename");
    }
    if (opt.sync) {
        // The rename itself is durable only once the directory is.
        UniqueFd d = open_fd(dir, O_RDONLY | O_DIRECTORY);
        if (d) (void)::fsync(d.get());
    }
    return true;
}

}  // namespace posix
