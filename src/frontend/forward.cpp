#include "frontend/forward.hpp"

#include <cstring>

#include "exec/fileutil.hpp"
#include "frontend/finish.hpp"
#include "frontend/globals.hpp"
#include "log/prot.hpp"
#include "remote/alive.hpp"
#include "remote/remote_cmd.hpp"
#include "remote/remote_words.hpp"
#include "util/names.hpp"
#include "util/posix.hpp"
#include "util/strings.hpp"
#include "util/timeutil.hpp"

namespace {

constexpr size_t kFuncWordMax = 15;
constexpr size_t kModeMax = 2;
constexpr size_t kValueMax = 511;
constexpr size_t kStagePathMax = 1023;
constexpr size_t kAnswerReadMax = 1 << 20;  // result lines are short; more is not read

// Whether the rebuilt job reads this process's standard input.
bool g_forward_stdin = false;

std::string read_answer_file(const std::string& path, bool& opened) {
    std::string content;
    posix::UniqueFd fd = posix::open_fd(path, O_RDONLY | O_NOFOLLOW);
    opened = static_cast<bool>(fd);
    if (!fd) return content;
    char buf[8192];
    for (ssize_t n; content.size() < kAnswerReadMax && (n = posix::read_some(fd.get(), buf, sizeof buf)) > 0;)
        content.append(buf, static_cast<size_t>(n));
    return content;
}

// The value of an option word: attached ("-fW") or the next word.
const char* option_value(int& i, int argc, char** argv) {
    if (argv[i][2] != '\0') return argv[i] + 2;
    return i + 1 < argc ? argv[++i] : "";
}

}  // namespace

void CONCATENATE_ARGUMENTS(std::string& cpCmd, int argc, char** argv, std::string& cpTgtFile) {
    SM_TRACE(strLog, 0, "+++ CONCATENATE_ARGUMENTS");
    std::string func, mode, name, source;
    bool haveSource = false;
    for (int i = 1; i < argc; ++i) {
        const char* w = argv[i];
        if (w[0] != '-' || w[1] == '\0') {
            cpCmd += " " + quote_word(w);
            continue;
        }
        switch (w[1]) {
            case 'f':
                func = cut(option_value(i, argc, argv), kFuncWordMax);
                cpCmd += " -f " + quote_word(func);
                break;
            case 'm':
                mode = cut(option_value(i, argc, argv), kModeMax);
                cpCmd += " -m " + quote_word(mode);
                break;
            case 'n':
                name = cut(option_value(i, argc, argv), kValueMax);
                cpCmd += " -n " + quote_word(name);
                break;
            case 's':
                source = cut(option_value(i, argc, argv), kValueMax);
                haveSource = true;
                break;
            default: cpCmd += " " + quote_word(w);
        }
    }
    if (haveSource) {
        if (func == "filecopy" && !mode.empty() && mode[0] == 'g') {
            // The staged copy must stay inside the work directory.
            if (!is_plain_name(name)) FINISH(2, "refused -n " + name + ": not a plain file name");
            const std::string from = source + name;
            cpTgtFile = cut(gszRwWork + name, kStagePathMax);
            if (file_copy(from, cpTgtFile) != 0) FINISH(2, "error copy " + from + " to " + cpTgtFile);
        } else {
            cpCmd += " -s " + quote_word(source);
            g_forward_stdin = source == "-";
        }
    }
    SM_TRACE(strLog, 0, "--- CONCATENATE_ARGUMENTS   %s ", cpCmd.c_str());
}

void REMOTE_STORAGE_NODE(int argc, char** argv) {
    SM_TRACE(strLog, 0, "+++ REMOTE_STORAGE_NODE  %s ", gszClientHost.c_str());
    const std::string& node = gszClientHost;
    if (!valid_node_name(node)) FINISH(1, "invalid node name");
    if (!is_request_id(gszId)) FINISH(1, "invalid request identifier");
    std::string staged;

    std::string alive;
    if (!alive_test_zbc(node, alive, strLog))
        FINISH(1, sformat(pick(kMsgE020), node.c_str()) + " (" + alive + ")");

    // The options made up here (identifier, server) go first, so that the
    // remote run uses the same ones.
    std::string cmd = "sm_client -r";
    for (size_t pos = 0; pos < gszMissingArg.size();) {
        size_t end = gszMissingArg.find(' ', pos);
        if (end == std::string::npos) end = gszMissingArg.size();
        if (end > pos) cmd += " " + quote_word(gszMissingArg.substr(pos, end - pos));
        pos = end + 1;
    }
    CONCATENATE_ARGUMENTS(cmd, argc, argv, staged);
    SM_TRACE(strLog, 0, "REMOTE_CMD  %s  %s  %s ", node.c_str(), gszId.c_str(), cmd.c_str());

    // The remote run's standard output is ours; its error output (with the
    // result lines) lands in the answer file.
    const std::string answer = answer_file_name(gszRwWork, gszId);
    const std::string target = node + "|-|" + answer + (g_forward_stdin ? "|-" : "");
    AnswerStatus st;
    bool opened = false;
    int r = 0;
    for (int attempt = 1;; ++attempt) {
        i_FILE_DELETE(answer, strLog);
        std::string msg = cmd;
        r = REMOTE_CMD(target, msg, 1, strLog);
        st = read_answer(read_answer_file(answer, opened));
        if (st.found || r == 1) break;
        if (msg.find("read error Port") != std::string::npos && attempt < kForwardAttempts) {
            SM_TRACE(strLog, 0, "REMOTE_STORAGE_NODE error in REMOTE_CMD %s  -> try it again", msg.c_str());
            wait_sec(kForwardRetryPauseSec);
            continue;
        }
        SM_TRACE(strLog, 0, "--- REMOTE_STORAGE_NODE error in REMOTE_CMD %s ", msg.c_str());
        i_FILE_DELETE(answer, strLog);
        if (!staged.empty()) i_FILE_DELETE(staged, strLog);
        FINISH(1, msg);
    }
    if (!staged.empty()) i_FILE_DELETE(staged, strLog);
    i_FILE_DELETE(answer, strLog);

    if (!st.found) {
        // A file read prints its content and no result lines.
        if (gcFunc == 'u' && !gszOpt_m.empty() && gszOpt_m[0] == 'r') FINISH(0, "");
        SM_TRACE(strLog, 0, "did not find STATUS => must be some other message");
        FINISH(1, opened ? st.msg : "Could not open file " + answer);
    }
    SM_TRACE(strLog, 0, "   STATUS in %s : %d ", answer.c_str(), st.sts);
    if (!st.has_msg) {
        SM_TRACE(strLog, 0, "ERROR GET_EXIT_STATE %s ", answer.c_str());
        FINISH(st.sts, "No tag [MSG=] found in " + answer);
    }
    FINISH(st.sts, st.msg);
}
