// The media-server configuration job ('c'): sms.ini rewritten for a new set
// of drives described in the variable store.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "frontend/dispatch.hpp"

constexpr int kSmsDrivesMax = 200;
constexpr size_t kSmsMsgMax = 255;

// One "gv_client_c_<i>" value: six fields separated by white space.
struct DriveDescription {
    std::string number;         // names the disk device file "disk<number>"
    std::string device;         // device; a disk changer's directory
    std::string device_type;    // at most 15 characters, as the three types
    std::string drive_type;     // "DISK_CHNG", "DISK_HARD" or a tape type
    std::string tapemark_type;  // written as Tapemark_Type_<i>
    int channels = 0;           // parallel streams of the drive

    bool disk() const { return drive_type.find("DISK_") != std::string::npos; }
    bool changer() const { return disk() && drive_type.size() > 5 && drive_type[5] == 'C'; }
};

// Parses a description. False when a field is missing or too wide, the
// channels are no number, or the drive number is no plain file-name part.
bool parse_drive_description(const std::string& value, DriveDescription& d);

// The new sms.ini: head is the device, disk and tape sections, rest what
// the old file holds after its first "Tape]" line (tape marks dropped, the
// first streams line replaced by one per drive). Every line ends in '\n'.
struct SmsIni {
    std::string head, rest;
};
// False (out untouched) when old has no line containing "Tape]".
bool build_sms_ini(const std::string& old, const std::vector<DriveDescription>& drives,
                   const std::string& rw_ini, SmsIni& out);

// Rewrites <gszRwIni>sms.ini for the -d drives: every description is
// consumed and checked before any file changes; sms.ini is replaced
// atomically (owner and mode kept), then the disk device files are renewed
// and the media server reloaded. 0 or 1 with cpMsg (at most 255 characters).
int i_CONFIGURE_SMS_INI(const std::string& cpDrives, std::string& cpMsg);

// Writes the device file cpRwIni+cpDevName ("<cpLine>\n<cpCapac>\n"),
// atomically; an existing file is kept when cpLine is "empty". A failure is
// traced only.
void CREATE_DISK_DEVICE_FILE(const std::string& cpDevName, const std::string& cpLine,
                             const std::string& cpRwIni, const std::string& cpCapac);

// Called at each step of a rewrite: "written" (new file complete, not yet
// in place), "renamed" (in place), "devices" (device files renewed). Tests
// stop the process there; empty: none.
using ConfigureStepHook = std::function<void(const char* step)>;
void set_configure_step_hook(ConfigureStepHook hook);

// The 'c' handler: i_CONFIGURE_SMS_INI with -d.
JobResult configure_sms();
