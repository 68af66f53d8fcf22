// Quoting of values that are put into a command line run by /bin/sh.
#pragma once

#include <string>
#include <string_view>

// s as one shell word in single quotes; each ' becomes '\''. Any bytes,
// also newlines and bytes above 127, come through unchanged.
std::string shell_quote(std::string_view s);

// s unchanged when it is a non-empty word of harmless characters
// (letters, digits, and _ @ % + = : , . / -), otherwise shell_quote(s).
// Keeps ordinary command lines readable in traces.
std::string shell_arg(std::string_view s);

// s for the inside of a double-quoted string: a backslash before each
// \ ` " and (unless dollar is false) $. dollar=false is for command lines
// whose '$' signs the pipe opener escapes itself.
std::string shell_dquote_body(std::string_view s, bool dollar = true);

// A path that begins with '-' gets "./" in front, so that a command does not
// take it for an option. Other paths are returned unchanged.
std::string not_an_option(std::string_view path);
