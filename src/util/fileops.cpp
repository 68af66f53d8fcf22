#include "util/fileops.hpp"

#include <sys/stat.h>

int i_MKDIR(const std::string& cpPath) { return ::mkdir(cpPath.c_str(), kDirMode) == 0 ? 1 : 0; }

std::string& GIVE_ME_FILE_NAME(std::string& cpFileName) {
    // A leading backslash may be meaningful to the caller; keep it.
    for (size_t i = 1; i < cpFileName.size(); ++i)
        if (cpFileName[i] == '\\') cpFileName[i] = '/';
    return cpFileName;
}
