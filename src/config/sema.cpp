#include "config/sema.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "config/glbv.hpp"
#include "util/posix.hpp"
#include "util/strings.hpp"

namespace {

constexpr mode_t kSemDirMode = 0775;
constexpr mode_t kSemFileMode = 0644;

const char* state_word(EXIT_STATE s) {
    switch (s) {
        case SM_SUCCESS: return "SUCCESS";
        case SM_WARNING: return "WARNING";
        case SM_ERROR: return "ERROR";
        default: return "FATAL";
    }
}

int pid() {
    return static_cast<int>(::getpid());
}

std::string sema_dir() {
    std::string dir = "gv_rw_work:sem";
    resolve_path(dir);
    return dir;
}

// fcntl record lock over the whole file; wait selects F_SETLKW.
int lock_whole(int fd, bool wait) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    // Only the waiting lock is retried: a try that was interrupted failed.
    if (!wait) return ::fcntl(fd, F_SETLK, &fl);
    return posix::retry_eintr([&] { return ::fcntl(fd, F_SETLKW, &fl); });
}

bool held_elsewhere(int err) {
    return err == EACCES || err == EAGAIN;
}

int truncate_fd(int fd) {
    return posix::retry_eintr([fd] { return ::ftruncate(fd, 0); });
}

// hSema uses 0 for "no lock": keep a real descriptor off 0.
int away_from_zero(int fd) {
    if (fd != 0) return fd;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return moved;
}

// A world-writable lock directory would let anyone plant or replace lock
// files; take the write bit for others away when we can.
void tighten_dir(const std::string& dir) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_IWOTH))
        ::chmod(dir.c_str(), st.st_mode & 07775 & ~S_IWOTH);
}

// Only a regular file will do: a planted FIFO or device must not make us
// block or write elsewhere. Also drops a write bit for others.
bool usable_lock_file(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (st.st_mode & S_IWOTH) ::fchmod(fd, st.st_mode & 07775 & ~S_IWOTH);
    return true;
}

struct Ctx {
    char fn;
    SCT_SEMA* s;
    str_log caller;
    str_log own;
    std::string file;
};

void report(Ctx& c, EXIT_STATE st, const std::string& msg) {
    log_error(st, msg.c_str(), &c.own, &c.caller);
}

// Inquiry on a descriptor of its own; see i_SEMA for the results.
int inquire(Ctx& c, std::string* holder = nullptr) {
    SCT_SEMA& s = *c.s;
    s.szMsg = sformat("semaphore %s is free", s.szSema.c_str());
    posix::UniqueFd fd = posix::open_fd(c.file, O_RDWR | O_NOFOLLOW | O_NONBLOCK);
    if (fd && !usable_lock_file(fd.get())) {
        fd.reset();
        errno = EINVAL;
    }
    if (!fd) {
        if (errno == ENOENT) return 0;
        std::string m = sformat("failed to open semaphore file %s", c.file.c_str());
        report(c, SM_ERROR, m);
        s.szMsg = cut(m, kSemaMsgMax);
        return 1;
    }
    // Try the lock first: the record read afterwards then belongs to the
    // process that holds (or last held) the lock, not to an earlier one.
    const int locked = lock_whole(fd.get(), false);
    const int err = errno;
    char rec[kSemaRecordMax + 1];
    const ssize_t n = posix::retry_eintr([&] { return ::pread(fd.get(), rec, kSemaRecordMax, 0); });
    std::string record = n > 0 ? std::string(rec, static_cast<size_t>(n)) : std::string();
    if (!record.empty()) s.szMsg = cut(record, kSemaMsgMax);
    if (holder) *holder = record;

    if (locked < 0) {
        if (held_elsewhere(err)) {
            if (record.empty()) {
                s.szMsg = "semaphore is locked but no process information available";
                report(c, SM_WARNING, s.szMsg);
            } else {
                SM_TRACE(c.own, 0, "[%6d] %s still locked by concurrent process %s", pid(), s.szSema.c_str(),
                         record.c_str());
            }
            return 1;
        }
        report(c, SM_ERROR, "file lock with fcntl");
        s.szMsg = sformat("error in file lock with fcntl: (%d) %s", err, posix::errtext(err).c_str());
        return 1;
    }
    if (!record.empty()) {
        report(c, SM_WARNING,
               sformat("holding process %s for semaphore %s disappeared", record.c_str(), s.szSema.c_str()));
        if (truncate_fd(fd.get()) < 0) report(c, SM_FATAL, "failed to truncate lock file");
    }
    return 0;  // closing fd drops the lock taken just now
}

int take(Ctx& c) {
    SCT_SEMA& s = *c.s;
    const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK;
    posix::UniqueFd fd = posix::open_fd(c.file, flags, kSemFileMode);
    if (!fd && errno == ENOENT) {
        report(c, SM_WARNING, "failed to open lock file");
        const std::string dir = sema_dir();
        if (::mkdir(dir.c_str(), kSemDirMode) == 0 || errno == EEXIST) {
            report(c, SM_SUCCESS,
                   sformat("directory %s created >> retry creation of lock file", dir.c_str()));
            fd = posix::open_fd(c.file, flags, kSemFileMode);
        }
    }
    if (fd && !usable_lock_file(fd.get())) {
        fd.reset();
        errno = EINVAL;
    }
    if (!fd) report(c, SM_FATAL, "failed to open lock file");
    fd = posix::UniqueFd(away_from_zero(fd.release()));
    if (!fd) report(c, SM_FATAL, "failed to open lock file");

    const bool wait = c.fn != '*';
    if (lock_whole(fd.get(), wait) < 0) {
        if (wait || !held_elsewhere(errno)) report(c, SM_FATAL, "file lock with fcntl() failed");
        report(c, SM_WARNING, "semaphore is occupied");
        fd.reset();  // before the inquiry opens the file again
        const int before = s.hSema;
        std::string holder;
        if (inquire(c, &holder) == 1 && !holder.empty()) {
            s.szMsg =
                cut(sformat("another process %s is holding semaphore %s", holder.c_str(), s.szSema.c_str()),
                    kSemaMsgMax);
            report(c, SM_WARNING, s.szMsg);
        } else {
            s.szMsg = "semaphore is occupied by another process";
        }
        s.hSema = before;
        return 0;
    }

    if (truncate_fd(fd.get()) < 0) report(c, SM_FATAL, "failed to truncate lock file");
    const std::string record = cut(sformat("%d %s", pid(), s.szCaller.c_str()), kSemaRecordMax);
    const ssize_t w = posix::retry_eintr([&] { return ::pwrite(fd.get(), record.data(), record.size(), 0); });
    if (w != static_cast<ssize_t>(record.size())) report(c, SM_FATAL, "writing pid into lock file failed");

    // open_fd already sets close-on-exec; make sure it really is set.
    int fdflags = ::fcntl(fd.get(), F_GETFD);
    if (fdflags < 0)
        report(c, SM_ERROR, "fcntl with F_GETFD failed");
    else if (!(fdflags & FD_CLOEXEC) && ::fcntl(fd.get(), F_SETFD, fdflags | FD_CLOEXEC) < 0)
        report(c, SM_ERROR, "fcntl with F_SETFD failed");

    s.hSema = fd.release();
    SM_TRACE(c.own, 0, "[%6d] got exclusive lock for %s", pid(), s.szSema.c_str());
    return 1;
}

int release(Ctx& c) {
    SCT_SEMA& s = *c.s;
    if (s.hSema != 0) {
        if (truncate_fd(s.hSema) < 0) report(c, SM_FATAL, "failed to truncate lock file");
        if (posix::close_checked(s.hSema) < 0) {
            int err = errno;
            report(c, SM_ERROR, "couldn't close semaphore file");
            s.szMsg = posix::errtext(err);
            return 0;
        }
    } else {
        if (inquire(c) == 1) {
            report(c, SM_WARNING,
                   sformat("another process %s is holding semaphore %s", s.szMsg.c_str(), s.szSema.c_str()));
        } else {
            SM_TRACE(c.own, 0, "[%6d] - %s", pid(), s.szMsg.c_str());
        }
    }
    SM_TRACE(c.own, 1, "[%6d] - reset", pid());
    s.hSema = 0;
    return 1;
}

}  // namespace

std::string sema_file(const std::string& name) {
    std::string f = "gv_rw_work:sem/" + name + ".sem";
    resolve_path(f);
    return f;
}

void log_error(EXIT_STATE eState, const char* cpMsg, str_log* pStrLogExtern, str_log* pStrLogCaller) {
    const int err = errno;
    const std::string text = posix::errtext(err);
    if (pStrLogExtern && pStrLogExtern->iFlg > 0)
        WRITE_TRACE(*pStrLogExtern, "%s: %s: (%d) %s", state_word(eState), cpMsg, err, text.c_str());
    if (pStrLogCaller && pStrLogCaller->iFlg > 0)
        WRITE_TRACE(*pStrLogCaller, "[%6d] %s: %s: (%d) %s", pid(), state_word(eState), cpMsg, err,
                    text.c_str());
    if (eState == SM_FATAL) {
        std::printf("STATUS=%s MSG=%s: (%d) %s\n", "FATAL", cpMsg, err, text.c_str());
        std::fflush(stdout);
        std::exit(3);
    }
    errno = err;
}

int i_SEMA(char cFunction, SCT_SEMA* pS, str_log strOldLog) {
    pS->szSema = cut(pS->szSema, kSemaNameMax);
    pS->szCaller = cut(pS->szCaller, kSemaCallerMax);
    Ctx c{cFunction, pS, strOldLog, {}, {}};
    SM_TRACE(c.caller, 0, "SEMA %c %s", cFunction, pS->szSema.c_str());
    v_set_log_main("sm_sem_" + pS->szSema + ".lgc", "SM_SEM", c.own);
    SM_TRACE(c.own, 0, "+++ SEMA [%6d] %c %s", pid(), cFunction, pS->szSema.c_str());
    c.file = sema_file(pS->szSema);
    SM_TRACE(c.own, 1, "sema file name: '%s'", c.file.c_str());
    tighten_dir(sema_dir());

    int rc = 0;
    switch (cFunction) {
        case '+':
        case 'S':
        case '*': rc = take(c); break;
        case '-':
        case 'R': rc = release(c); break;
        case '?': rc = inquire(c); break;
        default: pS->szMsg = sformat("error: invalid argument %c", cFunction); break;
    }
    SM_TRACE(c.own, 0, "--- SEMA [%6d] %c returns: %d: %s", pid(), cFunction, rc, pS->szMsg.c_str());
    SM_TRACE(c.caller, 1, "SEMA %c returns: %d: %s", cFunction, rc, pS->szMsg.c_str());
    return rc;
}
