#include "util/names.hpp"

namespace {

constexpr size_t kRequestIdMax = 29;

bool dots_only(std::string_view s) {
    return s == "." || s == "..";
}

}  // namespace

bool is_plain_name(std::string_view s) {
    return !s.empty() && !dots_only(s) && s[0] != '-' && s.find_first_of("/\\") == std::string_view::npos;
}

bool is_plain_word(std::string_view s) {
    if (s.empty() || dots_only(s)) return false;
    for (char c : s) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        c == '.' || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

bool is_request_id(std::string_view s) {
    return s.size() <= kRequestIdMax && is_plain_word(s);
}
