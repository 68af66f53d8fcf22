// sm_ctrlc: runs one command on a node through its control daemon.
//
//   sm_ctrlc [-p port] [-s] [-o range] [-t timeout] -l user node command...
//
// Standard input goes to the command, its output and error come back on
// standard output and error, and the exit status is the command's exit code
// (above 128 when it could not start; 253 when the daemon was not reached).
// A command given as one argument is split like a command line; several
// arguments are taken as the words themselves (none may hold a double quote).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ini/ini.hpp"
#include "log/trace.hpp"
#include "remote/ctrl_conn.hpp"
#include "remote/ctrl_wire.hpp"
#include "remote/ctrlc_session.hpp"

namespace {

constexpr int kDefaultPort = 11301;
constexpr int kUsageExit = 2;

[[noreturn]] void usage() {
    std::fputs("usage: sm_ctrlc [-p port] [-s] [-o range] [-t timeout] -l user node command...\n", stderr);
    std::exit(kUsageExit);
}

bool number(const char* s, int lo, int hi, int& out) {
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (!end || *end || end == s || v < lo || v > hi) return false;
    out = static_cast<int>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int port = -1, timeout = 0;
    bool single = false;
    std::string range, user;
    int opt;
    while ((opt = ::getopt(argc, argv, "+p:so:t:l:h")) != -1) {
        switch (opt) {
            case 'p':
                if (!number(optarg, 1, 65535, port)) usage();
                break;
            case 's': single = true; break;
            case 'o': range = optarg; break;
            case 't':
                if (!number(optarg, 0, 86400 * 365, timeout)) usage();
                break;
            case 'l': user = optarg; break;
            default: usage();
        }
    }
    if (user.empty() || argc - optind < 2) usage();
    std::string node = argv[optind++];
    std::vector<std::string> words(argv + optind, argv + argc);
    // The daemon splits the command at double quotes: such a word would
    // arrive as several.
    if (words.size() > 1)
        for (const std::string& w : words)
            if (w.find(kWireWordSep) != std::string::npos) {
                std::fprintf(stderr, "sm_ctrlc: a command word must not contain '%c': %s\n", kWireWordSep,
                             w.c_str());
                usage();
            }

    // Within an installation: its port and its trace switch.
    std::string root, msg;
    bool installed = i_GET_ROOT_FOR_INI("SM_INI", root, 1024, msg, 256) == 1;
    if (installed) {
        str_log& log = ctrlc_main_log();
        v_set_log_main("sm_ctrlc.lgc", "SM_CTRLC_LIB", log);
        g_iLogLevel = log.iFlg;
        std::string v;
        if (port < 0 && i_READ_INI("SM_INI", "[CTRLD_Server]", "CTRLD_Port", v, 1024, msg, 256) == 1)
            number(v.c_str(), 1, 65535, port);
    }
    if (port < 0) port = kDefaultPort;

    std::string setting = std::to_string(port);
    if (single)
        setting += ":-s";
    else if (!range.empty())
        setting += ":-o " + range;
    std::string wire = words.size() == 1 ? ctrlc_wire_command(words[0]) : ctrlc_join_words(words);

    SM_TRACE(ctrlc_main_log(), 0, "+++ SM_CTRLC_LIB is calling %s %s %s %s", setting.c_str(), node.c_str(),
             user.c_str(), wire.c_str());
    std::string err;
    int rc = ctrlc_wire_call(setting, node, user, wire, "", nullptr, nullptr, timeout, installed, err);
    if (!err.empty()) std::fprintf(stderr, "ERROR: %s\n", err.c_str());
    std::fflush(stdout);
    return rc & 0xff;
}
