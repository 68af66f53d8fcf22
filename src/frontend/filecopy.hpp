// The copy jobs: files between node and server through the backup client
// ('f'), the tape-format header and trailer of a saveset ('m'), and the
// local staging copy of a forwarded get.
#pragma once

#include <string>

#include "frontend/dispatch.hpp"

constexpr size_t kCopyMsgMax = 255;
constexpr size_t kCopyCmdMax = 1024;
constexpr const char* kHeaderTemplate = "mtf_extended_header.dat";
constexpr const char* kTrailerTemplate = "mtf_trailer.dat";

// Gets (-m g) or puts (-m p, "pd" deletes the source after success) the
// file -n with the backup client, in gv_rw plus -t (get) or -s (put), or
// "work". Status of the client with -n as message, 1 for option and
// directory errors, 2 when -n or the directory would leave its place.
JobResult FILE_COPY();

// Copies the header and trailer templates of gszRwIni to
// gszRwWork/smslis/<cpSaveset>.hdr and .trl. 0 "copy ok"; 1 with "could not
// open file %s to read" / "to write"; 2 when the saveset is not a plain name.
int i_COPY_MTF_HDR_TRL(const std::string& cpSaveset, std::string& cpMsg);
JobResult copy_header_trailer();
