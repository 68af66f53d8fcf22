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

// Temporary files and claimed values live in this subdirectory of the store,
// on the same file system, so that looking for leftovers does not mean
// listing every variable of the store.
constexpr const char* kPrivateDir = ".~private/";

// Private files are the layer's temporary names, which carry their owner
// process. A writer's temporary file has no tag; a value claimed by 'R' is
// tagged "r" + 16 hex digits of its variable's name, so it can be put back.
std::string claim_tag(uint64_t hash) {
    return sformat("r%016llx", static_cast<unsigned long long>(hash));
}

uint64_t name_hash(const std::string& name) {
    uint64_t h = 0xcbf29ce484222325ull;  // FNV-1a
    for (unsigned char c : name) h = (h ^ c) * 0x100000001b3ull;
    return h;
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
    posix::UniqueDir d = posix::open_dir(p);
    if (!d) return;  // none yet, or not ours to list
    const std::string mine = claim_tag(hash);
    while (struct dirent* e = ::readdir(d.get())) {
        posix::ProcOwner o;
        std::string_view tag;
        if (!posix::parse_temp_name(e->d_name, &o, &tag) || !posix::owner_gone(o)) continue;
        if (tag.empty())
            ::unlink((p + e->d_name).c_str());
        else if (tag == mine)
            put_back(p + e->d_name, dir + name + ".sgv");
    }
}

void write_fail(const std::string& name, std::string& value, const std::string& path, int err) {
    std::fprintf(stderr, "glbv() write %s failed: %s (%d)\n", path.c_str(), posix::errtext(err).c_str(), err);
    value = sformat("?? GLBV %s cannot be created: %s", name.c_str(), posix::errtext(err).c_str());
    PROT("Error: GLBV: %s", value.c_str());
}

// Values are not fsynced: the store holds the state of running jobs, not
// data that must outlive a crash, and an fsync per write costs each job
// more than the rest of its store traffic.
constexpr bool kSyncValues = false;

// Replaces the variable's file through a private temporary file, so readers
// see the old or the new value; owner and mode stay. Where this process may
// not give the file its owner, or may not create files in the store, the
// file is rewritten in place instead.
void write_value(const std::string& dir, const std::string& name, std::string& value,
                 const std::string& path) {
    (void)private_dir(dir);  // without it, the write goes in place
    posix::ReplaceOptions opt;
    opt.new_mode = 0644;
    opt.sync = kSyncValues;
    opt.temp_dir = dir + kPrivateDir;
    opt.in_place_fallback = true;
    std::string err;
    if (!posix::replace_file(path, value, opt, err)) write_fail(name, value, path, errno);
}

void read_var(char fn, const std::string& dir, const std::string& name, std::string& value,
              const std::string& path, uint64_t hash) {
    std::string src = path;
    if (fn == 'R') {
        // Claim the file first: of two concurrent readers only one gets it.
        std::string claim = dir + kPrivateDir + posix::temp_name(claim_tag(hash));
        if (private_dir(dir) && ::rename(path.c_str(), claim.c_str()) == 0)
            src = claim;
        else if (errno == ENOENT) {
            value = sformat("?? GLBV %s not existing", name.c_str());
            return;
        }
        // Any other failure: read in place, as before.
    }
    // Opened for writing too: a variable this user may not write counts as
    // unreadable.
    posix::UniqueFd fd = posix::open_fd(src, O_RDWR | O_NOFOLLOW | O_NOCTTY);
    if (!fd) {
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
    std::string raw;
    const bool any = store_read(fd.get(), raw) && !raw.empty();
    fd.reset();
    if (fn == 'R') ::unlink(src.c_str());
    if (!any) {
        std::fputs("glbv() read failed: empty file\n", stderr);
        value = sformat("?? GLBV %s not existing", name.c_str());
        return;
    }
    value = store_value(raw);
}

void delete_pattern(const std::string& name) {
    std::string dir;
    store_dir(dir);
    posix::UniqueDir d = posix::open_dir(dir);
    if (!d) {
        std::fprintf(stderr, "glbv: Error in opendir( %s ): %s\n", dir.c_str(),
                     posix::errtext(errno).c_str());
        return;
    }
    while (struct dirent* e = ::readdir(d.get())) {
        const char* n = e->d_name;
        if (!std::strcmp(n, ".") || !std::strcmp(n, "..")) continue;
        if (!std::strncmp(n, kPrivatePrefix, std::strlen(kPrivatePrefix))) continue;
        if (::fnmatch(name.c_str(), n, 0) == 0) ::unlink((dir + n).c_str());
    }
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
        case 'w': write_value(dir, cpGlbvName, cpGlbvValue, path); return cpGlbvValue;
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
