// Command line: the option scanner, the usage text, identity helpers and
// ARGUMENTS, which fills the run's globals.
#pragma once

#include <string>

// The option letters of sm_client.
constexpr const char* kOptString = ":b:C:c:d:f:i:l:m:n:s:t:u:x:w:vrh";

// Reads all options, the configuration and the hosts into the globals; ends
// the run through FINISH on any failure.
void ARGUMENTS(int argc, char** argv);

// Returns the next option letter ('?' for an unknown letter or a missing
// value, -1 at the end) with its value in cpReturn. Keeps its position in
// statics between calls.
int mygetopt(int argc, char* const* argv, const char* opstring, std::string& cpReturn);
// Starts a new scan; tests only (the program scans its arguments once).
void mygetopt_reset();

// Prints the usage text on stdout and exits with 1.
[[noreturn]] void USAGE();
// The usage text as printed (without the version line).
std::string usage_text();

// The configured own host name ("[SERVER]" "name"), or "??2".
void get_my_hostname(std::string& cpName);
// Login name of the effective user.
void GET_USER_NAME(std::string& cpName);
