// Stored password texts agree with an independent Blowfish (vectors from
// crypt_vectors.py), read back at every length, and survive malformed input.
#include "util/crypt.hpp"

#include <gtest/gtest.h>

#include <random>

namespace {

struct Vector {
    std::string password, phrase;
    unsigned char b;  // the byte the vector is drawn from
    std::string text;
};

// Lengths 0, 1, 3 (2 padding bytes), 4 (8 padding bytes), 7, 6 with bytes
// above 127 and quotes, 31 (the longest) under a phrase cut at 128.
const Vector kVectors[] = {
    {"", "SAVE1", 0x00, "0000000000000000fa5a367eec6c099b"},
    {"x", "SAVE1", 0x5a, "5a65707b86919ca72bf577f03e74c627"},
    {"abc", "SAVE1", 0x5a, "5a65707b86919ca75530b23149d29a0f"},
    {"pass", "SAVE1", 0xff, "ff1e3d5c7b9ab9d8e3f4e200eacf39d0a66335172ed5d79c"},
    {"seven77", "phrase", 0x13, "131517191b1d1f215cb30ec9d23bf0697ffe546affec4607"},
    {"\xe9t\xe9 \x22'", "\xc3\xa9t\xc3\xa9", 0x80, "8090a0b0c0d0e0f0794faf8235e9e76d1bd7fa5a3c7423f2"},
    {std::string(31, 'A'), std::string(128, 'L') + "ignored beyond 128", 0x07,
     "07070707070707074be26562e8720d04d280eaaaf868fa9862eae59d496d98b34a88b9a34839cea59d9505502c40a708"
     "2351ef25e863cb7d7c80afde943ee183b3a07c8d231ae8fe"},
};

std::string hex(const CbcIv& iv) {
    char buf[17];
    for (size_t i = 0; i < iv.size(); ++i) snprintf(buf + 2 * i, 3, "%02x", iv[i]);
    return buf;
}

std::string decrypt(const std::string& text, const std::string& phrase) {
    std::string out = "stale";
    EXPECT_EQ(0, zbc_decrypt_password(out, text, phrase));
    return out;
}

TEST(Crypt, KnownAnswers) {
    for (const auto& v : kVectors) {
        const CbcIv iv = bf_iv_from_byte(v.b);
        EXPECT_EQ(v.text.substr(0, 16), hex(iv)) << "vector of byte " << int(v.b);
        std::string out = "stale";
        ASSERT_EQ(0, zbc_encrypt_password_iv(out, v.password, v.phrase, iv));
        EXPECT_EQ(v.text, out) << v.password;
        EXPECT_EQ(iv, cbc_iv);
        EXPECT_EQ(v.password, decrypt(v.text, v.phrase));
    }
}

// Random characters (any byte but NUL) at every length, with the drawn vector.
TEST(Crypt, RoundTripsAtEveryLength) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> byte(1, 255);
    for (size_t n = 1; n <= kCryptMaxPassword; ++n) {
        std::string pw;
        for (size_t i = 0; i < n; ++i) pw += static_cast<char>(byte(rng));
        std::string text;
        ASSERT_EQ(0, zbc_encrypt_password(text, pw, "SAVESET_7"));
        EXPECT_EQ(16 + 2 * (2 * n / 8 * 8 + 8), text.size()) << n;
        EXPECT_EQ(hex(cbc_iv), text.substr(0, 16));
        EXPECT_EQ(bf_iv_from_byte(cbc_iv[0]), cbc_iv);
        EXPECT_EQ(pw, decrypt(text, "SAVESET_7")) << n;
        EXPECT_NE(pw, decrypt(text, "SAVESET_8")) << n;
    }
    std::string out = "untouched";
    EXPECT_EQ(-1, zbc_encrypt_password(out, std::string(kCryptMaxPassword + 1, 'p'), "SAVESET_7"));
    EXPECT_EQ("untouched", out);
}

TEST(Crypt, MalformedTextsDecryptWithoutHarm) {
    const std::string abc = kVectors[2].text, iv = abc.substr(0, 16), longest = kVectors[6].text;
    std::string spaced, upper;
    for (size_t i = 0; i < abc.size(); i += 2) spaced += "  " + abc.substr(i, 2);
    for (char c : abc) upper += static_cast<char>(toupper(c));
    const struct {
        std::string text, phrase, want;
    } cases[] = {
        {"", "SAVE1", ""},
        {"0102", "SAVE1", ""},  // not even a whole vector
        {spaced, "SAVE1", "abc"},
        {upper, "SAVE1", "abc"},
        {abc + "7", "SAVE1", "abc"},  // a lone last digit
        // Digits beyond the longest text the decoder reads are ignored.
        {longest + std::string(400, 'e'), kVectors[6].phrase,
         decrypt(longest + std::string(kCryptMaxHexDigits - longest.size(), 'e'), kVectors[6].phrase)},
        // An invalid pair is read as "ff".
        {iv + "zz1zzz" + abc.substr(22), "SAVE1", decrypt(iv + "ff1fff" + abc.substr(22), "SAVE1")},
    };
    for (const auto& c : cases) EXPECT_EQ(c.want, decrypt(c.text, c.phrase)) << c.text;
    EXPECT_NE("abc", decrypt(iv + "ff1fff" + abc.substr(22), "SAVE1"));
}

TEST(Crypt, HexToDec) {
    const std::pair<const char*, int> cases[] = {
        {"ff", 255},
        {"FF", 255},
        {"aB", 171},
        {"09", 9},
        {"", 0},
        {"1000", 4096},
        {"fffffff", 0xfffffff},
        {"g1", -1},
        {"1g", -1},
        {" 1", -1},
        {"ffffffff", -1},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(want, HexToDec(text)) << '"' << text << '"';
}

}  // namespace
