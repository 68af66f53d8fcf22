// The drive jobs of a storage node: volume labelling ('i') and tape status ('t').
#pragma once

#include "frontend/dispatch.hpp"

constexpr int kInitRunsMax = 31;
constexpr size_t kDiskChangeCmdMax = 255;

// The number that follows the label on the init command line: the label's
// last five characters (a shorter label whole) read as a decimal number up
// to the first non-digit; 0 when they do not begin with a digit.
int label_number(const std::string& label);

// Writes label -l onto the medium of device -d (block size -b) by running
// the media server's init command until it reports SUCCESS (at most 31
// runs, one second apart); for a disk changer (-t: its disk path) the
// drive's control file is written first. 0 with the command line, else 1.
JobResult INIT();

// Whether drive -d of type -t (by its sixth character: 'D' tape, 'H' fixed
// disk, else disk changer) holds a usable medium: 0 "Drive tape online",
// 2 with the reason otherwise, 1 for missing or unusable options.
JobResult TAPE_STATUS_CLIENT();
