// Commands run in the name of an operating-system user: only the system's
// own programs (the bin directory) or what the node's allow list grants.
#pragma once

#include <string>

#include "log/trace.hpp"

constexpr size_t kUserCmdMax = 255;  // program path, composed command and message
constexpr size_t kAllowLineMax = 255;
constexpr const char* kCmdUsersAllow = "/etc/zarvo_cmdusers.allow";

// What lets a command run.
enum class CommandGrant {
    none,     // refused
    program,  // this program with arguments only: a bin-directory program or a listed path
    any,      // "<user> *": whatever the user's shell makes of it
};

// Puts the bin directory "gv_ro_bin" in front of a command whose program
// (first blank-delimited word) has no leading '/', and replaces the program
// by its lexically normalised path. 1 with cpProgram set; 0 with cpMsg when
// the bin directory cannot be read, no program is named or the command
// is longer than 255.
int i_COMPOSE_COMMAND(std::string& cpCmd, std::string& cpProgram, std::string& cpBinDir, std::string& cpMsg);

// True when cpCmd, beyond its program and arguments, holds nothing that
// makes the shell run or redirect anything else (; & | ` $ < > ( ) or a
// line break).
bool only_program(const std::string& cpCmd);

// True for a name that su and the allow list can take literally: letters,
// digits, '.', '_', '-' (not first), at most 32 characters.
bool valid_user_name(const std::string& cpUser);

// Looks up cpUser and cpProgram in the allow list cpFile, which must be a
// regular file owned by root and not writable by group or others. Returns
// the first granting line's grant, or none with the refusal in cpMsg.
CommandGrant allow_list_grant(const std::string& cpFile, const std::string& cpUser,
                              const std::string& cpProgram, std::string& cpMsg, str_log strLog);

// Runs cpCmd as cpUser through "su - USER -c 'CMD'" when allowed: bin
// directory programs always, others by the allow list. cpCmd receives the
// composed command. 0 "success"; 2 with the refusal or "Program returned
// exit state %d" in cpMsg (at most 255 characters).
int i_EXECUTE_USER_COMMAND(const std::string& cpUser, std::string& cpCmd, std::string& cpMsg, str_log strLog);
