// File-name and directory helpers that need nothing but the system.
#pragma once

#include <string>

constexpr unsigned kDirMode = 0770;  // new directories, before the umask

// Creates one directory (mode 0770). 1 when created, else 0.
int i_MKDIR(const std::string& cpPath);

// Replaces every backslash after the first character by '/', in place.
// Returns cpFileName.
std::string& GIVE_ME_FILE_NAME(std::string& cpFileName);

// path with "." and ".." resolved and repeated '/' merged, by text alone
// (symbolic links are not looked at); "" stays "".
std::string lexically_normal(const std::string& path);

// True when path, normalised lexically, is dir itself or lies below it
// (dir normalised too). An empty dir contains nothing.
bool lexically_inside(const std::string& dir, const std::string& path);
