// Values from outside that become part of a file name.
#pragma once

#include <string_view>

// True for a non-empty name of letters, digits, '.', '_' and '-' without
// "..": it cannot leave the directory it is put into.
bool plain_name(std::string_view s);
