#include "device/kill.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "db/records.hpp"
#include "db/sql.hpp"
#include "util/posix.hpp"
#include "util/strings.hpp"
#include "util/timeutil.hpp"

namespace {

bool contains(std::string_view s, std::string_view part) {
    return s.find(part) != std::string_view::npos;
}

// "s KEY" followed by a blank or the end: "-s SAVE1" never finds SAVE10.
bool keyword_after_s(std::string_view line, std::string_view key) {
    const std::string needle = "s " + std::string(key);
    for (size_t pos = line.find(needle); pos != std::string_view::npos; pos = line.find(needle, pos + 1)) {
        const size_t end = pos + needle.size();
        if (end == line.size() || line[end] == ' ') return true;
    }
    return false;
}

// The command line of pid with its arguments joined by blanks; empty for
// kernel threads, zombies and processes gone meanwhile.
std::string command_line(const std::string& proc_root, const char* pid) {
    posix::UniqueFd fd = posix::open_fd(proc_root + "/" + pid + "/cmdline", O_RDONLY);
    std::string text;
    if (!fd || !posix::read_all(fd.get(), text)) return {};
    while (!text.empty() && text.back() == '\0') text.pop_back();
    for (char& c : text)
        if (c == '\0') c = ' ';
    return text;
}

}  // namespace

bool job_process_matches(std::string_view cmdline, std::string_view keyword, JobProcs which) {
    if (keyword.empty() || contains(cmdline, "grep") || !keyword_after_s(cmdline, keyword)) return false;
    if (which == JobProcs::backup_client) return contains(cmdline, "zbc") && !contains(cmdline, "sm_");
    return contains(cmdline, "sm_") && !contains(cmdline, "sm_client") &&
           !contains(cmdline, "sm_break_backup");
}

bool find_job_processes(std::string_view keyword, JobProcs which, std::vector<pid_t>& pids,
                        const std::string& proc_root) {
    pids.clear();
    posix::UniqueDir dir = posix::open_dir(proc_root);
    if (!dir) return false;
    const pid_t self = ::getpid();
    for (;;) {
        errno = 0;
        const struct dirent* e = ::readdir(dir.get());
        if (!e) return errno == 0;
        char* end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self) continue;
        if (job_process_matches(command_line(proc_root, e->d_name), keyword, which))
            pids.push_back(static_cast<pid_t>(pid));
    }
}

int i_KILL_PROCESSES(JobProcs which, const std::string& cpKeyword, int iKillValue, int& ipNoOfKilledProc,
                     str_log strLog) {
    std::vector<pid_t> pids;
    SM_TRACE(strLog, 0, "ps-grep command: %s processes with \"s %s\"",
             which == JobProcs::backup_client ? "zbc" : "sm_", cpKeyword.c_str());
    if (!find_job_processes(cpKeyword, which, pids)) {
        SM_TRACE(strLog, 0, "Could not open file %s for reading.", "/proc");
        return 0;
    }
    for (pid_t pid : pids) {
        if (iKillValue == kKillCountOnly) continue;
        SM_TRACE(strLog, 0, "i_KILL_PROCESSES %s", sformat("kill %d %d; ", iKillValue, pid).c_str());
        // A process that ended meanwhile (ESRCH) is what we wanted.
        (void)::kill(pid, -iKillValue);
    }
    ipNoOfKilledProc = static_cast<int>(pids.size());
    return 1;
}

int i_GET_MY_OS(std::string& cpOs, str_log strLog) {
    DB_REC_LIS rl;
    rl.szId = "GET_MY_OS";
    std::string msg;
    if (!iDB_ACCESS("select os from clients where client_id=0", msg, &rl, strLog)) return 0;
    if (rl.iRows > 0) {
        std::string ret, os;
        iDB_SEL_GET(&rl, 1, ret, &strLog, "os", &os, "d");
        cpOs = cut(os, kOsWidth - 1);
    }
    return 1;
}

void v_GET_PS_POSITION(const std::string& cpDerivat, std::string& cpPsCmd, std::string& cpPosPid,
                       std::string& cpPosPPid, str_log strLog) {
    DB_REC_LIS rl;
    rl.szId = "GET_PS_POSITION";
    std::string msg;
    if (!iDB_ACCESS("select syntax from syntaxes where os=" + sql_value(cpDerivat) +
                        " and (command='PS_CMD' or command='PS_PID' or command='PS_PPID' ) order by command",
                    msg, &rl, strLog)) {
        SM_TRACE(strLog, 0, "data-base error: %s", msg.c_str());
        std::exit(0);
    }
    if (rl.iRows != 3) {
        SM_TRACE(strLog, 0, "error syntax for %s not found: 3 != %s", cpDerivat.c_str(), msg.c_str());
        std::exit(0);
    }
    std::string* out[] = {&cpPsCmd, &cpPosPid, &cpPosPPid};
    for (int row = 1; row <= 3; ++row) {
        std::string ret, value;
        iDB_SEL_GET(&rl, row, ret, &strLog, "syntax", &value, "x");
        *out[row - 1] = value == "BLANK" ? " " : cut(value, kSyntaxWidth - 1);
    }
}

int i_KILL_ZBC(const std::string& cpKeyWord, std::string& cpMsg, str_log strLog) {
    std::string cmd = "ps -ef", pid_col = "2", ppid_col = "3", os;
    SM_TRACE(strLog, 0, "+++ KILL_ZBC %s", cpKeyWord.c_str());
    // The stored syntax is no longer needed to find the processes (they are
    // read from /proc), but a node without it still ends quietly as before.
    if (i_GET_MY_OS(os, strLog)) v_GET_PS_POSITION(os, cmd, pid_col, ppid_col, strLog);

    auto fail = [&] {
        cpMsg = "FAILURE in i_KILL_PROCESSES";
        return 0;
    };
    int found = 0;
    if (!i_KILL_PROCESSES(JobProcs::backup_client, cpKeyWord, kKillSoft, found, strLog)) return fail();
    if (found == 0) {
        cpMsg = "There are no zbc processes";
        return 2;
    }
    int left = found;
    for (int round = 0; round < kKillRounds && left > 0; ++round) {
        SM_TRACE(strLog, 0, "waiting for zbc to finish the activities loop = %d", round);
        wait_sec(kKillRoundSeconds);
        if (!i_KILL_PROCESSES(JobProcs::backup_client, cpKeyWord, kKillCountOnly, left, strLog))
            return fail();
        SM_TRACE(
            strLog, 0,
            left > 0 ? "The zbc processes are still running" : "The zbc processes are not running any more");
    }
    if (left == 0) {
        cpMsg = "the zbc processes were killed in the soft way (kill -2)";
    } else {
        int n = 0;
        if (!i_KILL_PROCESSES(JobProcs::backup_client, cpKeyWord, kKillHard, n, strLog) ||
            !i_KILL_PROCESSES(JobProcs::system_programs, cpKeyWord, kKillHard, n, strLog))
            return fail();
        cpMsg = "the zbc processes were killed in the hard way (kill -9)";
    }
    SM_TRACE(strLog, 0, "--- KILL_ZBC %s", cpMsg.c_str());
    return 1;
}
