#include "log/trace.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ini/ini.hpp"
#include "log/prot.hpp"
#include "util/posix.hpp"
#include "util/strings.hpp"

str_log strLocalLog;

namespace {

int g_depth = 0;                 // nesting depth shared by all descriptors
bool g_startup_written = false;  // "Logging enabled" line written
bool g_local_log_set = false;    // strLocalLog filled

constexpr size_t kTraceLineMax = 1024;
constexpr size_t kModuleNameMax = 49;
constexpr size_t kDebugLineMax = 254;
constexpr size_t kCopyPathMax = 255;
constexpr size_t kCopyLineMax = 254;

void append_to(const std::string& path, const std::string& line) {
    if (path.empty()) return;
    posix::UniqueFd fd = posix::open_fd(path, O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY, 0644);
    if (!fd) return;
    posix::write_all(fd.get(), line);
}

void to_stderr(const std::string& line) {
    posix::write_all(STDERR_FILENO, line);
}

// Copies a text file into the trace, each line in the copy format.
void copy_file(const str_log& log, const struct tm& tmv, const char* path_arg) {
    posix::UniqueFd out = posix::open_fd(log.szFile, O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY, 0644);
    if (!out) return;
    std::string path = cut(path_arg ? path_arg : "", kCopyPathMax);
    FILE* in = std::fopen(path.c_str(), "re");
    if (!in) {
        posix::write_all(out.get(), sformat("%2d:%02d:%02d#   File %s not found\n", tmv.tm_hour, tmv.tm_min,
                                            tmv.tm_sec, path.c_str()));
        if (log.iVerify)
            to_stderr(sformat("%2d:%02d:%02d# File %s not found\n", tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
                              path.c_str()));
        return;
    }
    char buf[kCopyLineMax + 1];
    while (std::fgets(buf, sizeof buf, in)) {
        size_t n = std::strlen(buf);
        if (n > 0) buf[n - 1] = '\0';  // the last character, normally the newline
        posix::write_all(out.get(), sformat("%2d:%02d:%02d#%s    %s\n", tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
                                            log.szIns.c_str(), buf));
        if (log.iVerify)
            to_stderr(sformat("%2d:%02d:%02d#%s %s\n", tmv.tm_hour, tmv.tm_min, tmv.tm_sec, log.szIns.c_str(),
                              buf));
    }
    std::fclose(in);
}

}  // namespace

void trace_reset_for_tests() {
    g_depth = 0;
    g_startup_written = false;
    g_local_log_set = false;
    strLocalLog = str_log{};
}

void VWRITE_TRACE(str_log& log, const char* cpFormat, va_list ap) {
    if (!cpFormat) return;
    time_t now = ::time(nullptr);
    struct tm tmv {};
    localtime_r(&now, &tmv);

    if (cpFormat[0] == '-') {
        if (g_depth < kMaxIndentLevels + 1) {
            if (log.szIns.size() < 2)
                log.szIns.clear();
            else
                log.szIns.resize(log.szIns.size() - 2);
        }
        if (g_depth > 0) --g_depth;
    }

    if (std::strcmp(cpFormat, "COPY_FILE") == 0) {
        const char* path = va_arg(ap, const char*);
        copy_file(log, tmv, path);
    } else {
        std::string line =
            sformat("%2d:%02d:%02d#%s ", tmv.tm_hour, tmv.tm_min, tmv.tm_sec, log.szIns.c_str());
        line += vsformat(cpFormat, ap);
        if (line.size() > kTraceLineMax - 2) line.resize(kTraceLineMax - 2);
        line.push_back('\n');
        if (log.iVerify) to_stderr(line);
        append_to(log.szFile, line);
    }

    if (cpFormat[0] == '+') {
        if (g_depth < kMaxIndentLevels) log.szIns.append("  ");
        ++g_depth;
    }
}

void WRITE_TRACE(str_log& log, const char* cpFormat, ...) {
    va_list ap;
    va_start(ap, cpFormat);
    VWRITE_TRACE(log, cpFormat, ap);
    va_end(ap);
}

// The "COPY_FILE" form without a printf-checked format.
static void write_trace_unchecked(str_log& log, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    VWRITE_TRACE(log, fmt, ap);
    va_end(ap);
}

void WRITE_TRACE_COPY_FILE(str_log& log, const std::string& path) {
    write_trace_unchecked(log, "COPY_FILE", path.c_str());
}

int log_check(const std::string& cpInput) {
    std::string name = cut(cpInput, kModuleNameMax);
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    std::string dir, msg;
    if (!i_READ_INI("SM_INI", "[Pathes]", "gv_rw_ini", dir, 512, msg, 256)) {
        PROT(pick(kMsgE003), "LOG_CHECK", "gv_rw_ini");
        std::fputs("FATAL: SET_LOG_MAIN: gv_rw_ini not set", stderr);
        dir.clear();
    }
    std::string path = dir + "debug.ini";
    FILE* f = std::fopen(path.c_str(), "re");
    if (!f) return 0;
    std::string prefix = name + "=";
    char buf[kDebugLineMax + 1];
    int level = 0;
    while (std::fgets(buf, sizeof buf, f)) {
        if (std::strncmp(buf, prefix.c_str(), prefix.size()) == 0) {
            level = static_cast<int>(std::strtol(buf + prefix.size(), nullptr, 10));
            break;
        }
    }
    std::fclose(f);
    return level;
}

int get_parent_info(std::string& cpInfo, size_t iLength) {
    cpInfo.clear();
    pid_t ppid = ::getppid();
    std::string cmd =
        sformat("%s | tr -s ' ' | grep -v grep | grep -w %d", "ps -e -A -o pid,args", static_cast<int>(ppid));
    FILE* p = ::popen(cmd.c_str(), "re");
    if (!p) {
        int err = errno;
        std::fprintf(stderr, "popen failed for %s\n", cmd.c_str());
        PROT(pick(kMsgE008), cmd.c_str(), posix::errtext(err).c_str());
        return 0;
    }
    char line[511] = {};
    if (!std::fgets(line, sizeof line, p)) line[0] = '\0';
    // Drain the rest so the pipeline ends without SIGPIPE noise.
    char sink[512];
    while (std::fgets(sink, sizeof sink, p)) {
    }
    ::pclose(p);
    size_t n = std::strlen(line);
    if (n > 0) line[n - 1] = '\0';
    const char* rest = std::strlen(line) > 6 ? line + 6 : "";
    std::string info = sformat("%s (PPID=%d)", rest, static_cast<int>(ppid));
    cpInfo = cut(info, iLength > 0 ? iLength - 1 : 0);
    return 1;
}

void v_set_log_main(const std::string& cpKeyFile, const std::string& cpKeyDebug, str_log& log) {
    std::string dir, msg;
    if (!i_READ_INI("SM_INI", "[Pathes]", "gv_rw_lgc", dir, 512, msg, 256)) {
        PROT(pick(kMsgE003), "SET_LOG_MAIN", "gv_rw_lgc");
        std::fputs("FATAL: SET_LOG_MAIN: gv_rw_lgc not set", stderr);
    } else {
        log.iFlg = 0;
        log.iVerify = 0;
        std::string file = cpKeyFile.find(dir) != std::string::npos ? cpKeyFile : dir + cpKeyFile;
        log.szFile = cut(file, kTraceFileWidth - 1);
        log.iFlg = log_check(cpKeyDebug);
        if (log.iFlg != 0) {
            log.szIns.clear();
            if (!g_startup_written) {
                std::string info;
                get_parent_info(info, 512);
                WRITE_TRACE(log, "Logging enabled for module %s: Loglevel %d, PID=%d, parent process: %s",
                            cpKeyDebug.c_str(), log.iFlg, static_cast<int>(::getpid()), info.c_str());
                g_startup_written = true;
            }
            log.iVerify = log_check("STDERR");
        }
        if (!g_local_log_set) {
            strLocalLog = log;
            g_local_log_set = true;
        }
    }

    std::string lang;
    if (i_READ_INI("SM_INI", "[SETUP]", "lang", lang, 64, msg, 256)) {
        if (log.iFlg > 1) WRITE_TRACE(log, "set language to %s", lang.c_str());
        if (lang == "de")
            eLang = LANG_DE;
        else if (lang == "de_BA")
            eLang = LANG_BA;
        else if (lang == "fr")
            eLang = LANG_FR;
        else if (lang == "hr")
            eLang = LANG_HR;
        else
            eLang = LANG_EN;
    } else {
        WRITE_TRACE(log, "didn't find key lang in sm.ini > set language to en");
        eLang = LANG_EN;
    }
}
