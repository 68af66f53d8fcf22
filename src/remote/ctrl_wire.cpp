#include "remote/ctrl_wire.hpp"

#include <algorithm>

std::vector<std::string> ctrlc_split_command(std::string_view command) {
    std::string_view cmd = command.substr(0, kCtrlCommandMax);
    std::vector<std::string> words;
    std::string word;
    const size_t n = cmd.size();
    char quote = 0;         // the open quote character, 0 outside quotes
    bool dropping = false;  // after a closing quote, up to the next blank
    for (size_t i = 0; i < n; ++i) {
        char c = cmd[i];
        // A backslash shields the next character, unless that one is the last.
        if (c == '\\' && i + 2 < n) {
            if (!dropping) {
                word.push_back(c);
                word.push_back(cmd[i + 1]);
            }
            ++i;
            continue;
        }
        if (quote) {
            if (c == quote) {
                quote = 0;
                dropping = true;
            } else {
                word.push_back(c);
            }
            continue;
        }
        if (c == ' ') {
            words.push_back(std::move(word));
            word.clear();
            dropping = false;
            continue;
        }
        if (dropping) continue;
        if (c == '"' || c == '\'') {
            quote = c;
            word.clear();  // the word starts after the quote
            continue;
        }
        word.push_back(c);
    }
    words.push_back(std::move(word));
    return words;
}

std::string ctrlc_join_words(const std::vector<std::string>& words) {
    std::string out;
    for (size_t i = 0; i < words.size(); ++i) {
        if (i) out.push_back(kWireWordSep);
        out += words[i];
    }
    return out;
}

std::string ctrlc_wire_command(std::string_view command) {
    return ctrlc_join_words(ctrlc_split_command(command));
}

std::vector<std::string> ctrld_split_wire(std::string_view wire) {
    std::vector<std::string> words;
    size_t start = 0;
    for (;;) {
        size_t q = wire.find(kWireWordSep, start);
        words.emplace_back(
            wire.substr(start, q == std::string_view::npos ? std::string_view::npos : q - start));
        if (q == std::string_view::npos) break;
        start = q + 1;
    }
    return words;
}

CtrlRequestReader::Status CtrlRequestReader::fail(const char* why) {
    error_ = why;
    status_ = Error;
    return status_;
}

CtrlRequestReader::Status CtrlRequestReader::feed(std::string_view data) {
    if (status_ == Error) return status_;
    if (status_ == Done) {
        rest_.append(data);
        return status_;
    }
    const size_t limits[3] = {lim_.port_max, lim_.user_max, lim_.command_max};
    for (size_t i = 0; i < data.size(); ++i) {
        char c = data[i];
        if (c != '\0') {
            if (cur_.size() >= limits[field_]) {
                static const char* const kTooLong[3] = {"port field too long", "user field too long",
                                                        "command field too long"};
                return fail(kTooLong[field_]);
            }
            cur_.push_back(c);
            continue;
        }
        switch (field_) {
            case 0: {
                int port = 0;
                for (char d : cur_) {
                    if (d < '0' || d > '9') return fail("malformed port field");
                    port = port * 10 + (d - '0');
                }
                if (!cur_.empty() && (port < 1 || port > 65535)) return fail("port out of range");
                req_.second_port = port;
                break;
            }
            case 1:
                if (cur_.empty()) return fail("empty user field");
                req_.user = cur_;
                break;
            default: req_.command = cur_; break;
        }
        cur_.clear();
        if (++field_ == 3) {
            status_ = Done;
            rest_.assign(data.substr(i + 1));
            return status_;
        }
    }
    return status_;
}

bool StdinEndScanner::feed(std::string_view data, std::string& out) {
    if (ended_) return true;
    std::string buf;
    std::string_view all = data;
    if (!held_.empty()) {
        buf = held_ + std::string(data);
        all = buf;
    }
    size_t pos = all.find(kStdinEndMarker);
    if (pos != std::string_view::npos) {
        out.append(all.substr(0, pos));
        held_.clear();
        ended_ = true;
        return true;
    }
    // Hold back the longest tail that could begin the marker.
    size_t keep = std::min(all.size(), kStdinEndMarker.size() - 1);
    while (keep > 0 && all.substr(all.size() - keep) != kStdinEndMarker.substr(0, keep)) --keep;
    out.append(all.substr(0, all.size() - keep));
    held_.assign(all.substr(all.size() - keep));
    return false;
}
