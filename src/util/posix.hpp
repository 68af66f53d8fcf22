// The system-call layer: owners, EINTR/EAGAIN-safe transfer loops, waits with
// a deadline, sockets, kernel copies and atomic file replacement. Everything
// opened here is close-on-exec. Failures come back as false / -1 / an empty
// owner with errno kept (ETIMEDOUT when a deadline passed).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace posix {

// A point in time by which a wait must end; never() waits without limit.
class Deadline {
   public:
    static Deadline after_ms(long long ms);
    static Deadline never() { return Deadline(); }
    bool is_never() const { return never_; }
    bool expired() const;
    // Milliseconds left, rounded up and clipped to int for poll(2); -1 for
    // never(), 0 once expired.
    int remaining_ms() const;

   private:
    Deadline() = default;
    bool never_ = true;
    std::chrono::steady_clock::time_point end_{};
};

// Calls f() again while it fails with EINTR (returns -1 and errno == EINTR).
template <class F>
auto retry_eintr(F&& f) -> decltype(f()) {
    decltype(f()) r;
    do {
        r = f();
    } while (r == -1 && errno == EINTR);
    return r;
}

// poll(2) until an event or the deadline: an interrupted poll goes on with the
// time that is left. >0 ready descriptors, 0 deadline passed, -1 error.
int poll_until(struct pollfd* fds, nfds_t nfds, const Deadline& deadline);
// poll_until over ppoll(2) with mask as the signal mask during the wait only,
// so that a signal blocked elsewhere cannot slip in between the check of its
// flag and the wait. An interrupted wait goes on unless *stop (optional) is
// set then: -1 with EINTR. The caller checks *stop before it calls.
int poll_until(struct pollfd* fds, nfds_t nfds, const Deadline& deadline, const sigset_t* mask,
               const volatile sig_atomic_t* stop = nullptr);
// poll_until on one descriptor; revents (optional) receives its events.
int wait_fd(int fd, short events, const Deadline& deadline, short* revents = nullptr);

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
    // kernel only reports at close time is not lost. 0 or -1 with errno.
    int close_checked();

   private:
    int fd_ = -1;
};

// close(2) once (EINTR means closed on Linux). 0, or -1 with errno.
int close_checked(int fd);

// open(2) with O_CLOEXEC added, retried on EINTR.
UniqueFd open_fd(const std::string& path, int flags, mode_t mode = 0);

// Sets or clears O_NONBLOCK. false with errno on failure.
bool set_nonblocking(int fd, bool on);

// Both ends of a pipe.
struct Pipe {
    UniqueFd rd, wr;
};
// pipe2(2) into p with flags (O_CLOEXEC by default). false with errno.
bool make_pipe(Pipe& p, int flags = O_CLOEXEC);

// Owns a DIR*; closes it on destruction. Move-only.
class UniqueDir {
   public:
    UniqueDir() = default;
    explicit UniqueDir(DIR* d) : d_(d) {}
    UniqueDir(const UniqueDir&) = delete;
    UniqueDir& operator=(const UniqueDir&) = delete;
    UniqueDir(UniqueDir&& o) noexcept : d_(std::exchange(o.d_, nullptr)) {}
    UniqueDir& operator=(UniqueDir&& o) noexcept {
        if (this != &o) reset(std::exchange(o.d_, nullptr));
        return *this;
    }
    ~UniqueDir() { reset(); }
    DIR* get() const { return d_; }
    explicit operator bool() const { return d_ != nullptr; }
    void reset(DIR* d = nullptr);

   private:
    DIR* d_ = nullptr;
};
// Opens a directory for reading, close-on-exec. Empty owner with errno.
UniqueDir open_dir(const std::string& path);

// Writes all of data: retries EINTR, finishes partial writes, and waits
// (poll) while a non-blocking fd is full. false with errno on failure,
// ETIMEDOUT when the deadline passed first; *done (optional) receives the
// bytes written either way.
bool write_all(int fd, std::string_view data, const Deadline& deadline = Deadline::never(),
               size_t* done = nullptr);
// write_all for sockets: send(2) with MSG_NOSIGNAL (EPIPE, never SIGPIPE).
bool send_all(int fd, std::string_view data, const Deadline& deadline = Deadline::never(),
              size_t* done = nullptr);

// One read(2): retries EINTR and waits (poll) while a non-blocking fd has
// nothing. Bytes read, 0 at the end, -1 with errno (ETIMEDOUT at deadline).
ssize_t read_some(int fd, void* buf, size_t len, const Deadline& deadline = Deadline::never());
// Reads until len bytes or the end. Bytes read (< len only at the end), or -1.
ssize_t read_exact(int fd, void* buf, size_t len, const Deadline& deadline = Deadline::never());
// Appends the whole remaining content of fd to out. false with errno.
bool read_all(int fd, std::string& out, const Deadline& deadline = Deadline::never());

// Connects fd to sa: a non-blocking attempt awaited until the deadline; fd
// keeps its blocking mode. false with errno (the connect error or ETIMEDOUT).
bool connect_until(int fd, const struct sockaddr* sa, socklen_t len, const Deadline& deadline);
// Resolves host (name or numeric, IPv4/IPv6) and connects to the first address
// that answers. Empty owner with errno and a text in err on failure.
UniqueFd tcp_connect(const std::string& host, int port, const Deadline& deadline, std::string& err);
// A non-blocking listening socket on addr ("" = every address) and port (0 =
// the system's choice), SO_REUSEADDR set. Empty owner with errno and err.
UniqueFd tcp_listen(const std::string& addr, int port, int backlog, std::string& err);

// Decides whether an accepted peer is the one awaited.
using AcceptPredicate = std::function<bool(const struct sockaddr_storage& peer, socklen_t len)>;
// Accepts the first connection that pred admits (all when pred is empty);
// others are closed and the wait goes on to the SAME deadline. The accepted
// socket is blocking and close-on-exec. Empty owner with errno (ETIMEDOUT).
// listen_fd should be non-blocking (tcp_listen's is), so that a caller gone
// between poll and accept cannot stall the wait.
UniqueFd accept_until(int listen_fd, const Deadline& deadline, const AcceptPredicate& pred = {});

// What copy_fd did: bytes moved; err is 0 or the errno of the failure, and
// write_failed tells whether writing (not reading) failed.
struct CopyResult {
    uint64_t bytes = 0;
    int err = 0;
    bool write_failed = false;
    explicit operator bool() const { return err == 0; }
};
// How copy_fd moves the bytes: the road measured fastest for the pair of
// descriptor kinds, or (for measuring) a kernel copy where one exists
// (sendfile from a file; splice from a pipe or socket into a file) or a
// large user-space buffer.
enum class CopyRoad { fastest, kernel, buffer };
// Copies in to out until the end of in. Waits (poll) on non-blocking ends;
// gives up with ETIMEDOUT when the deadline passes.
CopyResult copy_fd(int in, int out, const Deadline& deadline = Deadline::never(),
                   CopyRoad road = CopyRoad::fastest);

// The process that owns a temporary file: its pid, its start time (clock
// ticks after boot; a reused pid has another) and its PID namespace (pids of
// another namespace mean other processes). pidns 0: nothing is known.
struct ProcOwner {
    pid_t pid = 0;
    uint64_t start = 0;
    uint64_t pidns = 0;
    bool operator==(const ProcOwner&) const = default;
};
// This process (read again after a fork). pidns stays 0 without /proc or
// when /proc belongs to another PID namespace.
const ProcOwner& self_owner();
// The identity of the running process pid, seen from our namespace; false
// with errno (ESRCH when there is no such process).
bool read_owner(pid_t pid, ProcOwner& owner);
// True only when the owner is known to have ended: no such process, its pid
// now another process's, or a zombie. Unknown or foreign namespace: false.
bool owner_gone(const ProcOwner& owner);

// Temporary names: ".~" + pid (8 hex) + start (12 hex) + pidns (8 hex) + "."
// + 8 random hex digits (39 characters whatever the target's name), then the
// caller's tag ([0-9a-z], may be empty). The owner is self_owner().
std::string temp_name(std::string_view tag = {});
// true when name has the form of temp_name(); *owner and *tag (either may be
// null) receive its owner and tag.
bool parse_temp_name(std::string_view name, ProcOwner* owner, std::string_view* tag = nullptr);

// How replace_file treats the file's attributes and where it writes.
struct ReplaceOptions {
    mode_t new_mode = 0600;  // mode of a file that did not exist (exact, no umask)
    bool keep_owner = true;  // the replaced file's owner and group, where we may set them
    bool keep_mode = true;   // the replaced file's mode
    bool sync = true;        // fsync the file (and the directory after the rename)
    // Directory of the temporary file (with '/', same file system as path);
    // empty: path's own.
    std::string temp_dir;
    // Rewrite path in place (truncate, write: a reader may see a part) where
    // no temporary file can be made or renamed (EACCES, EPERM, a missing
    // temp_dir), or keep_owner is set and the owner cannot be given to it.
    // The writer may then run a second time.
    bool in_place_fallback = false;
};
// Writes the new content into fd; false with errno on failure.
using FileWriter = std::function<bool(int fd)>;
// Replaces path atomically: writes a private temporary file (temp_name(),
// O_EXCL|O_NOFOLLOW), fsyncs, renames it over path. A symbolic link at path
// is replaced, not followed, and lends no attributes. A failure removes the
// temporary file and leaves path as it was: false with errno and a text in err.
bool replace_file(const std::string& path, std::string_view content, const ReplaceOptions& opt,
                  std::string& err);
bool replace_file(const std::string& path, const FileWriter& writer, const ReplaceOptions& opt,
                  std::string& err);

// strerror() as a std::string (thread-safe variant).
std::string errtext(int err);

}  // namespace posix
