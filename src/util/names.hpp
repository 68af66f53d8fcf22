// Values from outside that become a file name or a request identifier.
#pragma once

#include <string_view>

// One entry inside a directory: not empty, not "." or "..", no '/' or '\',
// no leading '-' (a program given it would take it for an option).
bool is_plain_name(std::string_view s);

// A word of letters, digits, '.', '_' and '-' that is not "." or "..": safe
// in a file name and as a shell word.
bool is_plain_word(std::string_view s);

// A request identifier: a plain word of 1 to 29 characters.
bool is_request_id(std::string_view s);
