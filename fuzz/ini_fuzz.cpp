// Feeds arbitrary bytes to the INI reader as a configuration file.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "ini/ini.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string path = [] {
        char tmpl[] = "/tmp/sm_ini_fuzz_XXXXXX";
        int fd = mkstemp(tmpl);
        if (fd >= 0) close(fd);
        return std::string(tmpl);
    }();
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0) return 0;
    if (write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        return 0;
    }
    close(fd);
    std::string value, msg;
    for (const char* section : {"[Pathes]", "[DEFAULT]", ""})
        for (const char* key : {"gv_ro", "a", "name", "%(a)"})
            i_GetPrivateProfileString(path.c_str(), section, key, value, 64, msg, 32);
    return 0;
}
