#include "device/info_board.hpp"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "config/glbv.hpp"
#include "config/sema.hpp"
#include "log/trace.hpp"
#include "util/posix.hpp"
#include "util/strings.hpp"
#include "util/timeutil.hpp"

namespace {

constexpr size_t kSplitSearchLow = 114;

char mark_of(char kind) {
    return std::toupper(static_cast<unsigned char>(kind)) == 'S' ? '.' : ':';
}

std::string line_of(char mark, int dn, const char* sep, const std::string& text) {
    return sformat("%c%3d%s%s\n", mark, dn, sep, text.c_str());
}

}  // namespace

std::string board_entry_text(const std::string& hhmmss, const std::string& info) {
    std::string text = hhmmss + "# " + info;
    for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
    return cut(text, kBoardTextMax);
}

std::string board_split(std::string& text) {
    if (text.size() < kBoardSplitAt) return "";
    size_t at = kBoardSplitAt - 1;
    for (size_t i = kBoardSplitAt - 1; i >= kSplitSearchLow; --i)
        if (text[i] == ' ') {
            at = i;
            break;
        }
    std::string rest = cut(std::string_view(text).substr(at), kBoardContMax);
    text.resize(at);
    return rest;
}

std::string board_merge(const std::string& old, char kind, int dn, const std::string& text,
                        const std::string& continuation) {
    const char mark = mark_of(kind);
    std::string entry = line_of(mark, dn, "> ", text);
    if (!continuation.empty()) entry += line_of(mark, dn, "->   ", continuation);

    std::string out;
    bool written = false;
    auto write_entry = [&] {
        if (!written) out += entry;
        written = true;
    };
    std::istringstream in(old);
    for (std::string line; std::getline(in, line);) {
        const std::string field = line.size() > 1 ? line.substr(1, 3) : "";
        const int num = std::atoi(field.c_str());
        if (num != dn) {
            if (num > dn) write_entry();
            if (num == 0 && field != "  0") continue;  // not a board line
        } else if (line[0] == mark) {
            // The drive's old entry of this kind (and its continuation) goes.
            if (line.size() > 4 && line[4] == '>') write_entry();
            continue;
        } else if (mark == '.') {
            write_entry();  // S before the drive's M entry
        }
        out += line + "\n";
    }
    write_entry();
    return out;
}

int info(char cSorM, int iDn, const std::string& cpInfo) {
    str_log log;
    v_set_log_main("sm_info.lgc", "SM_INFO", log);
    SM_TRACE(log, 0, "SM_INFO: '%c' '%d' \"%s\"", cSorM, iDn, cpInfo.c_str());

    std::string dir;
    if (!glbv_get("gv_rw_info", dir)) {
        std::fprintf(stderr, "ERROR: GLBV gv_rw_info undefined\n");
        SM_TRACE(log, 0, "ERROR: GLBV gv_rw_info undefined");
        return 0;
    }
    if (iDn < 0 || iDn > kBoardDriveMax) {
        std::fprintf(stderr, "ERROR: drive number %d does not fit on the drive board\n", iDn);
        SM_TRACE(log, 0, "ERROR: drive number %d does not fit on the drive board", iDn);
        return 0;
    }
    // Characters 12 to 19 of the long stamp: the time of day.
    std::string text = board_entry_text(time_get(std::string_view{}).substr(11, 8), cpInfo);
    const std::string continuation = board_split(text);
    if (!continuation.empty())
        SM_TRACE(log, 0, "line too long, break at index %d", static_cast<int>(text.size()));

    const std::string board = dir + "info.dat";
    SCT_SEMA sema{"ctrl_info", "info", "", 0};
    i_SEMA('+', &sema, log);
    std::string old, err;
    bool ok = true;
    posix::UniqueFd fd = posix::open_fd(board, O_RDONLY | O_NOFOLLOW);
    if (fd ? !posix::read_all(fd.get(), old) : errno != ENOENT) {
        ok = false;  // never write a board we could not read whole
        err = posix::errtext(errno);
    }
    if (ok) {
        posix::ReplaceOptions opt;
        opt.new_mode = 0644;
        ok = posix::replace_file(board, board_merge(old, cSorM, iDn, text, continuation), opt, err);
    }
    i_SEMA('-', &sema, log);
    if (!ok) {
        std::fprintf(stderr, "ERROR: cannot update %s: %s\n", board.c_str(), err.c_str());
        SM_TRACE(log, 0, "ERROR: cannot update %s: %s", board.c_str(), err.c_str());
        return 0;
    }
    return 1;
}
