// The drive information board "info.dat" in the directory of "gv_rw_info":
// one entry line (and maybe a continuation line) per drive and kind, sorted
// by drive number, shared by every process of the node.
#pragma once

#include <string>

constexpr size_t kBoardTextMax = 511;  // time, "# " and the text
constexpr size_t kBoardSplitAt = 124;  // entry texts this long or longer are split
constexpr size_t kBoardContMax = 149;  // continuation text
constexpr int kBoardDriveMax = 999;    // the three-column number field

// The entry text for the time of day hhmmss ("hh:mm:ss") and info: line
// ends become blanks, cut to 511 characters.
std::string board_entry_text(const std::string& hhmmss, const std::string& info);

// Splits an entry text of 124 characters or more at the last blank between
// index 114 and 123 (else at 123): the first part stays in text, the rest
// (cut to 149 characters) is returned; "" when no split is needed.
std::string board_split(std::string& text);

// The board old with the entry of kind (S or M, any case; anything else is
// M) for drive dn put in its place: sorted by drive, S before M, replacing
// the drive's old entry of that kind; malformed lines are dropped.
std::string board_merge(const std::string& old, char kind, int dn, const std::string& text,
                        const std::string& continuation);

// Puts info on the board for drive iDn (0..999) as kind cSorM, replacing the
// file atomically under the semaphore "ctrl_info". 1 when updated; 0 when
// gv_rw_info is not set, the drive number is out of range, or the board
// could not be written (reported on stderr).
int info(char cSorM, int iDn, const std::string& cpInfo);
