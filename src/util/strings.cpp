#include "util/strings.hpp"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {
constexpr size_t kTokBuf = 8192;
char szCopyOfInstring[kTokBuf];
size_t iStrlenOfInstring = 0;
size_t pszReturnString = 1;  // index; beyond the length until a split starts
constexpr size_t kElemBuf = 768;
}  // namespace

const char* cm_strtok(const char* cpInstring, char cDelim) {
    if (cpInstring) {
        size_t len = std::strlen(cpInstring);
        if (len > kTokBuf - 1) {
            std::fprintf(stderr, "string shortend to %d chars bcs. of string overflow: strlen(%s) > %d\n",
                         int(kTokBuf - 1), cpInstring, int(kTokBuf - 1));
            len = kTokBuf - 1;
        }
        std::memcpy(szCopyOfInstring, cpInstring, len);
        szCopyOfInstring[len] = '\0';
        iStrlenOfInstring = len;
        for (size_t i = 0; i < len; ++i)
            if (szCopyOfInstring[i] == cDelim) szCopyOfInstring[i] = '\0';
        pszReturnString = 0;
    } else {
        if (pszReturnString > iStrlenOfInstring) return nullptr;
        while (pszReturnString < iStrlenOfInstring && szCopyOfInstring[pszReturnString] != '\0')
            ++pszReturnString;
        ++pszReturnString;
    }
    if (pszReturnString > iStrlenOfInstring) return nullptr;
    return szCopyOfInstring + pszReturnString;
}

int str_elem(int iPos, char cDelimiter, const char* cpStr, std::string& cpElem) {
    size_t len = std::strlen(cpStr);
    if (len == 0 || (len == 1 && cpStr[0] == cDelimiter)) {
        cpElem.clear();
        return 0;
    }
    if (iPos == 0 && std::strchr(cpStr, cDelimiter) == nullptr) {
        cpElem = cpStr;
        return 1;
    }
    if (iPos < 0) {
        cpElem.clear();
        return 0;
    }
    std::string work(cpStr[0] == cDelimiter ? cpStr + 1 : cpStr);
    if (work.size() > kElemBuf - 1) work.resize(kElemBuf - 1);
    const char* tok = cm_strtok(work.c_str(), cDelimiter);
    for (int i = 0; i < iPos && tok; ++i) tok = cm_strtok(nullptr, cDelimiter);
    if (!tok) {
        cpElem.clear();
        return 0;
    }
    cpElem = tok;
    return 1;
}

std::string& lowercase(std::string& arg) {
    for (char& c : arg) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return arg;
}

char* lowercase(char* arg) {
    for (char* p = arg; *p; ++p) *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    return arg;
}

int SLASH_HAMMER(std::string& cpS) {
    for (char& c : cpS)
        if (c == '\\') c = '/';
    return 1;
}

const char* longtoasc(long n) {
    static char buf[32];
    std::snprintf(buf, sizeof buf, "%ld", n);
    return buf;
}

const char* intoas(long n) {
    static char buf[32];
    std::snprintf(buf, sizeof buf, "%ld", n);
    return buf;
}

std::string vsformat(const char* fmt, va_list ap) {
    char small[512];
    va_list ap2;
    va_copy(ap2, ap);
    int n = std::vsnprintf(small, sizeof small, fmt, ap2);
    va_end(ap2);
    if (n < 0) return {};
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), fmt, ap);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string sformat(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = vsformat(fmt, ap);
    va_end(ap);
    return s;
}
