// Stored passwords handed on to other programs: a password kept in the
// database under the built-in pass phrase is re-encrypted under a phrase
// that the receiving program knows.
#pragma once

#include <string>

#include "log/trace.hpp"

// Decrypts the stored text cpKey under the built-in phrase and encrypts the
// password under cpPassword into cpEncrypt (replaced). 1; 0 (cpEncrypt
// empty) when the stored password is too long to be encrypted again.
int i_ZBC_ENCRYPT(const std::string& cpKey, const std::string& cpPassword, std::string& cpEncrypt,
                  str_log strLog);

// Looks up the password and user name of client cpClient in "clients". A
// row fills cpBackupUser; a stored password sets cpEncryptedSource to "{TEXT}"
// with the password encrypted under cpSaveset (empty when that fails). No
// row, an empty or "NULL" password, or a failed query leave
// cpEncryptedSource untouched (a failed query also cpBackupUser). Returns 0.
int i_GET_NETWARE_PASSWORD(const std::string& cpClient, std::string& cpBackupUser,
                           const std::string& cpSaveset, std::string& cpEncryptedSource, str_log strLog);
