// String helpers shared by every module.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

// Tokenizer that keeps empty fields. A call with a string starts a new split
// (cut to 8191 characters, with a note on stderr) and returns the first
// field; a call with nullptr returns the next field; nullptr when done.
// Uses one static buffer for the whole process: not reentrant.
const char* cm_strtok(const char* cpInstring, char cDelim);

// Element iPos (from 0) of cpStr split at cDelimiter into cpElem. A leading
// delimiter is dropped. Returns 1 when the element exists, else 0 with
// cpElem emptied. Splits through cm_strtok, so it ends any split in progress.
int str_elem(int iPos, char cDelimiter, const char* cpStr, std::string& cpElem);

// In-place conversions; both return their argument.
std::string& lowercase(std::string& arg);
char* lowercase(char* arg);
// Replaces every backslash by '/'. Returns 1.
int SLASH_HAMMER(std::string& cpS);

// Decimal text of n in a static buffer of each function, valid until the
// next call of the same function.
const char* longtoasc(long n);
const char* intoas(long n);

// printf into a std::string (no length limit).
std::string sformat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vsformat(const char* fmt, va_list ap);

// The first max characters of s: the explicit cut for fixed-width values.
inline std::string cut(std::string_view s, size_t max) {
    return std::string(s.substr(0, max));
}
// Assigns s to dst cut to width-1 characters (a width counts the NUL of the
// fixed buffer it replaces).
inline void assign_cut(std::string& dst, std::string_view s, size_t width) {
    dst.assign(s.substr(0, width > 0 ? width - 1 : 0));
}
