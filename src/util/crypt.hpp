// Stored passwords: Blowfish in CBC mode under the SHA-1 digest of a pass
// phrase, kept as lower-case hexadecimal text (the 8-byte vector, then the
// cipher text). Keys and plain texts are wiped after use.
#pragma once

#include <array>
#include <string>

constexpr size_t kCryptMaxPassword = 31;    // longest password (64-byte plain block)
constexpr size_t kCryptMaxHexDigits = 156;  // longest text the decoder reads (78 bytes)
constexpr size_t kCryptMaxPhrase = 128;     // the pass phrase is cut to this
constexpr size_t kCryptOutWidth = 512;      // callers' output buffers

using CbcIv = std::array<unsigned char, 8>;

// The vector of the last encryption in this process.
extern CbcIv cbc_iv;

// The vector drawn from one byte b: byte i is b + (b / 8) * i, modulo 256.
CbcIv bf_iv_from_byte(unsigned char b);
// A fresh vector: lrand48 seeded with the current time, its low byte.
CbcIv bf_random_iv();

// Encrypts cpPlainPassword under pass phrase cpPassword with a fresh vector
// into cpEncryptedPassword (replaced). 0; -1 (output untouched) when the
// password is longer than kCryptMaxPassword, so that every text we write
// can be read back.
int zbc_encrypt_password(std::string& cpEncryptedPassword, const std::string& cpPlainPassword,
                         const std::string& cpPassword);
// The same with the vector given (the vector is also left in cbc_iv).
int zbc_encrypt_password_iv(std::string& cpEncryptedPassword, const std::string& cpPlainPassword,
                            const std::string& cpPassword, const CbcIv& iv);

// Decrypts the text cpEncPassword (at most kCryptMaxHexDigits digits are
// read; blanks before a pair are skipped, an invalid pair is 0xFF) under
// cpPassword into cpPlainPassword (replaced). Always 0: there is no
// integrity check, a wrong phrase or a malformed text gives garbage.
int zbc_decrypt_password(std::string& cpPlainPassword, const std::string& cpEncPassword,
                         const std::string& cpPassword);

// The value of a hexadecimal text (either case), or -1 at the first other
// character; an empty text is 0. Texts of more than 7 digits overflow.
int HexToDec(const char* pcHex);
// 16 to the power iPot (0 to 7).
int GetMultiplicant(int iPot);

// The pass phrase of the passwords stored in the system database (11
// characters) and the standard password (5 letters); callers wipe them.
std::string crypt_builtin_phrase();
std::string crypt_standard_password();

// Overwrites s's bytes with zeros (not optimised away) and empties it.
void crypt_wipe(std::string& s);
