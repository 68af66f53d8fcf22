// The decisions of the remote layer, free of effects: which names and
// identifiers may enter, where answers land, how a command is wrapped and
// quoted for the shells of each access method, and what an answer file says.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

constexpr size_t kNodeNameMax = 159;    // a host name as the command line takes it
constexpr size_t kRequestIdMax = 29;    // identifiers name files: "rsh_<id>.tmp"
constexpr size_t kRemoteMsgMax = 511;   // messages handed back through the command buffer
constexpr size_t kRemoteCmdMax = 4095;  // longest command line built for any access method
constexpr size_t kAnswerMsgMax = 253;   // message taken from an answer file without status
constexpr const char* kDefaultCmdPath = "/zarvo/bin/zarvo";
constexpr const char* kNoInput = "/dev/null";  // input of calls that must not take the caller's

// Host-name characters only (letters, digits, '.', '_', '-'), 1 to 159 of
// them, not beginning with '-'.
bool valid_node_name(std::string_view node);

// The answer file of request id in work directory dir (ends with '/').
std::string answer_file_name(std::string_view work_dir, std::string_view id);

// The node argument of the dispatcher taken apart.
struct NodeArgument {
    std::string node, id;                     // id empty in the file form
    std::string out_file, err_file, in_file;  // file form only
    bool file_form = false;
};
// Splits "node|out[|err[|in]]", "node/id" or "node". Returns the reason
// when the node name or identifier is not acceptable, nullopt otherwise.
std::optional<std::string> split_node_argument(std::string_view arg, NodeArgument& out);

// One word for a POSIX shell: shell_arg (readable when harmless).
std::string quote_word(std::string_view word);
// Splits a command line of plain words, single-quoted, double-quoted and
// backslash-escaped text into its words, as a POSIX shell would (no
// expansions). false when a quote is not closed or an operator (; | & < >
// ( ) ` $) stands outside quotes.
bool split_words(std::string_view line, std::vector<std::string>& words);

// Remote user per platform: "root" (UNIX), "system" (WNT), "kovnetbck"
// (VMS, rsh only); empty for any other platform.
std::string remote_user(std::string_view platform, bool rsh);

// Access options of ssh: "NULL" and "" become "".
std::string ssh_options(std::string_view opts);
// Access options of the control daemon: kept when they begin with "-s",
// "-o" or "-p", else "". port_given: they hold their own "-p ".
std::string ctrl_options(std::string_view opts, bool& port_given);
// The port after "-p " in options; 0 when there is none.
int ctrl_option_port(std::string_view opts);

// The ssh command line; cmd is a shell command for the node and travels
// inside the single quotes intact.
std::string ssh_command_line(std::string_view user, std::string_view opts, std::string_view node,
                             std::string_view cmd);
// The command line of the external control client (timeout < 1: none).
std::string sm_ctrlc_command_line(std::string_view port_setting, std::string_view opts, int timeout,
                                  std::string_view user, std::string_view node, std::string_view cmd);
// rsh on UNIX: change to the program directory, run cmd in a second shell.
std::string rsh_unix_command(std::string_view cmd_path, std::string_view cmd);
// RSH2: the line that writes the script sm_<id>.tmp for cmd (with err_name:
// the command's error output goes to that file of the login directory, as
// the script runs elsewhere), the
// line that runs and removes it, and the line that prints and removes the
// error file. nullopt when cmd cannot be carried through the script's echo
// (not a plain word list while holding a backslash or quote).
std::optional<std::string> rsh2_script_command(std::string_view cmd_path, std::string_view cmd,
                                               std::string_view id, std::string_view err_name = {});
std::string rsh2_run_command(std::string_view id);
std::string rsh2_collect_command(std::string_view err_name);
// The Java console client's command line (its streams are added by
// local_command_line).
std::string jrsh_command_line(std::string_view ro_bin, std::string_view port, std::string_view node,
                              std::string_view cmd);
// A command for the local shell with its streams: in "" or "-" inherits
// ours, out/err "-" is ours.
std::string local_command_line(std::string_view cmd, std::string_view in, std::string_view out,
                               std::string_view err);

// What the result lines in an answer file say.
struct AnswerStatus {
    bool found = false;  // a "STATUS=" line came back
    int sts = 1;
    std::string msg;
    bool has_msg = false;  // the status line holds "MSG="
};
// The last status line decides (a remote job's own sub-agents may have
// written earlier ones). Without one: the first non-empty line from the
// second on, or the first line when there is no other, cut to 253.
AnswerStatus read_answer(std::string_view content);
