#include "remote/remote_words.hpp"

#include <cstdlib>

#include "util/names.hpp"
#include "util/shell_quote.hpp"
#include "util/strings.hpp"

namespace {

bool name_char(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

bool all_name_chars(std::string_view s) {
    for (unsigned char c : s)
        if (!name_char(c)) return false;
    return true;
}

// Characters that would make a shell do more than join words.
bool shell_operator(char c) {
    return std::string_view(";|&<>()`$*?[]{}~#!").find(c) != std::string_view::npos;
}

// Escapes for the single-quoted string of an outer shell: ' becomes '\''.
std::string inside_single_quotes(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out;
}

// One word for a script line written by echo, whose backslashes some
// shells' echo would interpret: no backslash is written at all.
std::string echo_safe_word(std::string_view w) {
    std::string out = "'";
    for (char c : w) {
        if (c == '\'')
            out += "'\"'\"'";
        else if (c == '\\')
            out += "'\"$(awk 'BEGIN{printf \"%c\",92}')\"'";
        else
            out += c;
    }
    return out + "'";
}

}  // namespace

bool valid_node_name(std::string_view node) {
    return !node.empty() && node.size() <= kNodeNameMax && node[0] != '-' && all_name_chars(node);
}

std::string answer_file_name(std::string_view work_dir, std::string_view id) {
    return std::string(work_dir) + "rsh_" + std::string(id) + ".tmp";
}

std::optional<std::string> split_node_argument(std::string_view arg, NodeArgument& out) {
    out = NodeArgument{};
    if (size_t bar = arg.find('|'); bar != std::string_view::npos) {
        out.file_form = true;
        out.node = std::string(arg.substr(0, bar));
        std::string_view rest = arg.substr(bar + 1);
        std::string* fields[] = {&out.out_file, &out.err_file, &out.in_file};
        for (std::string* f : fields) {
            size_t next = rest.find('|');
            *f = cut(rest.substr(0, next), kRemoteMsgMax);
            if (next == std::string_view::npos) break;
            rest = rest.substr(next + 1);
        }
    } else if (size_t slash = arg.find('/'); slash != std::string_view::npos) {
        out.node = std::string(arg.substr(0, slash));
        out.id = std::string(arg.substr(slash + 1));
        if (!is_request_id(out.id)) return "invalid request identifier";
    } else {
        out.node = std::string(arg);
        out.id = cut(arg, kRequestIdMax);
    }
    if (!valid_node_name(out.node)) return "invalid node name";
    return std::nullopt;
}

std::string quote_word(std::string_view word) {
    return shell_arg(word);
}

bool split_words(std::string_view line, std::vector<std::string>& words) {
    words.clear();
    std::string cur;
    bool in_word = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            if (in_word) words.push_back(std::move(cur));
            cur.clear();
            in_word = false;
        } else if (c == '\'') {
            size_t end = line.find('\'', i + 1);
            if (end == std::string_view::npos) return false;
            cur.append(line.substr(i + 1, end - i - 1));
            i = end;
            in_word = true;
        } else if (c == '"') {
            for (++i;; ++i) {
                if (i >= line.size()) return false;
                if (line[i] == '"') break;
                if (line[i] == '`' || line[i] == '$') return false;
                if (line[i] == '\\' && i + 1 < line.size() &&
                    std::string_view("\\\"$`\n").find(line[i + 1]) != std::string_view::npos)
                    ++i;
                cur += line[i];
            }
            in_word = true;
        } else if (c == '\\') {
            if (++i >= line.size()) return false;
            if (line[i] != '\n') cur += line[i];
            in_word = true;
        } else if (shell_operator(c)) {
            return false;
        } else {
            cur += c;
            in_word = true;
        }
    }
    if (in_word) words.push_back(std::move(cur));
    return true;
}

std::string remote_user(std::string_view platform, bool rsh) {
    if (platform == "UNIX") return "root";
    if (platform == "WNT") return "system";
    if (rsh && platform == "VMS") return "kovnetbck";
    return "";
}

std::string ssh_options(std::string_view opts) {
    return opts == "NULL" ? std::string() : std::string(opts);
}

std::string ctrl_options(std::string_view opts, bool& port_given) {
    port_given = false;
    if (opts.size() < 2 || opts[0] != '-' || (opts[1] != 's' && opts[1] != 'o' && opts[1] != 'p')) return "";
    port_given = opts.find("-p ") != std::string_view::npos;
    return std::string(opts);
}

int ctrl_option_port(std::string_view opts) {
    size_t p = opts.find("-p ");
    if (p == std::string_view::npos) return 0;
    std::string rest(opts.substr(p + 3));
    return std::atoi(rest.c_str());
}

std::string ssh_command_line(std::string_view user, std::string_view opts, std::string_view node,
                             std::string_view cmd) {
    return sformat(
        "ssh -l %s %s %s '. /etc/zarvo2000.ini;set -f;LD_LIBRARY_PATH=$SM_BIN_ZARVO "
        "PATH=$PATH:$SM_BIN_ZARVO:$SM_BIN_SMS %s'",
        std::string(user).c_str(), std::string(opts).c_str(), std::string(node).c_str(),
        inside_single_quotes(cmd).c_str());
}

std::string sm_ctrlc_command_line(std::string_view port_setting, std::string_view opts, int timeout,
                                  std::string_view user, std::string_view node, std::string_view cmd) {
    const std::string ps(port_setting), o(opts), u(user), n(node), c(cmd);
    if (timeout >= 1)
        return sformat("set -f; sm_ctrlc %s %s -t %d -l %s %s %s", ps.c_str(), o.c_str(), timeout, u.c_str(),
                       n.c_str(), c.c_str());
    return sformat("set -f; sm_ctrlc %s %s -l %s %s %s", ps.c_str(), o.c_str(), u.c_str(), n.c_str(),
                   c.c_str());
}

std::string rsh_unix_command(std::string_view cmd_path, std::string_view cmd) {
    return "cd " + shell_arg(cmd_path) + "; sh -c \"PATH=$PATH:.; " + shell_dquote_body(cmd) + " \"";
}

std::optional<std::string> rsh2_script_command(std::string_view cmd_path, std::string_view cmd,
                                               std::string_view id, std::string_view err_name) {
    std::string body(cmd);
    if (body.find('\\') != std::string::npos || body.find('\'') != std::string::npos) {
        std::vector<std::string> words;
        if (!split_words(cmd, words)) return std::nullopt;
        body.clear();
        for (const std::string& w : words) body += (body.empty() ? "" : " ") + echo_safe_word(w);
    }
    std::string path = shell_arg(cmd_path);
    if (path.find('\\') != std::string::npos) return std::nullopt;
    return "umask 077; set -f; echo \"cd " + shell_dquote_body(path) + "; PATH=$PATH:.; " +
           shell_dquote_body(body) + " < /dev/null" +
           (err_name.empty() ? "" : " 2>\\\"$HOME/" + std::string(err_name) + "\\\"") + "\" > sm_" +
           std::string(id) + ".tmp 2>&1";
}

std::string rsh2_run_command(std::string_view id) {
    const std::string i(id);
    return "./sm_set_zarvo sm_" + i + ".tmp < /dev/null 2>&1 ; rm -f sm_" + i + ".tmp < /dev/null 2>&1";
}

std::string rsh2_collect_command(std::string_view err_name) {
    const std::string e(err_name);
    return "cat " + e + " < /dev/null; rm -f " + e + " < /dev/null";
}

std::string jrsh_command_line(std::string_view ro_bin, std::string_view port, std::string_view node,
                              std::string_view cmd) {
    return "java -classpath " + shell_arg(ro_bin) + " cons -p " + shell_arg(port) + " " + std::string(node) +
           " ZARVO \"" + shell_dquote_body(cmd) + "\"";
}

std::string local_command_line(std::string_view cmd, std::string_view in, std::string_view out,
                               std::string_view err) {
    std::string line = "{ " + std::string(cmd) + "\n}";
    if (!in.empty() && in != "-") line += " <" + shell_arg(not_an_option(in));
    if (!out.empty() && out != "-") line += " >>" + shell_arg(not_an_option(out));
    if (err.empty() || err == out)
        line += out.empty() || out == "-" ? "" : " 2>&1";
    else if (err != "-")
        line += " 2>>" + shell_arg(not_an_option(err));
    return line;
}

AnswerStatus read_answer(std::string_view content) {
    AnswerStatus a;
    std::vector<std::string_view> lines;
    for (size_t pos = 0; pos < content.size();) {
        size_t nl = content.find('\n', pos);
        size_t end = nl == std::string_view::npos ? content.size() : nl;
        lines.push_back(content.substr(pos, end - pos));
        pos = end + 1;
    }
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        static const std::pair<const char*, int> kWords[] = {
            {"STATUS=SUCCESS", 0}, {"STATUS=WARNING", 1}, {"STATUS=ERROR", 2}};
        for (auto& [word, sts] : kWords) {
            if (it->find(word) == std::string_view::npos) continue;
            a.found = true;
            a.sts = sts;
            size_t m = it->find("MSG=");
            if (m != std::string_view::npos) {
                a.has_msg = true;
                a.msg = std::string(it->substr(m + 4));
            }
            return a;
        }
    }
    // No status line: the first non-empty line from the second on; the
    // first line when nothing follows it.
    for (size_t i = 1; i < lines.size(); ++i)
        if (!lines[i].empty()) {
            a.msg = cut(lines[i], kAnswerMsgMax);
            return a;
        }
    if (!lines.empty()) a.msg = cut(lines[0], kAnswerMsgMax);
    return a;
}
