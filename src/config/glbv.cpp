#include "config/glbv.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

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

std::string private_name(const std::string& dir, const char* kind, const std::string& name) {
    static std::mt19937_64 rng{std::random_device{}() ^ static_cast<unsigned long>(::getpid())};
    return sformat("%s%s%s.%s.%d.%llx", dir.c_str(), kPrivatePrefix, kind, name.c_str(),
                   static_cast<int>(::getpid()), static_cast<unsigned long long>(rng()));
}

void write_value(const std::string& dir, std::string& name, std::string& value, const std::string& path) {
    auto fail = [&](int err) {
        std::fprintf(stderr, "glbv() write %s failed: %s (%d)\n", path.c_str(), posix::errtext(err).c_str(), err);
        value = sformat("?? GLBV %s cannot be created: %s", name.c_str(), posix::errtext(err).c_str());
        PROT("Error: GLBV: %s", value.c_str());
    };
    std::string tmp = private_name(dir, "w", name);
    posix::UniqueFd fd = posix::open_fd(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY, 0644);
    if (!fd) return fail(errno);
    int err = 0;
    if (::fchmod(fd.get(), 0644) < 0 || !posix::write_all(fd.get(), value)) err = errno;
    if (fd.close_checked() < 0 && !err) err = errno;
    if (!err && ::rename(tmp.c_str(), path.c_str()) < 0) err = errno;
    if (err) {
        ::unlink(tmp.c_str());
        fail(err);
    }
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
              const std::string& path) {
    std::string src = path;
    if (fn == 'R') {
        // Claim the file first: of two concurrent readers only one gets it.
        std::string claim = private_name(dir, "r", name);
        if (::rename(path.c_str(), claim.c_str()) == 0)
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
        if (src != path) {
            // Put an unreadable claimed file back unless a new value arrived.
            if (::renameat2(AT_FDCWD, src.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) < 0)
                ::unlink(src.c_str());
        }
        if (err != ENOENT) {
            std::fprintf(stderr, "glbv() read %s failed: %s (%d)\n", path.c_str(), posix::errtext(err).c_str(),
                         err);
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
        std::fprintf(stderr, "glbv: Error in opendir( %s ): %s\n", dir.c_str(), posix::errtext(errno).c_str());
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

    switch (cFunction) {
        case 'd':
            if (cpGlbvName.find('*') == std::string::npos)
                ::unlink(path.c_str());
            else
                delete_pattern(cpGlbvName);
            return cpGlbvName;
        case 'w':
            write_value(dir, cpGlbvName, cpGlbvValue, path);
            return cpGlbvValue;
        case 'r':
        case 'R':
            read_var(cFunction, dir, cpGlbvName, cpGlbvValue, path);
            return cpGlbvValue;
        default:
            cpGlbvValue = sformat(pick(kInvalidService), cFunction);
            return cpGlbvValue;
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
