#include "exec/fileutil.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

#include "config/glbv.hpp"
#include "exec/system.hpp"
#include "log/prot.hpp"
#include "util/posix.hpp"
#include "util/shell_quote.hpp"
#include "util/strings.hpp"
#include "util/timeutil.hpp"

namespace {

const LangText kMsgE009{
    "E009-BASICS  Error copying file %s %s: %s",
    "E009-BASICS  Fehler bei Dateikopie %s %s: %s",
    "E009-BASICS  Fehla beim Dateikopiern %s %s: %s",
};

std::string expanded(const std::string& path) {
    std::string p = cut(path, kFilePathMax);
    resolve_glbv(p);
    return p;
}

// The one directory iteration of the process.
struct DirIteration {
    posix::UniqueDir dir;
    std::string dirname, pattern;
} gIter;

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

}  // namespace

int file_exist(const std::string& source) {
    if (source.empty()) return 0;
    const std::string path = expanded(source);
    posix::UniqueFd fd = posix::open_fd(path, O_RDONLY);
    if (!fd) return 0;
    if (fd.close_checked() != 0) i_FILE_CLOSE(errno);
    return 1;
}

int i_SEEK_STRING(FILE* fpTest, std::string& szSl, const std::string& cpString1, const std::string& cpString2,
                  char cLogicFlg) {
    char line[kSearchLineMax + 1];
    while (std::fgets(line, sizeof line, fpTest)) {
        std::string_view l(line);
        const bool has1 = l.find(cpString1) != std::string_view::npos;
        bool match;
        if (cLogicFlg == 'A')
            match = has1 && l.find(cpString2) != std::string_view::npos;
        else if (cLogicFlg == 'O')
            match = has1 || l.find(cpString2) != std::string_view::npos;
        else
            match = has1;
        if (match) {
            szSl.assign(l);
            return 1;
        }
    }
    return 0;
}

int file_search(const std::string& cpFile, std::string& cpSearchString) {
    const std::string path = expanded(cpFile);
    UniqueFile f(std::fopen(path.c_str(), "re"));
    if (!f) return 0;

    bool want_line = false;
    if (!cpSearchString.empty() && cpSearchString.back() == '^') {
        cpSearchString.pop_back();
        want_line = true;
    }
    std::string s1 = cpSearchString, s2;
    char flag = ' ';
    size_t op;
    if ((op = cpSearchString.find("|AND|")) != std::string::npos) {
        flag = 'A';
        s1 = cpSearchString.substr(0, op);
        s2 = cpSearchString.substr(op + 5);
        cpSearchString.resize(op);
    } else if ((op = cpSearchString.find("|OR|")) != std::string::npos) {
        flag = 'O';
        s1 = cpSearchString.substr(0, op);
        s2 = cpSearchString.substr(op + 4);
        cpSearchString.resize(op);
    }
    std::string line;
    const int found = i_SEEK_STRING(f.get(), line, s1, s2, flag);
    if (found && want_line) {
        if (!line.empty()) line.pop_back();
        cpSearchString = cut(line, kSearchLineMax);
    }
    return found;
}

int file_copy(const std::string& cpSource, const std::string& cpTarget) {
    std::string cmd = sformat("umask 000; cp %s %s", shell_quote(not_an_option(expanded(cpSource))).c_str(),
                              shell_quote(not_an_option(expanded(cpTarget))).c_str());
    const int rc = start_system(cmd);
    if (rc != 0) PROT(pick(kMsgE009), cpSource.c_str(), cpTarget.c_str(), cmd.c_str());
    return rc;
}

int i_GET_DIR(const std::string& cpFile, sm_dirent* pDE, str_log strLog) {
    int rc = 0;
    if (!cpFile.empty()) {
        const std::string path = expanded(cpFile);
        SM_TRACE(strLog, 1, "+++ iGET_DIR: %s -> %s", cpFile.c_str(), path.c_str());
        const size_t slash = path.rfind('/');
        gIter.dirname = slash == std::string::npos ? "./" : path.substr(0, slash + 1);
        gIter.pattern = slash == std::string::npos ? path : path.substr(slash + 1);
        SM_TRACE(strLog, 1, "dir name: %s, file name: %s", gIter.dirname.c_str(), gIter.pattern.c_str());
        gIter.dir = posix::open_dir(gIter.dirname);
        if (!gIter.dir) {
            SM_TRACE(strLog, 0, "iGET_DIR: Error in opendir( %s ): %s", gIter.dirname.c_str(),
                     posix::errtext(errno).c_str());
            SM_TRACE(strLog, 1, "--- iGET_DIR  returns %d %s", 0, "");
            return 0;
        }
    } else {
        SM_TRACE(strLog, 1, "+++ iGET_DIR: find next file");
    }
    if (gIter.dir) {
        for (;;) {
            errno = 0;
            struct dirent* e = ::readdir(gIter.dir.get());
            if (!e) break;
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
            if (::fnmatch(gIter.pattern.c_str(), e->d_name, 0) == 0) {
                pDE->d_name = cut(e->d_name, kDirentNameSize - 1);
                SM_TRACE(strLog, 1, "found valid file >%s<", pDE->d_name.c_str());
                rc = 1;
                break;
            }
        }
        if (!rc) {
            SM_TRACE(strLog, 1, "closing( dir_pointer )");
            gIter.dir.reset();
        }
    }
    SM_TRACE(strLog, 1, "--- iGET_DIR  returns %d %s", rc, rc ? pDE->d_name.c_str() : "");
    return rc;
}

int i_FILE_DELETE(const std::string& source, str_log strLog) {
    std::string path = expanded(source);
    SLASH_HAMMER(path);
    SM_TRACE(strLog, 0, "+++ FILE_DELETE   %s  ->  %s ", source.c_str(), path.c_str());
    int rc;
    if (path.find('*') == std::string::npos) {
        rc = std::remove(path.c_str()) == 0 ? 1 : 0;
    } else {
        const size_t slash = path.rfind('/');
        const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
        SM_TRACE(strLog, 0, "path= %s ", dir.c_str());
        sm_dirent de;
        for (int more = i_GET_DIR(path, &de, strLog); more; more = i_GET_DIR("", &de, strLog)) {
            const std::string victim = dir + de.d_name;
            SM_TRACE(strLog, 1, "remove %s  %s ", dir.c_str(), de.d_name.c_str());
            if (std::remove(victim.c_str()) != 0) SM_TRACE(strLog, 0, "could not remove %s", victim.c_str());
        }
        rc = 1;  // a pattern succeeds whatever it matched
    }
    SM_TRACE(strLog, 0, "--- FILE_DELETE  returns  %d ", rc);
    return rc;
}

int i_FILE_FIND_EXEC_BEFORE(const std::string& cpFilePattern, const std::string& cpDate, int iDays,
                            const FileCallback& fn, str_log strLog) {
    SM_TRACE(strLog, 0, "+++ KRL i_FILE_FIND_EXEC_BEFORE in %s  file:%s  days:%d   date:%s",
             cpFilePattern.c_str(), cpFilePattern.c_str(), iDays, cpDate.c_str());
    time_t limit;
    struct tm t {};
    if (iDays < 1) {
        if (std::sscanf(cpDate.c_str(), "%04d-%02d-%02d %02d:%02d:%02d", &t.tm_year, &t.tm_mon, &t.tm_mday,
                        &t.tm_hour, &t.tm_min, &t.tm_sec) != 6)
            t = {};
        t.tm_year -= 1900;
        t.tm_mon -= 1;
    } else {
        time_t now = ::time(nullptr);
        ::localtime_r(&now, &t);
        t.tm_mday -= iDays;  // calendar days: mktime keeps the time of day across DST
    }
    t.tm_isdst = -1;
    limit = ::mktime(&t);

    sm_dirent de;
    if (!i_GET_DIR(cpFilePattern, &de, strLog)) {
        SM_TRACE(strLog, 0, "--- KRL i_FILE_FIND_EXEC_BEFORE returns 0 : no matches for %s ",
                 cpFilePattern.c_str());
        return 0;
    }
    const std::string path = expanded(cpFilePattern);
    const std::string dir = path.substr(0, path.rfind('/') + 1);
    int found = 0, young = 0;
    do {
        const std::string full = dir + de.d_name;
        struct stat st {};
        if (::stat(full.c_str(), &st) != 0) {
            SM_TRACE(strLog, 0, "error from POSIX_STAT for %s  %s ", full.c_str(),
                     posix::errtext(errno).c_str());
            continue;
        }
        if (st.st_mtime >= limit) {
            SM_TRACE(strLog, 1, "too young: %s ", full.c_str());
            ++young;
            continue;
        }
        char when[64];
        struct tm mt {};
        ::localtime_r(&st.st_mtime, &mt);
        cm_strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &mt);
        SM_TRACE(strLog, 0, "found: %s  %s %s", dir.c_str(), de.d_name.c_str(), when);
        ++found;
        fn(full, strLog);
    } while (i_GET_DIR("", &de, strLog));
    SM_TRACE(strLog, 0, "--- KRL i_FILE_FIND_EXEC_BEFORE returns 1   found %d files; too young were %d ",
             found, young);
    return 1;
}

int i_CREATE_DIR_LOCAL(const std::string& cpPath, std::string& cpMsg, str_log strLog) {
    std::string path = expanded(cpPath);
    SLASH_HAMMER(path);
    SM_TRACE(strLog, 0, "+++ i_CREATE_DIR_LOCAL");
    int rc = 0;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        cpMsg = sformat("%s already existing", path.c_str());
        rc = 1;
    } else if (errno == ENOENT) {
        for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
            const std::string level = path.substr(0, pos + 1);
            SM_TRACE(strLog, 1, "create intermediate directory %s ", level.c_str());
            i_MKDIR(level);  // existing levels just fail
        }
        if (i_MKDIR(path) || (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
            cpMsg = sformat("%s newly created", path.c_str());
            rc = 1;
        } else {
            cpMsg = "error from MKDIR";
        }
    } else {
        cpMsg = posix::errtext(errno);
    }
    SM_TRACE(strLog, 0, "--- i_CREATE_DIR_LOCAL  returns %d   msg= %s ", rc, cpMsg.c_str());
    return rc;
}

int cm_chmod(const std::string& szMode, const std::string& szFile) {
    return i_cm_system(sformat("chmod %s \"%s\"", shell_arg(szMode).c_str(),
                               shell_dquote_body(not_an_option(szFile)).c_str()));
}

int i_FILE_CLOSE(int iErrno) {
    const std::string text = posix::errtext(iErrno);
    std::fprintf(stderr, "\nFILE_CLOSE error: %s\n", text.c_str());
    if (iErrno == ENFILE || iErrno == ENOSPC || iErrno == EDEADLK) {
        i_cm_system(sformat("sm_alarm FILE_SYSTEM \"%s\"", shell_dquote_body(text).c_str()));
        i_cm_system("sm_os_startup STOP");
        std::fprintf(stderr, "\n\nSHUTDOWN zarvo2000 - problems with file system (%s) \n\n", text.c_str());
    }
    return 0;
}
