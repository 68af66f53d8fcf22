#include "util/fileops.hpp"

#include <sys/stat.h>

#include <filesystem>

int i_MKDIR(const std::string& cpPath) {
    return ::mkdir(cpPath.c_str(), kDirMode) == 0 ? 1 : 0;
}

std::string& GIVE_ME_FILE_NAME(std::string& cpFileName) {
    // A leading backslash may be meaningful to the caller; keep it.
    for (size_t i = 1; i < cpFileName.size(); ++i)
        if (cpFileName[i] == '\\') cpFileName[i] = '/';
    return cpFileName;
}

std::string lexically_normal(const std::string& path) {
    if (path.empty()) return path;
    std::string out = std::filesystem::path(path).lexically_normal().string();
    // "dir/" and "dir" name the same place; callers compare without the '/'.
    if (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

bool lexically_inside(const std::string& dir, const std::string& path) {
    if (dir.empty() || path.empty()) return false;
    const std::string d = lexically_normal(dir), p = lexically_normal(path);
    if (d == "/") return p.front() == '/';
    return p == d || (p.size() > d.size() && p.compare(0, d.size(), d) == 0 && p[d.size()] == '/');
}
