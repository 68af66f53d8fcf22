#include "util/timeutil.hpp"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/posix.hpp"

namespace {

const char* const kDayShort[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kDayLong[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
const char* const kMonShort[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kMonLong[] = {"January", "February", "March",     "April",   "May",      "June",
                                "July",    "August",   "September", "October", "November", "December"};

const char* pick(const char* const* table, int n, int i) {
    return (i >= 0 && i < n) ? table[i] : "?";
}

bool is_date_prefix(const char* s) {
    return s[0] >= '1' && s[0] <= '9' && std::strlen(s) > 19 && s[4] == '-' && s[7] == '-' && s[10] == ' ' &&
           s[13] == ':';
}

// Reads the number after a request letter; false when there is none.
bool read_offset(const char* s, long& out) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s, &end, 10);
    if (end == s || errno == ERANGE || v > 100000000L || v < -100000000L) return false;
    out = v;
    return true;
}

Sleeper& sleeper() {
    static Sleeper s;
    return s;
}

}  // namespace

char* time_get_at(char* cpTime, time_t now) {
    struct tm tmv {};
    localtime_r(&now, &tmv);  // keeps now's daylight-saving flag for mktime below

    if (is_date_prefix(cpTime)) {
        int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
        if (std::sscanf(cpTime, "%4d-%2d-%2d %2d:%2d:%2d", &y, &mo, &d, &h, &mi, &s) == 6) {
            tmv.tm_year = y - 1900;
            tmv.tm_mon = mo - 1;
            tmv.tm_mday = d;
            tmv.tm_hour = h;
            tmv.tm_min = mi;
            tmv.tm_sec = s;
        }
        // The request follows the date and one separating character.
        std::memmove(cpTime, cpTime + 20, std::strlen(cpTime + 20) + 1);
    }

    // An offset request moves one field of the broken-down time.
    int* field = nullptr;
    switch (cpTime[0]) {
        case 'D': field = &tmv.tm_mday; break;
        case 'H': field = &tmv.tm_hour; break;
        case 'M': field = &tmv.tm_min; break;
        case 'S': field = &tmv.tm_sec; break;
        default: break;
    }
    long off = 0;
    if (field && read_offset(cpTime + 1, off)) *field += static_cast<int>(off);
    switch (cpTime[0]) {
        case 'T': tmv.tm_mday += 1; break;
        case 'Y': tmv.tm_mday -= 1; break;
        default: break;
    }

    time_t t = mktime(&tmv);
    if (t == static_cast<time_t>(-1)) t = 0x7FFFFFFF;
    struct tm out {};
    localtime_r(&t, &out);
    const char* fmt = cpTime[0] == 'I' ? "%Y%m%d%H%M%S" : "%Y-%m-%d %H:%M:%S %a";
    if (cm_strftime(cpTime, kTimeBuf, fmt, &out) == 0 && kTimeBuf > 0) {
        // Only a year beyond four digits can overflow; the cut text stands.
    }
    return cpTime;
}

char* time_get(char* cpTime) {
    return time_get_at(cpTime, ::time(nullptr));
}

std::string time_get(std::string_view request) {
    char buf[kTimeBuf] = {};
    if (!request.empty()) std::memcpy(buf, request.data(), std::min(request.size(), kTimeBuf - 1));
    return time_get(buf);
}

std::string strfmt(const char* fmt, std::initializer_list<StrfmtArg> args) {
    std::string out;
    auto it = args.begin();
    for (const char* p = fmt; *p; ++p) {
        if (*p == '%' && p[1] >= '0' && p[1] <= '9') {
            int width = p[1] - '0';
            ++p;
            if (it == args.end()) continue;
            const StrfmtArg& a = *it++;
            if (width == 0) {
                if (auto* sv = std::get_if<std::string_view>(&a)) out.append(*sv);
            } else if (auto* n = std::get_if<long>(&a)) {
                long v = *n < 0 ? -*n : *n;
                char digits[10];
                for (int i = width - 1; i >= 0; --i) {
                    digits[i] = static_cast<char>('0' + v % 10);
                    v /= 10;
                }
                out.append(digits, static_cast<size_t>(width));
            }
        } else {
            out.push_back(*p);
        }
    }
    return out;
}

size_t cm_strftime(char* s, size_t maxs, const char* f, const struct tm* t) {
    if (maxs == 0) return 0;
    std::string out;
    const long yday = t->tm_yday, wday = t->tm_wday;
    for (const char* p = f; *p; ++p) {
        if (*p != '%') {
            out.push_back(*p);
            continue;
        }
        char c = p[1];
        if (c == '\0') {  // a lone '%' at the end
            out.push_back('%');
            break;
        }
        ++p;
        switch (c) {
            case '%': out.push_back('%'); break;
            case 'a': out += pick(kDayShort, 7, t->tm_wday); break;
            case 'A': out += pick(kDayLong, 7, t->tm_wday); break;
            case 'b': out += pick(kMonShort, 12, t->tm_mon); break;
            case 'B': out += pick(kMonLong, 12, t->tm_mon); break;
            case 'c':
                out +=
                    strfmt("%0 %0 %2 %2:%2:%2 %4",
                           {pick(kDayShort, 7, t->tm_wday), pick(kMonShort, 12, t->tm_mon), long(t->tm_mday),
                            long(t->tm_hour), long(t->tm_min), long(t->tm_sec), long(t->tm_year + 1900)});
                break;
            case 'd': out += strfmt("%2", {long(t->tm_mday)}); break;
            case 'H': out += strfmt("%2", {long(t->tm_hour)}); break;
            case 'I': out += strfmt("%2", {long(t->tm_hour % 12 == 0 ? 12 : t->tm_hour % 12)}); break;
            case 'j': out += strfmt("%3", {long(t->tm_yday + 1)}); break;
            case 'm': out += strfmt("%2", {long(t->tm_mon + 1)}); break;
            case 'M': out += strfmt("%2", {long(t->tm_min)}); break;
            case 'p': out += t->tm_hour < 12 ? "AM" : "PM"; break;
            case 'S': out += strfmt("%2", {long(t->tm_sec)}); break;
            case 'u': out += strfmt("%1", {long(t->tm_wday == 0 ? 7 : t->tm_wday)}); break;
            case 'U': out += strfmt("%2", {long(yday / 7 + ((yday % 7) > wday ? 1 : 0))}); break;
            case 'w': out += strfmt("%1", {long(t->tm_wday)}); break;
            case 'W': out += strfmt("%2", {long(yday / 7 + ((yday % 7) > (wday + 6) % 7 ? 1 : 0))}); break;
            case 'x':
                out += strfmt("%0 %0 %2 %4", {pick(kDayShort, 7, t->tm_wday), pick(kMonShort, 12, t->tm_mon),
                                              long(t->tm_mday), long(t->tm_year + 1900)});
                break;
            case 'X': out += strfmt("%2:%2:%2", {long(t->tm_hour), long(t->tm_min), long(t->tm_sec)}); break;
            case 'y': out += strfmt("%2", {long((t->tm_year + 1900) % 100)}); break;
            case 'Y': out += strfmt("%4", {long(t->tm_year + 1900)}); break;
            case 'Z': {
                tzset();
                const char* dst = tzname[1];
                out += (t->tm_isdst > 0 && dst && *dst) ? dst : (tzname[0] ? tzname[0] : "");
                break;
            }
            default:
                out.push_back('%');
                out.push_back(c);
                break;
        }
    }
    if (out.size() >= maxs) {
        std::memcpy(s, out.data(), maxs - 1);
        s[maxs - 1] = '\0';
        return 0;
    }
    std::memcpy(s, out.data(), out.size());
    s[out.size()] = '\0';
    return out.size();
}

void set_sleeper(Sleeper s) {
    sleeper() = std::move(s);
}

static void sleep_us(long us) {
    if (sleeper()) {
        sleeper()(us);
        return;
    }
    struct timespec ts {
        us / 1000000, (us % 1000000) * 1000
    };
    // nanosleep leaves the time still to sleep in ts when interrupted.
    posix::retry_eintr([&] { return ::nanosleep(&ts, &ts); });
}

void wait_sec(int iSeconds) {
    if (iSeconds > 0) sleep_us(long(iSeconds) * 1000000L);
}

void wait_msec(int iMilliseconds) {
    if (iMilliseconds > 0) sleep_us(long(iMilliseconds) * 1000L);
}
