#include "util/shell_quote.hpp"

std::string shell_quote(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '\'';
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += '\'';
    return out;
}

std::string shell_arg(std::string_view s) {
    auto harmless = [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string_view("_@%+=:,./-").find(static_cast<char>(c)) != std::string_view::npos;
    };
    for (unsigned char c : s)
        if (!harmless(c)) return shell_quote(s);
    return s.empty() ? shell_quote(s) : std::string(s);
}

std::string shell_dquote_body(std::string_view s, bool dollar) {
    std::string out;
    out.reserve(s.size() + 8);
    for (char c : s) {
        if (c == '\\' || c == '`' || c == '"' || (dollar && c == '$')) out += '\\';
        out += c;
    }
    return out;
}

std::string not_an_option(std::string_view path) {
    return !path.empty() && path[0] == '-' ? "./" + std::string(path) : std::string(path);
}
