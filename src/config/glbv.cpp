#include "config/glbv.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ini/ini.hpp"
#include "log/lang.hpp"
#include "log/prot.hpp"
#include "util/posix.hpp"
#include "util/strings.hpp"

namespace {

const LangText kInvalidService{
    "?? invalid service %c",
    "?? ung\xfcltiger Parameter %c",
    "?? ung\xfcltiga Parameter %c",
    "?? Le Parametre %c est erron\xe9",
};

const LangText kFatalSoftware{
    "Fatal software error FILE=%s LINE=%d (%s)",
    "Fataler Software Fehler FILE=%s ZEILE=%d (%s)",
    "do is a ganz a groba F\xe4lla in FILE=%s ZEILE=%d (%s)",
};

// Our own temporary and claimed files start with this; a pattern delete
// leaves them to their owners.
constexpr const char* kPrivatePrefix = ".~";

bool store_dir(std::string& dir) {
    std::string msg;
    return i_READ_INI("SM_INI", "[Pathes]", "gv_rw_glbv", dir, 512, msg, 256) == 1;
}

// Temporary files and claimed values live in this subdirectory of the store,
// on the same file system, so that looking for leftovers does not mean
// listing every variable of the store.
constexpr const char* kPrivateDir = ".~private/";

// A private file's name has one length whatever the variable's name:
//   kind hash "." pid start pidns "." count
// kind 'w' is a writer's temporary file, 'r' a value claimed by 'R'; hash
// (16 hex digits of the variable's name) tells which variable a claim
// belongs to, so that it can be put back. The owner is its pid, its start
// time in clock ticks after boot (a reused pid has another one) and its PID
// namespace (pids of another namespace cannot be checked here), 8, 16 and
// 16 hex digits; count (8) keeps names of one process apart.
constexpr size_t kPrivateNameLen = 1 + 16 + 1 + 8 + 16 + 16 + 1 + 8;

struct Owner {
    unsigned pid = 0;
    unsigned long long start = 0, pidns = 0;
};

uint64_t name_hash(const std::string& name) {
    uint64_t h = 0xcbf29ce484222325ull;  // FNV-1a
    for (unsigned char c : name) h = (h ^ c) * 0x100000001b3ull;
    return h;
}

// Pid, state and start time of a process from /proc/<which>/stat; false
// with errno ENOENT or ESRCH when it is gone.
bool proc_stat(const std::string& which, unsigned& pid, char& state, unsigned long long& start) {
    posix::UniqueFd fd = posix::open_fd("/proc/" + which + "/stat", O_RDONLY);
    std::string text;
    if (!fd || !posix::read_all(fd.get(), text)) return false;
    size_t p = text.rfind(')');  // the command name may hold blanks and parentheses
    errno = EINVAL;              // for the text checks below
    if (p == std::string::npos || std::sscanf(text.c_str(), "%u", &pid) != 1) return false;
    unsigned long long field = 0;
    int n = 0;  // fields after the name: state is the 1st, starttime the 20th
    if (std::sscanf(text.c_str() + p + 1, " %c%n", &state, &n) != 1) return false;
    const char* q = text.c_str() + p + 1 + n;
    for (int i = 2; i <= 20; ++i) {
        char* e = nullptr;
        field = std::strtoull(q, &e, 10);
        if (e == q) return false;
        q = e;
    }
    start = field;
    return true;
}

const Owner& self() {
    static Owner me;
    if (me.pid != static_cast<unsigned>(::getpid())) {  // also right after fork()
        me = Owner{static_cast<unsigned>(::getpid()), 0, 0};
        char state;
        unsigned pid = 0;
        struct stat st {};
        // A /proc of another PID namespace would name other processes: then
        // pidns stays 0 and nothing is judged.
        if (proc_stat("self", pid, state, me.start) && pid == me.pid && ::stat("/proc/self/ns/pid", &st) == 0)
            me.pidns = st.st_ino;
    }
    return me;
}

// True only when the owner is known to have ended. Without /proc, or in
// another PID namespace, nothing can be known and the file is left alone.
bool owner_gone(const Owner& o) {
    const Owner& me = self();
    if (me.pidns == 0 || o.pidns != me.pidns) return false;
    if (o.pid == me.pid) return o.start != me.start;
    unsigned long long start = 0;
    unsigned pid = 0;
    char state = 0;
    if (!proc_stat(std::to_string(o.pid), pid, state, start)) return errno == ENOENT || errno == ESRCH;
    return start != o.start || state == 'Z' || state == 'X';  // killed, not yet reaped: gone too
}

std::string private_name(char kind, uint64_t hash) {
    static unsigned count = 0;
    const Owner& me = self();
    return sformat("%c%016llx.%08x%016llx%016llx.%08x", kind, static_cast<unsigned long long>(hash), me.pid,
                   me.start, me.pidns, ++count);
}

bool parse_private(const char* n, char& kind, uint64_t& hash, Owner& o) {
    if (std::strlen(n) != kPrivateNameLen) return false;
    unsigned long long h = 0;
    char hex[17] = {};
    auto field = [&](size_t at, size_t len, unsigned long long& out) {
        std::memcpy(hex, n + at, len);
        hex[len] = '\0';
        char* e = nullptr;
        out = std::strtoull(hex, &e, 16);
        return e == hex + len;
    };
    unsigned long long pid = 0;
    kind = n[0];
    if (n[17] != '.' || n[58] != '.' || !field(1, 16, h) || !field(18, 8, pid) || !field(26, 16, o.start) ||
        !field(42, 16, o.pidns))
        return false;
    hash = h;
    o.pid = static_cast<unsigned>(pid);
    return kind == 'w' || kind == 'r';
}

// Moves a claimed file back under its variable's name unless a newer value
// took that place; then the claimed one is dropped.
void put_back(const std::string& claim, const std::string& var) {
    if (::renameat2(AT_FDCWD, claim.c_str(), AT_FDCWD, var.c_str(), RENAME_NOREPLACE) == 0) return;
    // File systems without RENAME_NOREPLACE: a link fails the same way.
    if (errno == EINVAL && ::link(claim.c_str(), var.c_str()) < 0 && errno != EEXIST) return;
    ::unlink(claim.c_str());
}

// Makes the private directory with the store's owner and mode, so that every
// user of the store can use it. False with errno when it cannot be had.
bool private_dir(const std::string& dir) {
    const std::string p = dir + kPrivateDir;
    struct stat st {};
    if (::lstat(p.c_str(), &st) == 0) {  // a planted link is not followed
        if (S_ISDIR(st.st_mode)) return true;
        errno = ENOTDIR;
        return false;
    }
    if (::stat(dir.c_str(), &st) < 0) return false;
    if (::mkdir(p.c_str(), 0700) < 0) return errno == EEXIST;
    // Best effort: where these fail, other users write in place.
    if (::geteuid() == 0) (void)!::chown(p.c_str(), st.st_uid, st.st_gid);
    (void)!::chmod(p.c_str(), st.st_mode & 07777);
    return true;
}

// Cleans up after processes that ended without finishing: removes their
// temporary files and puts their claims on this variable back.
void recover(const std::string& dir, const std::string& name, uint64_t hash) {
    const std::string p = dir + kPrivateDir;
    DIR* d = ::opendir(p.c_str());
    if (!d) return;  // none yet, or not ours to list
    while (struct dirent* e = ::readdir(d)) {
        char kind;
        uint64_t h;
        Owner o;
        if (!parse_private(e->d_name, kind, h, o) || !owner_gone(o)) continue;
        if (kind == 'w')
            ::unlink((p + e->d_name).c_str());
        else if (h == hash)
            put_back(p + e->d_name, dir + name + ".sgv");
    }
    ::closedir(d);
}

void write_fail(const std::string& name, std::string& value, const std::string& path, int err) {
    std::fprintf(stderr, "glbv() write %s failed: %s (%d)\n", path.c_str(), posix::errtext(err).c_str(), err);
    value = sformat("?? GLBV %s cannot be created: %s", name.c_str(), posix::errtext(err).c_str());
    PROT("Error: GLBV: %s", value.c_str());
}

// Truncates and rewrites the file itself: owner and mode stay, but a reader
// may see a partial value. Used only where a replacement cannot be made.
void write_in_place(const std::string& name, std::string& value, const std::string& path, bool existed) {
    posix::UniqueFd fd = posix::open_fd(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NOCTTY, 0644);
    int err = fd ? 0 : errno;
    if (!err && ((!existed && ::fchmod(fd.get(), 0644) < 0) || !posix::write_all(fd.get(), value)))
        err = errno;
    if (fd && fd.close_checked() < 0 && !err) err = errno;
    if (err) write_fail(name, value, path, err);
}

// Writes a private file and renames it over the variable, so readers see the
// old or the new value. The new file gets the old one's owner and mode; when
// this process may not give it that owner, or may not create files in the
// store, the file is rewritten in place instead.
void write_value(const std::string& dir, std::string& name, std::string& value, const std::string& path,
                 uint64_t hash) {
    struct stat old {};
    const bool existed = ::lstat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    const std::string tmp = dir + kPrivateDir + private_name('w', hash);
    posix::UniqueFd fd;
    if (private_dir(dir)) fd = posix::open_fd(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY, 0600);
    if (!fd) {
        int err = errno;
        if (err == EACCES || err == EPERM) return write_in_place(name, value, path, existed);
        return write_fail(name, value, path, err);
    }
    struct stat now {};
    int err = ::fstat(fd.get(), &now) < 0 ? errno : 0;
    if (!err && existed && (now.st_uid != old.st_uid || now.st_gid != old.st_gid) &&
        ::fchown(fd.get(), old.st_uid, old.st_gid) < 0) {
        fd.reset();
        ::unlink(tmp.c_str());
        return write_in_place(name, value, path, existed);
    }
    if (!err &&
        (::fchmod(fd.get(), existed ? old.st_mode & 07777 : 0644) < 0 || !posix::write_all(fd.get(), value)))
        err = errno;
    if (fd.close_checked() < 0 && !err) err = errno;
    if (!err && ::rename(tmp.c_str(), path.c_str()) < 0) err = errno;
    if (err) ::unlink(tmp.c_str());
    if (err == EACCES || err == EPERM)
        write_in_place(name, value, path, existed);  // the store itself is closed to us
    else if (err)
        write_fail(name, value, path, err);
}

// Reads the value in lines of 510 characters, joined without newlines, cut
// at 511 with '>'. Returns false for an empty file.
bool read_value(FILE* f, std::string& value) {
    value.clear();
    char buf[kGlbvReadLine + 1];
    bool any = false;
    while (std::fgets(buf, sizeof buf, f)) {
        any = true;
        size_t n = std::strlen(buf);
        if (n > 0 && buf[n - 1] == '\n') buf[--n] = '\0';
        value.append(buf, n);
        if (value.size() > kGlbvValueMax) {
            value.resize(kGlbvValueMax);
            value[kGlbvValueMax - 1] = '>';
            break;
        }
    }
    return any;
}

void read_var(char fn, const std::string& dir, const std::string& name, std::string& value,
              const std::string& path, uint64_t hash) {
    std::string src = path;
    if (fn == 'R') {
        // Claim the file first: of two concurrent readers only one gets it.
        std::string claim = dir + kPrivateDir + private_name('r', hash);
        if (private_dir(dir) && ::rename(path.c_str(), claim.c_str()) == 0)
            src = claim;
        else if (errno == ENOENT) {
            value = sformat("?? GLBV %s not existing", name.c_str());
            return;
        }
        // Any other failure: read in place, as before.
    }
    int fd = -1;
    do {
        fd = ::open(src.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        int err = errno;
        value = sformat("?? GLBV %s not existing", name.c_str());
        if (src != path) put_back(src, path);  // unreadable: give it back
        if (err != ENOENT) {
            std::fprintf(stderr, "glbv() read %s failed: %s (%d)\n", path.c_str(),
                         posix::errtext(err).c_str(), err);
            value += ": " + posix::errtext(err);
            PROT("Error: GLBV: %s", value.c_str());
        }
        return;
    }
    FILE* f = ::fdopen(fd, "r");
    if (!f) {
        ::close(fd);
        value = sformat("?? GLBV %s not existing", name.c_str());
        return;
    }
    std::string read;
    bool any = read_value(f, read);
    std::fclose(f);
    if (fn == 'R') ::unlink(src.c_str());
    if (!any) {
        std::fputs("glbv() read failed: empty file\n", stderr);
        value = sformat("?? GLBV %s not existing", name.c_str());
        return;
    }
    value = read;
}

void delete_pattern(const std::string& name) {
    std::string dir;
    store_dir(dir);
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
        std::fprintf(stderr, "glbv: Error in opendir( %s ): %s\n", dir.c_str(),
                     posix::errtext(errno).c_str());
        return;
    }
    while (struct dirent* e = ::readdir(d)) {
        const char* n = e->d_name;
        if (!std::strcmp(n, ".") || !std::strcmp(n, "..")) continue;
        if (!std::strncmp(n, kPrivatePrefix, std::strlen(kPrivatePrefix))) continue;
        if (::fnmatch(name.c_str(), n, 0) == 0) ::unlink((dir + n).c_str());
    }
    ::closedir(d);
}

}  // namespace

static std::string& glbv_core(char cFunction, std::string& cpGlbvName, std::string& cpGlbvValue,
                              bool& store_ok) {
    for (char& c : cpGlbvName)
        if (c == '\\' || c == '/') c = '_';

    std::string dir;
    store_ok = store_dir(dir);
    if (!store_ok) {
        cpGlbvValue = sformat(pick(kFatalSoftware), "../cm_hal_unix", 249, " error reading sm_ini");
        return cpGlbvValue;
    }
    const std::string path = dir + cpGlbvName + ".sgv";
    const uint64_t hash = name_hash(cpGlbvName);
    if (cFunction && std::strchr("dwrR", cFunction)) recover(dir, cpGlbvName, hash);

    switch (cFunction) {
        case 'd':
            if (cpGlbvName.find('*') == std::string::npos)
                ::unlink(path.c_str());
            else
                delete_pattern(cpGlbvName);
            return cpGlbvName;
        case 'w': write_value(dir, cpGlbvName, cpGlbvValue, path, hash); return cpGlbvValue;
        case 'r':
        case 'R': read_var(cFunction, dir, cpGlbvName, cpGlbvValue, path, hash); return cpGlbvValue;
        default: cpGlbvValue = sformat(pick(kInvalidService), cFunction); return cpGlbvValue;
    }
}

std::string& glbv(char cFunction, std::string& cpGlbvName, std::string& cpGlbvValue) {
    bool store_ok = false;
    return glbv_core(cFunction, cpGlbvName, cpGlbvValue, store_ok);
}

bool glbv_get(std::string name, std::string& value) {
    bool store_ok = false;
    glbv_core('r', name, value, store_ok);
    return store_ok && !value.empty() && value[0] != '?';
}

int resolve_glbv(std::string& file) {
    std::string name, rest;
    size_t colon = file.find(':');
    if (colon != std::string::npos) {
        str_elem(0, ':', file.c_str(), name);
        rest = file.substr(colon + 1);
    } else {
        name = file;
    }
    std::string value;
    glbv('r', name, value);
    if (value.empty() || value[0] == '?') return 0;
    file = cut(value + rest, kGlbvValueMax);
    return 1;
}

int resolve_path(std::string& cpOrigPath) {
    std::string key = cpOrigPath, rest;
    size_t colon = cpOrigPath.find(':');
    if (colon != std::string::npos) {
        key = cpOrigPath.substr(0, colon);
        rest = cpOrigPath.substr(colon + 1);
    }
    std::string value, msg;
    if (i_READ_INI("SM_INI", "[Pathes]", key.c_str(), value, kIniLineBuf, msg, 256))
        cpOrigPath = value + rest;
    return 1;
}
