// Time stamps, date formatting and the two sleep calls.
#pragma once

#include <ctime>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

// Size of the buffer that time_get needs (request in, stamp out).
constexpr size_t kTimeBuf = 25;

// Interprets the request in cpTime ("", "I", "D n", "H n", "M n", "S n",
// "T", "Y", optionally after a "YYYY-MM-DD hh:mm:ss" date and one more
// character) and writes the local time stamp, long "%Y-%m-%d %H:%M:%S %a"
// or compact "%Y%m%d%H%M%S", into cpTime (at most 24 characters). Returns
// cpTime. cpTime must hold kTimeBuf bytes.
char* time_get(char* cpTime);
// The same with "now" given, for tests and callers that hold a time already.
char* time_get_at(char* cpTime, time_t now);
// Convenience: the stamp for a request as a std::string.
std::string time_get(std::string_view request);

// strftime with this system's own conversion table (English names, fixed
// widths). Returns the characters written, or 0 when the result did not fit
// in maxs bytes; then s holds the first maxs-1 characters, NUL-terminated.
size_t cm_strftime(char* s, size_t maxs, const char* f, const struct tm* t);

// One argument of strfmt: an integer (for %1..%9) or a string (for %0).
using StrfmtArg = std::variant<long, std::string_view>;
// "%N" (N = 1..9) prints the next integer as its last N digits, zero-padded;
// "%0" copies the next string; anything else is copied. A missing or
// mistyped argument prints nothing.
std::string strfmt(const char* fmt, std::initializer_list<StrfmtArg> args);

// Sleeps. Tests may replace the sleeper to make long waits instant.
void wait_sec(int iSeconds);
void wait_msec(int iMilliseconds);
using Sleeper = std::function<void(long microseconds)>;
// Installs a replacement sleeper (empty function restores the real one).
void set_sleeper(Sleeper s);
