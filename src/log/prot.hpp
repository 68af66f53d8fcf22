// The system-wide protocol log, the bounded string builder and the traps.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "log/trace.hpp"

constexpr size_t kProtTagLen = 12;
constexpr size_t kProtLineFormatMax = 2560;
constexpr size_t kProtEntryMax = 5120;
constexpr size_t kStrChainMax = 512;

// Appends an entry to the protocol file named by the GLBV "gv_prot". The
// first 12 characters of cpFormat are the message tag, the text starts at
// the 14th. A multi-line entry becomes one protocol line per line.
void PROT(const char* cpFormat, ...) __attribute__((format(printf, 1, 2)));

// PROT for a finished text (tag included) whose '%' are literal.
void PROT_text(std::string_view text);

// Scratch buffer for str_chain callers; valid until its next use.
extern std::string tmp_sc;

// Appends the parts to cpInstr (emptied first when clr_str is non-zero). A
// part that would make the text 512 characters or longer is left out and
// reported (E001 and stderr). Returns cpInstr.
std::string& str_chain(std::string& cpInstr, int clr_str, std::initializer_list<std::string_view> parts);

// Reports an unexpected database result (E018); with iExitFlg prints a
// status line on stdout and exits with 1.
void trap_db_err(const std::string& szModul, const std::string& szMsg, str_log log, int iExitFlg);

// Reports missing parameters (E015); with i_exit_flg prints a status line on
// stdout and exits with 0.
void trap_par_err(const std::string& szModul, int i_exit_flg);

// Shared message texts used by several modules.
extern const LangText kMsgE003;  // "%s > %s not yet existing"
extern const LangText kMsgE008;  // "Error in command execution %s: %s"
