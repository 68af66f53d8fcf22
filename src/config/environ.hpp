// The environment of the commands this process starts: program directories
// appended to PATH, database settings for the SQL tool.
#pragma once

#include <string>

constexpr size_t kEnvCommandMax = 511;   // command text looked at for its class
constexpr size_t kEnvPathSize = 2048;    // "PATH=..." with its NUL
constexpr size_t kEnvLdPathSize = 1024;  // "LD_LIBRARY_PATH=..." with its NUL
constexpr size_t kEnvValueSize = 512;    // "OPENRDA_INI=...", "PGPORT=..."

// What a command needs from the environment, decided on its program word.
struct CommandClass {
    bool db = false;       // "sm_db ", "damisql" or "psql"
    bool sms = false;      // "sm_sms_interface "
    bool netware = false;  // "netware"
};

// Classifies cpSystemCall: a marker counts only when it starts before the
// first blank after the leading blanks (case-insensitive, first 511 chars).
CommandClass classify_command(const std::string& cpSystemCall);

// Prepares the process environment for running cpSystemCall: OPENRDA_INI and
// PGPORT from the configuration (every other inherited PG* variable is
// removed, and PGPORT too when gv_port_db is not configured), the bin (and database/media-server)
// directories appended to PATH once, LD_LIBRARY_PATH for NetWare commands.
// Returns 1 when ready, 0 (after a diagnostic on stdout) when the command
// must not be run. Changes stay in force for the rest of the process.
int i_setenv_zarvo(const std::string& cpSystemCall);
