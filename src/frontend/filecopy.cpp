#include "frontend/filecopy.hpp"

#include <unistd.h>

#include <cstdio>

#include "exec/fileutil.hpp"
#include "exec/system.hpp"
#include "frontend/globals.hpp"
#include "util/fileops.hpp"
#include "util/names.hpp"
#include "util/shell_quote.hpp"
#include "util/strings.hpp"

namespace {

JobResult result(int sts, const std::string& msg) {
    return {sts, cut(msg, kCopyMsgMax)};
}

std::string parent_dir(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// 0 copied; 1 the source cannot be read; 2 the target cannot be written.
// The directories are tested first: cp's own status cannot tell which.
int copy_template(const std::string& source, const std::string& target) {
    if (!file_exist(source)) return 1;
    if (::access(parent_dir(target).c_str(), W_OK | X_OK) != 0) return 2;
    return file_copy(source, target) == 0 ? 0 : 2;
}

}  // namespace

JobResult FILE_COPY() {
    SM_TRACE(strLog, 0, "+++ FILE_COPY  %s  %s", gszOpt_m.c_str(), gszOpt_n.c_str());
    if (gszOpt_m.empty()) return result(1, "missing mode argument in -m : may be g | p[d]");
    if (gszOpt_n.empty()) return result(1, "missing file name in -n");
    const char mode = gszOpt_m[0];
    const bool get = mode == 'g' || mode == 'G';
    if (!get && mode != 'p' && mode != 'P')
        return result(1, sformat("Wrong option %c - only 'g,p' are allowed", mode));
    const char* way = get ? "get" : "put";
    if (!is_plain_name(gszOpt_n))
        return result(
            2, sformat("FILE_COPY \"%s\" of %s not allowed: not a plain file name", way, gszOpt_n.c_str()));

    const std::string& sub = get ? gszOpt_t : gszOpt_s;
    std::string dir = gszRw + (sub.empty() ? "work" : sub);
    GIVE_ME_FILE_NAME(dir);
    if (!lexically_inside(gszRw, dir))
        return result(2, sformat("FILE_COPY \"%s\" directory %s not allowed: outside %s", way, dir.c_str(),
                                 gszRw.c_str()));
    const int sts = ::chdir(dir.c_str());
    if (sts != 0) return result(1, sformat("FILE_COPY \"%s\" cannot change dir to %s", way, dir.c_str()));
    SM_TRACE(strLog, 0, "chdir to %s Sts= %d", dir.c_str(), sts);

    const std::string name = shell_quote(gszOpt_n);
    const std::string cmd =
        cut(sformat("%s %s -S %s %s %s", shell_quote(gszRo + "zbc").c_str(), get ? "-g" : "-p",
                    shell_arg(gszCtrlHost + ":" + gszPort).c_str(), name.c_str(), name.c_str()),
            kCopyCmdMax);
    std::string remove;
    if (!get && gszOpt_m.size() > 1 && gszOpt_m[1] == 'd') remove = dir + "/" + gszOpt_n;
    GIVE_ME_FILE_NAME(remove);

    SM_TRACE(strLog, 0, "Cmd= %s", cmd.c_str());
    const int rc = i_cm_system(cmd);
    if (rc == 0 && !remove.empty() && std::remove(remove.c_str()) == 0)
        SM_TRACE(strLog, 0, "deleted %s", remove.c_str());
    SM_TRACE(strLog, 0, "--- FILE_COPY ");
    return result(rc, gszOpt_n);
}

int i_COPY_MTF_HDR_TRL(const std::string& cpSaveset, std::string& cpMsg) {
    SM_TRACE(strLog, 0, "+++ COPY_MTF_HDR_TRL");
    if (!is_plain_name(cpSaveset)) {
        cpMsg = cut(sformat("saveset %s not allowed: not a plain file name", cpSaveset.c_str()), kCopyMsgMax);
        SM_TRACE(strLog, 0, "--- COPY_MTF_HDR_TRL   %s ", cpMsg.c_str());
        return 2;
    }
    const std::pair<const char*, const char*> files[] = {{kHeaderTemplate, ".hdr"},
                                                         {kTrailerTemplate, ".trl"}};
    for (const auto& [tpl, suffix] : files) {
        std::string source = gszRwIni + tpl, target = gszRwWork + "smslis/" + cpSaveset + suffix;
        GIVE_ME_FILE_NAME(source);
        GIVE_ME_FILE_NAME(target);
        const int rc = copy_template(source, target);
        if (rc != 0) {
            cpMsg = cut(rc == 1 ? sformat("could not open file %s to read", source.c_str())
                                : sformat("could not open file %s to write", target.c_str()),
                        kCopyMsgMax);
            SM_TRACE(strLog, 0, "--- COPY_MTF_HDR_TRL   %s ", cpMsg.c_str());
            return 1;
        }
    }
    cpMsg = "copy ok";
    SM_TRACE(strLog, 0, "--- COPY_MTF_HDR_TRL  copy ok");
    return 0;
}

JobResult copy_header_trailer() {
    JobResult r;
    r.sts = i_COPY_MTF_HDR_TRL(gszOpt_s, r.msg);
    return r;
}
