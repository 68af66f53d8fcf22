#include "log/prot.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ini/store_file.hpp"
#include "util/posix.hpp"
#include "util/strings.hpp"
#include "util/timeutil.hpp"

std::string tmp_sc;

const LangText kMsgE003{
    "E003-BASICS  %s > %s not yet existing - please restart ZARVO.",
    "E003-BASICS  %s > %s existiert noch nicht - Neustart",
    "E003-BASICS  %s > %s gibds no nedd - Neistart",
};

const LangText kMsgE008{
    "E008-BASICS  Error in command execution %s: %s",
    "E008-BASICS  Fehler bei Kommandoausf\xfchrung %s: %s",
    "E008-BASICS  Fehla bei da Kommandoausf\xfchrung %s: %s",
};

namespace {

const LangText kMsgE001{
    "E001-BASICS  STR_CHAIN string overflow",
    "E001-BASICS  STR_CHAIN String\xfc"
    "berlauf",
    "E001-BASICS  STR_CHAIN String\xfc"
    "balauf",
};

const LangText kMsgE018{
    "E018-DATABAS %s with unexpected result: %s.",
    "E018-DATABAS %s erzeugte unerwartetes Ergebnis: %s.",
    "E018-DATABAS %s mitm F\xe4lla: %s.",
};

const LangText kMsgE015{
    "E015-BASICS  Missing parameters - more information with",
    "E015-BASICS  Fehlende Parameter - mehr Information mit",
    "E015-BASICS  Parameter feijn - mehra Informationa gibds mid",
    "E015-BASICS  Il manque un param\xe8tre - plus d\xb4information avec",
};

const char* const kVersionText = "sm_client V1.0";

std::string escape_percent(std::string_view s) {
    std::string out;
    for (char c : s) {
        out.push_back(c);
        if (c == '%') out.push_back('%');
    }
    return out;
}

// Cuts a printf format to at most max characters without leaving a
// conversion half there.
void cut_format(std::string& fmt, size_t max) {
    if (fmt.size() <= max) return;
    fmt.resize(max);
    size_t i = 0, safe = 0;
    while (i < fmt.size()) {
        if (fmt[i] != '%') {
            safe = ++i;
            continue;
        }
        size_t j = i + 1;
        if (j < fmt.size() && fmt[j] == '%') {
            i = j + 1;
            safe = i;
            continue;
        }
        while (j < fmt.size() && std::strchr("#0- +'123456789.hlLqjzt*", fmt[j])) ++j;
        if (j >= fmt.size()) break;  // conversion cut off: drop it
        i = j + 1;
        safe = i;
    }
    fmt.resize(safe);
}

bool g_in_prot = false;  // a report made while writing an entry must not recurse

// Reads a variable of the store the way the store does, but says nothing
// when it fails: the store's own failure reports go into this very protocol.
bool read_store_quietly(const char* name, std::string& value) {
    std::string dir;
    if (!store_dir(dir)) return false;
    // Opened for writing too, like every store read.
    posix::UniqueFd fd = posix::open_fd(dir + name + ".sgv", O_RDWR | O_NOFOLLOW | O_NOCTTY);
    std::string raw;
    if (!fd || !store_read(fd.get(), raw) || raw.empty()) return false;
    value = store_value(raw);
    return !value.empty() && value[0] != '?';
}

}  // namespace

static void vPROT(const char* cpFormat, va_list ap) {
    if (g_in_prot || !cpFormat) return;
    g_in_prot = true;
    struct Guard {
        ~Guard() { g_in_prot = false; }
    } guard;

    std::string path;
    if (!read_store_quietly("gv_prot", path)) {
        std::fputs("\nNo gv_prot defined! sm_start_all necessary!\n", stderr);
        return;
    }
    // The entry is built first and written with one append, so that its
    // lines stay together among other processes' entries.
    std::string text;
    const std::string when = time_get(std::string_view{}).substr(0, 19);
    const int pid = static_cast<int>(::getpid());
    const size_t flen = std::strlen(cpFormat);
    const std::string tag(cpFormat, std::min(flen, kProtTagLen));

    if (const char* pc = std::strchr(tag.c_str(), '%')) {
        std::string arg(pc, std::min<size_t>(2, std::strlen(pc)));
        std::fprintf(stderr, "PROT: WARNING: invalid usage of PROT: prefix with format argument '%s': >%s<\n",
                     arg.c_str(), tag.c_str());
        text +=
            sformat("%s W999-BASICS [%6d]: Invalid usage of PROT: prefix with format argument '%s': >%s<\n",
                    when.c_str(), pid, arg.c_str(), tag.c_str());
    } else if (flen < kProtTagLen + 1) {
        std::fprintf(stderr, "PROT: WARNING: format tag is too short: >%s< (%d < 13)\n", cpFormat,
                     static_cast<int>(flen));
        text +=
            sformat("%s W999-BASICS [%6d]: Invalid usage of PROT: format tag is too short: >%s< (%d < 13)\n",
                    when.c_str(), pid, cpFormat, static_cast<int>(flen));
    }

    auto report_cut = [&](size_t limit, size_t needed) {
        std::string e =
            sformat("%s %s[%6d]: Error: The following output was shortened (%d <> %d)\n", when.c_str(),
                    "E999-BASICS ", pid, static_cast<int>(limit), static_cast<int>(needed));
        std::fputs(e.c_str(), stderr);
        text += e;
    };

    // The tag is literal text; only the message part carries conversions.
    std::string line_fmt = escape_percent(sformat("%s %s[%6d]: ", when.c_str(), tag.c_str(), pid));
    line_fmt += flen > kProtTagLen + 1 ? cpFormat + kProtTagLen + 1 : "";
    if (line_fmt.size() >= kProtLineFormatMax) {
        report_cut(kProtLineFormatMax, line_fmt.size() + 1);
        cut_format(line_fmt, kProtLineFormatMax - 1);
    }

    std::string entry = vsformat(line_fmt.c_str(), ap);
    if (entry.size() >= kProtEntryMax) {
        report_cut(kProtEntryMax, entry.size() + 1);
        entry.resize(kProtEntryMax - 1);
    }

    const char* piece = cm_strtok(entry.c_str(), '\n');
    bool first = true;
    while (piece) {
        std::string out =
            first ? std::string(piece) : sformat("%s %s[%6d]: %s", when.c_str(), tag.c_str(), pid, piece);
        out.push_back('\n');
        text += out;
        first = false;
        piece = cm_strtok(nullptr, '\n');
    }

    // The path is the administrator's choice: a symbolic link is followed.
    posix::UniqueFd fd = posix::open_fd(path, O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY, 0644);
    if (!fd || !posix::write_all(fd.get(), text)) {
        const int err = errno;
        std::fprintf(stderr, "PROT: cannot write to %s: %s; entry lost:\n%s", path.c_str(),
                     posix::errtext(err).c_str(), text.c_str());
    }
}

void PROT(const char* cpFormat, ...) {
    va_list ap;
    va_start(ap, cpFormat);
    vPROT(cpFormat, ap);
    va_end(ap);
}

// A plain entry: its '%' are literal text, not conversions.
static void prot_unchecked(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vPROT(fmt, ap);
    va_end(ap);
}

void PROT_text(std::string_view text) {
    prot_unchecked(escape_percent(text).c_str());
}

std::string& str_chain(std::string& cpInstr, int clr_str, std::initializer_list<std::string_view> parts) {
    if (clr_str) cpInstr.clear();
    for (std::string_view part : parts) {
        if (part.size() + cpInstr.size() >= kStrChainMax) {
            std::string p(part);
            PROT_text(pick(kMsgE001));
            std::fprintf(
                stderr, "FATAL: STR_CHAIN: string overflow strlen(filled_string) + strlen(new_string) > %d\n",
                static_cast<int>(kStrChainMax));
            std::fprintf(stderr, "  filled_string: %s\n", cpInstr.c_str());
            std::fprintf(stderr, "  new_string: %s\n", p.c_str());
            continue;
        }
        cpInstr.append(part);
    }
    return cpInstr;
}

void trap_db_err(const std::string& szModul, const std::string& szMsg, str_log log, int iExitFlg) {
    if (log.iFlg > 0)
        WRITE_TRACE(log, "+++ KRL TRAP_DB_ERR in %s  %s  %s", kVersionText, szModul.c_str(), szMsg.c_str());
    PROT(pick(kMsgE018), szModul.c_str(), szMsg.c_str());
    if (iExitFlg) {
        if (log.iFlg > 0) WRITE_TRACE(log, "--- KRL TRAP_DB_ERR exits with 1");
        std::printf("STATUS=ERROR MSG=\"%s: %s\"\n", szModul.c_str(), szMsg.c_str());
        std::fflush(stdout);
        std::exit(1);
    }
    if (log.iFlg > 0) WRITE_TRACE(log, "--- KRL TRAP_DB_ERR returns to caller");
}

void trap_par_err(const std::string& szModul, int i_exit_flg) {
    std::string prog = cut(szModul, 255);
    lowercase(prog);
    const char* text = pick(kMsgE015);
    std::string entry = sformat("%s: sm_%s -h", text, prog.c_str());
    PROT_text(entry);
    if (i_exit_flg) {
        std::printf("STATUS=ERROR MSG=\"%s: sm_%s -h\"\n", text, prog.c_str());
        std::fflush(stdout);
        std::exit(0);
    }
}
