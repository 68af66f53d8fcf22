// Where the variable store lives and how a variable's file becomes its value.
// Shared by the store itself and by the protocol log, which reads "gv_prot"
// below the store so that the store's own failure reports can go into it.
#pragma once

#include <string>
#include <string_view>

constexpr size_t kGlbvValueMax = 511;  // longer values are cut, with '>' last
constexpr size_t kGlbvReadLine = 510;  // a file is read in lines of this size

// The store directory: "[Pathes]" "gv_rw_glbv" of the main configuration.
// false when it is not configured.
bool store_dir(std::string& dir);

// Reads a variable file's bytes from fd, at most 64 KiB (far more than any
// value needs). false on a read error.
bool store_read(int fd, std::string& raw);

// The value held by a variable file's bytes: read in lines of 510 characters,
// each up to its first NUL and without its newline, joined, cut at 511 with
// '>' last.
std::string store_value(std::string_view raw);
