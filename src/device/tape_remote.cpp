#include "device/tape_remote.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "config/glbv.hpp"
#include "db/records.hpp"
#include "db/sql.hpp"
#include "device/timed_run.hpp"
#include "exec/fileutil.hpp"
#include "ini/ini.hpp"
#include "log/lang.hpp"
#include "remote/remote_cmd.hpp"
#include "remote/remote_words.hpp"
#include "util/posix.hpp"
#include "util/strings.hpp"

namespace {

constexpr size_t kMsgMax = 255;
constexpr size_t kLineMax = 254;
constexpr size_t kAnswerReadMax = 1 << 20;  // result lines are short; more is not read

const LangText kMsgOpenInput{"Error opening input file %s .\n",
                             "Fehler beim \xd6"
                             "ffnen der Eingabedatei %s .\n",
                             "Fehla beim \xd6"
                             "ffnen vo da Eingabedatei %s .\n",
                             "Erreur pendant ouvrir le fichier introduire %s .\n"};

std::string strip_cr(std::string s) {
    if (!s.empty() && s.back() == '\r') s.pop_back();
    return s;
}

}  // namespace

std::string tape_status_command(const std::string& node, const std::string& myhost, const std::string& device,
                                const std::string& typ, const std::string& path) {
    std::string type = "-t TAPE_DRIVE";
    if (typ == "DISK_CHNG")
        type = "-t " + quote_word(path);
    else if (typ == "DISK_HARD")
        type = "-t DISK_HARD";
    return "sm_client -r -c " + quote_word(node) + " -C " + quote_word(myhost) + " -f tapestatus -d " +
           quote_word(device) + " " + type;
}

int i_GET_DEVICE_NODE(int iDn, std::string& cpNode, str_log strLog) {
    DB_REC_LIS rl;
    rl.szId = "GET_DEV_NODE";
    cpNode.clear();
    SM_TRACE(strLog, 1, "+++ i_GET_DEVICE_NODE  dn= %d ", iDn);
    const std::string sql = sformat(
        "select clients.name from clients where client_id=(select client_id from hw_drives where "
        "drive_num=%d)",
        iDn);
    std::string rows;
    if (!iDB_ACCESS(sql, rows, &rl, strLog)) {
        SM_TRACE(strLog, 1, "--- i_GET_DEVICE_NODE  returns 0  database error: %s ", rows.c_str());
        return 0;
    }
    if (rows == "1") {
        std::string ret;
        iDB_SEL_GET(&rl, 1, ret, &strLog, "name", &cpNode, "d");
        SM_TRACE(strLog, 1, "--- i_GET_DEVICE_NODE  returns 1  %s ", cpNode.c_str());
        return 1;
    }
    SM_TRACE(strLog, 1, "--- i_GET_DEVICE_NODE  returns 0  found %s  rows", rows.c_str());
    DB_SEL_LOOP_RECORDS(&rl, 'd');
    return 0;
}

int i_READ_RSHFILE(const std::string& cpFile, std::string& cpStatus, std::string& cpMsg, str_log strLog) {
    SM_TRACE(strLog, 0, "+++ READ_RSHFILE   %s ", cpFile.c_str());
    cpMsg = "No tag [MSG=] found in " + cpFile;
    cpStatus = "No tag [STATUS=] found in " + cpFile;
    posix::UniqueFd fd = posix::open_fd(cpFile, O_RDONLY | O_NOFOLLOW);
    if (!fd) {
        const std::string text = sformat(pick(kMsgOpenInput), cpFile.c_str());
        SM_TRACE(strLog, 0, "--- READ_RSHFILE  %s ", text.c_str());
        return 0;
    }
    std::string content;
    char buf[8192];
    for (ssize_t n; content.size() < kAnswerReadMax && (n = posix::read_some(fd.get(), buf, sizeof buf)) > 0;)
        content.append(buf, static_cast<size_t>(n));
    if (fd.close_checked() != 0) i_FILE_CLOSE(errno);
    for (size_t pos = 0; pos < content.size();) {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos) end = content.size();
        const std::string line = cut(content.substr(pos, end - pos), kLineMax);
        pos = end + 1;
        if (line.compare(0, 7, "STATUS=") == 0) cpStatus = strip_cr(line.substr(7, line.find(' ') - 7));
        if (size_t m = line.find("MSG="); m != std::string::npos) {
            cpMsg = strip_cr(line.substr(m + 4));
            break;
        }
    }
    SM_TRACE(strLog, 0, "--- READ_RSHFILE   %s  %s  %s ", cpFile.c_str(), cpStatus.c_str(), cpMsg.c_str());
    return cpStatus.compare(0, 6, "No tag") == 0 && cpMsg.compare(0, 6, "No tag") == 0 ? 0 : 1;
}

int i_TAPE_STATUS_REMOTE(const std::string& cpTapeName, const std::string& cpDn, std::string& cpMsg,
                         const std::string& cpCaller, str_log strLog) {
    SM_TRACE(strLog, 0, "+++ i_TAPE_STATUS_REMOTE  %s  %s", cpTapeName.c_str(), cpCaller.c_str());
    cpMsg.clear();
    char* end = nullptr;
    errno = 0;
    const long dn = std::strtol(cpDn.c_str(), &end, 10);
    std::string node;
    // Without a node there is nobody to ask.
    if (cpDn.empty() || *end != '\0' || errno != 0 || dn < 0 || dn > 999 ||
        !i_GET_DEVICE_NODE(static_cast<int>(dn), node, strLog) || !valid_node_name(node)) {
        cpMsg = "no node found for drive " + cpDn;
        SM_TRACE(strLog, 0, "--- i_TAPE_STATUS_REMOTE %s ", cpMsg.c_str());
        return 0;
    }
    const std::string id = sformat("TAPE_STATUS_%ld_%d", dn, static_cast<int>(::getpid()));
    std::string work;
    glbv_get("gv_rw_work", work);
    const std::string answer = answer_file_name(work, id);

    std::string typ, path;
    {
        DB_REC_LIS rl;
        rl.szId = "TAPE_STATUS_REMOTE";
        std::string rows;
        if (iDB_ACCESS(sformat("select typ,path from hw_drives where drive_num=%ld", dn), rows, &rl,
                       strLog) &&
            rows != "0") {
            std::string ret;
            iDB_SEL_GET(&rl, 1, ret, &strLog, "typ", &typ, "path", &path, "d");
            typ = cut(typ, kTapeTypeMax);
        }
    }
    std::string myhost, iniMsg;
    if (!i_READ_INI("SM_INI", "[SERVER]", "name", myhost, kNodeNameMax + 1, iniMsg, 256)) myhost = "??2";

    std::string cmd = tape_status_command(node, myhost, cpTapeName, typ, path);
    const int seconds = deadline_seconds("tapestatus", kTapeStatusRemoteDeadlineSec);
    if (REMOTE_CMD(node + "/" + id, cmd, seconds, strLog) == 0) {
        cpMsg = cut("RemoteCmd didn't return success: " + cmd, kMsgMax);
        SM_TRACE(strLog, 0, "i_TAPE_STATUS_REMOTE: %s ", cpMsg.c_str());
    }
    std::string status, msg;
    i_READ_RSHFILE(answer, status, msg, strLog);
    i_FILE_DELETE(answer, strLog);
    // A failed call leaves no answer: its reason says more than "No tag".
    if (cpMsg.empty() || status.compare(0, 6, "No tag") != 0) cpMsg = cut(msg, kMsgMax);
    SM_TRACE(strLog, 0, "--- i_TAPE_STATUS_REMOTE Status= %s  cpMsg= %s ", status.c_str(), cpMsg.c_str());
    return status == "SUCCESS" ? 1 : 0;
}
