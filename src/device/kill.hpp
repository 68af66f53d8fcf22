// Ending the backup-client processes of a cancelled job: an interrupt
// first, then, after up to 120 seconds, the kill signal.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "log/trace.hpp"

constexpr int kKillRounds = 30;       // waits for the interrupted processes
constexpr int kKillRoundSeconds = 4;  // ... of this length each
constexpr int kKillSoft = -2, kKillHard = -9, kKillCountOnly = 100;
constexpr size_t kOsWidth = 25;
constexpr size_t kSyntaxWidth = 30;

// Which processes of a job: its backup clients ("zbc", not the system's
// "sm_" programs) or the system's own programs of the job (except this
// agent and "sm_break_backup").
enum class JobProcs { backup_client, system_programs };

// True when the command line (arguments joined by blanks) belongs to the
// job: keyword as a fixed string, as a whole word after "s ".
bool job_process_matches(std::string_view cmdline, std::string_view keyword, JobProcs which);

// Pids of the running processes under proc_root that match (never this
// process). false with errno when proc_root cannot be read.
bool find_job_processes(std::string_view keyword, JobProcs which, std::vector<pid_t>& pids,
                        const std::string& proc_root = "/proc");

// Sends -iKillValue (2 or 9) to each process found, or only counts them for
// 100. 1 with the number found in ipNoOfKilledProc; 0 when the process list
// cannot be read.
int i_KILL_PROCESSES(JobProcs which, const std::string& cpKeyword, int iKillValue, int& ipNoOfKilledProc,
                     str_log strLog);

// The backup server's operating system (clients row 0) into cpOs. 1 when
// the database answered, else 0.
int i_GET_MY_OS(std::string& cpOs, str_log strLog);

// The process-list command and columns stored for cpDerivat ("BLANK" = " ").
// Ends the process with status 0 (no result lines) when they cannot be read.
void v_GET_PS_POSITION(const std::string& cpDerivat, std::string& cpPsCmd, std::string& cpPosPid,
                       std::string& cpPosPPid, str_log strLog);

// Ends the job cpKeyWord: 1 ended (soft or hard way, said in cpMsg), 2 none
// found, 0 failure. Waits through wait_sec.
int i_KILL_ZBC(const std::string& cpKeyWord, std::string& cpMsg, str_log strLog);
