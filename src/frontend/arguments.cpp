#include "frontend/arguments.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/glbv.hpp"
#include "frontend/finish.hpp"
#include "frontend/globals.hpp"
#include "ini/ini.hpp"
#include "log/prot.hpp"
#include "log/trace.hpp"
#include "util/posix.hpp"
#include "util/strings.hpp"
#include "util/timeutil.hpp"

namespace {}  // namespace

// Scanner state, kept between calls.
namespace getopt_state {
const char* pIndexPosition = nullptr;
int opterr = 1;
int cm_optind = 1;
}  // namespace getopt_state
using namespace getopt_state;

namespace {

constexpr size_t kUsageWidth = 79;
constexpr size_t kDeviceLineWidth = 73;
const char* const kDeviceLine = " <device> is the HW device, e.g. \"\\.\\Tape0\" or \"/dev/nst0a\"";

const char* const kUsageLines[] = {
    "sm_client [-r] [-i <id>] [-c <client>] -f <function> [-C <server>] [-v] [-h]",
    "   -r                 is called from remote, avoids recursive calls",
    "   -i <id>            unique identifier for this request",
    "   -c <client>        client node, default local computer",
    "   -C <server>        ZARVO server, default sms.ini [Server] name",
    "   -v verbose mode",
    "   -h help",
    "   -f <function>  with function codes:",
    "      c|configure -d <iDrives>      configure sms.ini with iDrives devices",
    "      dir [-r] <directory>          list [recursive] directory",
    "      D|Dircreate -n <directory>    check and creates a directory",
    "      e|existfile -n <file>         check existence of file",
    "      f|filecopy  -m <g|p> [-s <source_dir>] [-t <target_dir>] -n <file>",
    "                  -m g[d]|p[d]          get | put [and delete after copy]",
    "      i|init  -l <label> -d <device> [-b <blocksize>] [-t <disk_path>]",
    "      k|kill -s <saveset|pattern>   kill given process",
    "      m|move -s <saveset>           copy HDR & TRL file to client, sel. restore",
    "      p|performance -d <device> -s <SMS-number> request performance info",
    "               -d <device>:<SMS-number>",
    "               -t <timer-max_cnt>[:<timer-seconds>] ( default 1 )",
    "      t|tapestatus -d <device> [-b <blocksize>] [-t <disk_path>]",
    "      u|usefile -n <file> [-m <mode>] [-s <string>] [-t <1|2|3>]",
    "               -m <mode>   c = create and write  (not appending)",
    "                           d = delete file",
    "                           e = check existence (default)",
    "                           f = find and read requested string",
    "                           m = chmod file",
    "                           r = read file",
    "                           w = write append to file",
    "               -s <string to find, read or write>  max. length is 256",
    "                  use '-' to read from stdin in case of mode c or w",
    "               -s <mode>  for -m: new file mode (e.g. 755)",
    "               -t <1|2|...>  to delete files accessed before .. days",
    "      G|GLBVread -n <name>          read GLBV",
    "      R|ReadAndDelete -n <name>     read + delete GLBV",
    "      W|Write -n <name> -s <string> write GLBV string may contain blanks",
    "      x -u <user> -s <command>   execute command for user if allowed",
    " Trace with -v or set gv_client_trace to function switch e.g. 'brfigcdekmGRWp' ",
};

bool is_media_server_function(char f) {
    return std::strchr("cimpt", f) != nullptr && f != '\0';
}

std::string pad(std::string s, size_t width) {
    if (s.size() < width) s.append(width - s.size(), ' ');
    return s;
}

// Ends the run when a "[Pathes]" key is missing.
void read_path(const char* key, std::string& out, const char* missing_msg, bool required = true) {
    std::string msg;
    if (!i_READ_INI("SM_INI", "[Pathes]", key, out, kWidthDir, msg, 256) && required) FINISH(1, missing_msg);
}

}  // namespace

void mygetopt_reset() {
    pIndexPosition = nullptr;
    getopt_state::opterr = 1;
    cm_optind = 1;
}

int mygetopt(int argc, char* const* argv, const char* opstring, std::string& cpReturn) {
    char letter = '\0';
    if (pIndexPosition) {
        ++pIndexPosition;
        if (*pIndexPosition)
            letter = *pIndexPosition;
        else
            pIndexPosition = nullptr;
    }
    if (!pIndexPosition) {
        if (cm_optind >= argc) {
            pIndexPosition = nullptr;
            return -1;
        }
        const char* word = argv[cm_optind++];
        if (word[0] != '-') {
            --cm_optind;
            cpReturn.clear();
            return -1;
        }
        if (!std::strcmp(word, "-") || !std::strcmp(word, "--")) {
            cpReturn = sformat("+%d", cm_optind);
            return -1;
        }
        pIndexPosition = word + 1;
        letter = *pIndexPosition;
    }
    if (letter == ':') {
        pIndexPosition = nullptr;
        cpReturn.clear();
        return getopt_state::opterr ? '?' : ':';
    }
    const char* entry = std::strchr(opstring, letter);
    if (!entry) {
        cpReturn.clear();
        pIndexPosition = nullptr;
        return getopt_state::opterr ? '?' : letter;
    }
    if (entry[1] != ':') {
        cpReturn.clear();
        return letter;
    }
    if (pIndexPosition[1]) {
        cpReturn = pIndexPosition + 1;
    } else if (cm_optind < argc) {
        cpReturn = argv[cm_optind++];
    } else {
        cpReturn.clear();
        pIndexPosition = nullptr;
        return '?';
    }
    pIndexPosition = nullptr;
    return letter;
}

std::string usage_text() {
    std::string out;
    for (const char* line : kUsageLines) out += pad(line, kUsageWidth) + "\n";
    // The blank line and the device line stand before the last line.
    size_t last = out.rfind(" Trace with");
    out.insert(last, pad("", kUsageWidth) + "\n" + pad(kDeviceLine, kDeviceLineWidth) + "\n");
    return out;
}

void USAGE() {
    std::printf("%s\n%s", kVersionLine, usage_text().c_str());
    std::fflush(stdout);
    std::exit(1);
}

void get_my_hostname(std::string& cpName) {
    std::string msg;
    if (!i_READ_INI("SM_INI", "[SERVER]", "name", cpName, kWidthHost, msg, 256)) cpName = "??2";
}

void GET_USER_NAME(std::string& cpName) {
    cpName.clear();
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string buf(size > 0 ? static_cast<size_t>(size) : 16384, '\0');
    struct passwd pw {};
    struct passwd* res = nullptr;
    if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &res) == 0 && res) cpName = res->pw_name;
}

void ARGUMENTS(int argc, char** argv) {
    v_set_log_main(sformat("sm_client_%s.lgc", gszId.c_str()), "SM_CLIENT", strLog);
    if (argc <= 0) trap_par_err("SM_CLIENT", 1);

    get_my_hostname(gszMyName);
    if (!gszMyName.empty() && gszMyName[0] == '?')
        FINISH(1, "Failure getting my host name - missing [Server].name in ZARVO ini-file");

    bool verbose = false;
    int counter = 1;
    std::string value, user;
    for (int c; (c = mygetopt(argc, argv, kOptString, value)) != -1;) {
        counter += 2;
        switch (c) {
            case 'b': assign_cut(gszOpt_b, value, kWidthOptB); break;
            case 'C': assign_cut(gszCtrlHost, value, kWidthHost); break;
            case 'c': assign_cut(gszClientHost, value, kWidthHost); break;
            case 'd': assign_cut(gszOpt_d, value, kWidthOptD); break;
            case 'f': gcFunc = value.empty() ? '\0' : value[0]; break;
            case 'i': assign_cut(gszId, value, kWidthId); break;
            case 'l': assign_cut(gszOpt_l, value, kWidthOptL); break;
            case 'm': assign_cut(gszOpt_m, value, kWidthOptM); break;
            case 'n': assign_cut(gszOpt_n, value, kWidthOptN); break;
            case 's': assign_cut(gszOpt_s, value, kWidthOptS); break;
            case 't': assign_cut(gszOpt_t, value, kWidthOptT); break;
            case 'u': assign_cut(gszOpt_u, value, kWidthOptU); break;
            case 'w': break;  // accepted for compatibility, ignored
            case 'r':
                gFlag.Remote = true;
                --counter;
                break;
            case 'v':
                --counter;
                strLog.iFlg = 2;
                strLog.iVerify = 1;
                verbose = true;
                GET_USER_NAME(user);
                WRITE_TRACE(strLog, "\n %s   User= %s ", kVersionLine, user.c_str());
                break;
            case 'h': gFlag.Help = true; USAGE();
            default: FINISH(1, sformat("wrong option %c in command line", c));
        }
    }

    if (counter < argc) {
        SM_TRACE(strLog, 0, "optind %d < argc %d", counter, argc);
        std::string end;
        for (int i = counter; i < argc; ++i) {
            if (i > counter) end += ' ';
            end += argv[i];
            if (end.size() >= kWidthOptEnd) break;
        }
        assign_cut(gszOpt_end, end, kWidthOptEnd);
        SM_TRACE(strLog, 0, "arguments end with: %s", gszOpt_end.c_str());
    }

    const bool media = is_media_server_function(gcFunc);

    if (gszId.empty()) {
        std::string stamp = time_get(std::string_view{});
        gszId.clear();
        for (char ch : stamp.substr(0, 19))
            if (ch >= '0' && ch <= '9') gszId.push_back(ch);
        gszMissingArg = sformat("-i %s ", gszId.c_str());
    }

    std::string checked;
    read_path("gv_ro", checked, "missing gv_ro in INI");
    read_path("gv_ro_bin", gszRo, "missing gv_ro_bin in INI");
    read_path("gv_ro_sms", gszRoSms, "missing gv_ro_sms in INI", media);
    read_path("gv_rw", gszRw, "missing gv_rw in INI");
    read_path("gv_rw_ini", gszRwIni, "missing gv_rw_ini in INI");
    read_path("gv_rw_zbc_log", gszRwZbc, "missing gv_rw_zbc in INI");
    read_path("gv_rw_tmp", gszRwTmp, "missing gv_rw_tmp in INI");
    read_path("gv_rw_work", gszRwWork, "missing gv_rw_work in INI");

    if (!verbose) {
        std::string name = "gv_client_trace", sw;
        glbv('r', name, sw);
        bool on = !sw.empty() && sw[0] != '?' && gcFunc != '\0' && sw.find(gcFunc) != std::string::npos;
        strLog.iFlg = on ? 1 : 0;
        strLog.iVerify = 1;
        if (strLog.iFlg > 0) {
            GET_USER_NAME(user);
            WRITE_TRACE(strLog, "\n %s   User= %s ", kVersionLine, user.c_str());
        }
    }

    std::string msg;
    if (i_READ_INI("STPD_INI", "[STPD_Server]", "STPD_PORT", gszPort, kWidthPort, msg, 256)) {
        SM_TRACE(strLog, 0, "Got STPD_PORT %s from stpd.ini section [STPD_Server]", gszPort.c_str());
    } else if (media) {
        SM_TRACE(strLog, 0, "WARNING: Couldn't get STPD_PORT from stpd.ini section [STPD_Server]: %s ",
                 msg.c_str());
        gszPort = "11001";
        SM_TRACE(strLog, 0, "WARNING: Using default STPD_PORT value %s ", gszPort.c_str());
    } else {
        gszPort.clear();
    }

    SM_TRACE(strLog, 0, "%s  %s  %s  %s", gszRo.c_str(), gszRwIni.c_str(), gszRwTmp.c_str(),
             strLog.szFile.c_str());

    if (gszCtrlHost.empty()) {
        if (!i_READ_INI("SM_INI", "[Server]", "name", gszCtrlHost, kWidthHost, msg, 256))
            FINISH(1, "neither ZARVO server was given in -C nor configured in INI");
        gszMissingArg = cut(gszMissingArg + "-C " + gszCtrlHost + " ", kWidthMissingArg - 1);
    }
    if (gszCtrlHost == "LOCAL") gszCtrlHost = gszMyName;

    if (gcFunc == '?') FINISH(1, "no valid function was given in -f");

    if (gszClientHost.empty() || gszClientHost == "LOCAL") gszClientHost = gszMyName;

    SM_TRACE(strLog, 0, "ID=%s Function=%c   RemoteFlag=%d  ClientHost=%s   CtrlHost=%s", gszId.c_str(),
             gcFunc, gFlag.Remote ? 1 : 0, gszClientHost.c_str(), gszCtrlHost.c_str());
    SM_TRACE(strLog, 0, "Options: m=%s s=%s l=%s d=%s b=%s t=%s ", gszOpt_m.c_str(), gszOpt_s.c_str(),
             gszOpt_l.c_str(), gszOpt_d.c_str(), gszOpt_b.c_str(), gszOpt_t.c_str());
}
