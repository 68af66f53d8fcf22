// The global variable store: one file per variable, "<dir><name>.sgv", in
// the directory of "[Pathes]" "gv_rw_glbv".
#pragma once

#include <string>

#include "ini/store_file.hpp"

// The store's entry point. cFunction: 'r' read, 'R' read and delete, 'w'
// write cpGlbvValue, 'd' delete (a '*' in the name deletes every matching
// file). Backslashes and '/' in cpGlbvName are replaced by '_' in place.
// Answers in cpGlbvValue; every answer that is not a value begins with "??".
// Returns cpGlbvName for 'd', cpGlbvValue otherwise.
//
// Writes go to a private temporary file that is renamed over the old one,
// so readers see the old or the new value, never a partial one; the file
// keeps the old one's owner and mode. Where that owner cannot be given, or
// the store takes no new file, the file is rewritten in place. 'R' claims
// the file by renaming it before reading, so one of two concurrent 'R'
// callers gets the value. Both private files live in the store's
// ".~private/" directory; those of a process that ended early are cleaned
// up at the next access to their variable (a claim is put back unless a
// newer value took its place).
std::string& glbv(char cFunction, std::string& cpGlbvName, std::string& cpGlbvValue);

// Convenience for readers: true with the value when the variable is set.
bool glbv_get(std::string name, std::string& value);

// Expands "name" or "name:rest" through the variable name: its value
// followed by rest (at most 511 characters). 1 when resolved, 0 (file
// unchanged) when the variable does not exist.
int resolve_glbv(std::string& file);

// Expands "key" or "key:rest" through "[Pathes]" key of the main
// configuration: its value followed by rest; unchanged when the key is not
// configured. Always 1.
int resolve_path(std::string& cpOrigPath);
