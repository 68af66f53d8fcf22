// OpenSSL's low-level Blowfish calls are deprecated in 3.0 but are the
// cipher of every stored password text.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "util/crypt.hpp"

#include <openssl/blowfish.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

CbcIv cbc_iv{};

namespace {

constexpr size_t kMaxBlock = 2 * kCryptMaxPassword / 8 * 8 + 8;  // 64
constexpr size_t kMaxTextBytes = kCryptMaxHexDigits / 2;         // 78: vector + 70
constexpr size_t kScanLimit = kCryptMaxHexDigits;                // bytes the recovery scan looks at

// A Blowfish key schedule from the SHA-1 digest of the phrase; wiped on scope exit.
struct BfKey {
    BF_KEY ks{};
    explicit BfKey(const std::string& phrase) {
        unsigned char md[20];
        unsigned int len = 0;
        const size_t n = phrase.size() < kCryptMaxPhrase ? phrase.size() : kCryptMaxPhrase;
        // SHA-1 cannot fail on a memory buffer with the built-in provider;
        // if it did, an all-zero key would still give a readable text.
        if (!EVP_Digest(phrase.data(), n, md, &len, EVP_sha1(), nullptr) || len != sizeof md)
            std::memset(md, 0, sizeof md);
        BF_set_key(&ks, sizeof md, md);
        OPENSSL_cleanse(md, sizeof md);
    }
    ~BfKey() { OPENSSL_cleanse(&ks, sizeof ks); }
    BfKey(const BfKey&) = delete;
    BfKey& operator=(const BfKey&) = delete;
};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

CbcIv bf_iv_from_byte(unsigned char b) {
    CbcIv iv;
    for (unsigned i = 0; i < iv.size(); ++i) iv[i] = static_cast<unsigned char>(b + (b / 8) * i);
    return iv;
}

CbcIv bf_random_iv() {
    srand48(std::time(nullptr));
    return bf_iv_from_byte(static_cast<unsigned char>(lrand48() & 0xff));
}

int zbc_encrypt_password(std::string& cpEncryptedPassword, const std::string& cpPlainPassword,
                         const std::string& cpPassword) {
    return zbc_encrypt_password_iv(cpEncryptedPassword, cpPlainPassword, cpPassword, bf_random_iv());
}

int zbc_encrypt_password_iv(std::string& cpEncryptedPassword, const std::string& cpPlainPassword,
                            const std::string& cpPassword, const CbcIv& iv) {
    const size_t n = std::strlen(cpPlainPassword.c_str());  // the text ends at its first NUL
    if (n > kCryptMaxPassword) return -1;

    // Each character as a zero byte and the character, padded to the next
    // multiple of 8 with bytes holding the padding count (2, 4, 6 or 8).
    unsigned char plain[kMaxBlock] = {};
    unsigned char cipher[kMaxBlock] = {};
    const size_t padded = 2 * n / 8 * 8 + 8;
    for (size_t i = 0; i < n; ++i) plain[2 * i + 1] = static_cast<unsigned char>(cpPlainPassword[i]);
    for (size_t i = 2 * n; i < padded; ++i) plain[i] = static_cast<unsigned char>(padded - 2 * n);

    cbc_iv = iv;
    CbcIv chain = iv;  // BF_cbc_encrypt advances its vector
    {
        BfKey key(cpPassword);
        // One byte short of the block: the routine encrypts the final block
        // with its last byte taken as zero, which every stored text carries.
        BF_cbc_encrypt(plain, cipher, static_cast<long>(padded - 1), &key.ks, chain.data(), BF_ENCRYPT);
    }
    OPENSSL_cleanse(plain, sizeof plain);

    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * (iv.size() + padded));
    for (unsigned char b : iv) out += {digits[b >> 4], digits[b & 15]};
    for (size_t i = 0; i < padded; ++i) out += {digits[cipher[i] >> 4], digits[cipher[i] & 15]};
    cpEncryptedPassword = std::move(out);
    return 0;
}

int zbc_decrypt_password(std::string& cpPlainPassword, const std::string& cpEncPassword,
                         const std::string& cpPassword) {
    // The text as bytes: pairs of digits, blanks before a pair skipped.
    unsigned char text[kMaxTextBytes] = {};
    size_t bytes = 0;
    const char* p = cpEncPassword.c_str();
    while (bytes < kMaxTextBytes) {
        while (*p == ' ') ++p;
        if (p[0] == '\0' || p[1] == '\0') break;  // a lone last digit is ignored
        const char pair[3] = {p[0], p[1], '\0'};
        const int v = HexToDec(pair);
        text[bytes++] = static_cast<unsigned char>(v < 0 ? 0xff : v);
        p += 2;
    }

    // The cipher text after the vector, decrypted whole. The buffers are
    // rounded up to full blocks (a short last block is still read as 8
    // bytes) and zero beyond, as the recovery scan expects.
    CbcIv chain{};
    std::memcpy(chain.data(), text, bytes < 8 ? bytes : 8);
    const size_t clen = bytes > 8 ? bytes - 8 : 0;
    unsigned char cipher[kMaxTextBytes] = {};
    unsigned char plain[kScanLimit + 1] = {};
    std::memcpy(cipher, text + 8, clen);
    if (clen > 0) {
        BfKey key(cpPassword);
        BF_cbc_encrypt(cipher, plain, static_cast<long>(clen), &key.ks, chain.data(), BF_DECRYPT);
    }

    // Count the zero bytes up to the first byte that equals its successor
    // (the padding, or the zero at the block's end); the password is the
    // non-zero bytes among twice that many.
    size_t zeros = 0;
    for (size_t i = 0; i < kScanLimit && plain[i] != plain[i + 1]; ++i)
        if (plain[i] == 0) ++zeros;
    std::string out;
    out.reserve(kScanLimit);
    for (size_t i = 0; i < 2 * zeros && i < kScanLimit; ++i)
        if (plain[i] != 0) out += static_cast<char>(plain[i]);
    OPENSSL_cleanse(plain, sizeof plain);
    OPENSSL_cleanse(text, sizeof text);
    OPENSSL_cleanse(cipher, sizeof cipher);
    crypt_wipe(cpPlainPassword);
    cpPlainPassword = std::move(out);
    return 0;
}

int GetMultiplicant(int iPot) {
    unsigned m = 1;
    for (int i = 0; i < iPot; ++i) m *= 16;
    return static_cast<int>(m);
}

int HexToDec(const char* pcHex) {
    const size_t n = std::strlen(pcHex);
    if (n > 7) return -1;  // would not fit an int
    int value = 0;
    for (size_t i = 0; i < n; ++i) {
        const int d = hex_digit(pcHex[n - 1 - i]);
        if (d < 0) return -1;
        value += d * GetMultiplicant(static_cast<int>(i));
    }
    return value;
}

// Each value from two pieces, so that neither appears whole in the program.
std::string crypt_builtin_phrase() {
    std::string s;
    s.reserve(16);
    s.append("q7v").append("hartwell");
    return s;
}

std::string crypt_standard_password() {
    std::string s;
    s.reserve(16);
    s.append("ma").append("ple");
    return s;
}

void crypt_wipe(std::string& s) {
    if (!s.empty()) OPENSSL_cleanse(s.data(), s.size());
    s.clear();
}
