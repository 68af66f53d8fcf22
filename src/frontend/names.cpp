#include "frontend/names.hpp"

bool plain_name(std::string_view s) {
    if (s.empty() || s.find("..") != std::string_view::npos) return false;
    for (char c : s) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        c == '.' || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}
