#include "ini/store_file.hpp"

#include <algorithm>

#include "ini/ini.hpp"
#include "util/posix.hpp"

namespace {
constexpr size_t kStoreReadMax = 64 * 1024;
}  // namespace

bool store_dir(std::string& dir) {
    std::string msg;
    return i_READ_INI("SM_INI", "[Pathes]", "gv_rw_glbv", dir, 512, msg, 256) == 1;
}

bool store_read(int fd, std::string& raw) {
    raw.resize(kStoreReadMax);
    size_t got = 0;
    for (ssize_t n = 1; n > 0 && got < raw.size(); got += static_cast<size_t>(n)) {
        n = posix::read_some(fd, raw.data() + got, raw.size() - got);
        if (n < 0) return false;
    }
    raw.resize(got);
    return true;
}

std::string store_value(std::string_view raw) {
    std::string value;
    while (!raw.empty() && value.size() <= kGlbvValueMax) {
        // One line as the C library's line reader hands it out.
        size_t len = std::min(raw.size(), kGlbvReadLine);
        const size_t nl = raw.substr(0, len).find('\n');
        if (nl != std::string_view::npos) len = nl + 1;
        std::string_view line = raw.substr(0, len);
        raw.remove_prefix(len);
        line = line.substr(0, line.find('\0'));
        if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
        value.append(line);
    }
    if (value.size() > kGlbvValueMax) {
        value.resize(kGlbvValueMax);
        value.back() = '>';
    }
    return value;
}
