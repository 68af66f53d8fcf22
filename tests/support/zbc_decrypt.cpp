// zbc_decrypt: reads a handed-on password ("{TEXT}" or TEXT) on stdin and
// prints it in plain text, as the directory-listing client decrypts it.
// A test tool: the listing client stand-in uses it where a test installs it.
#include <unistd.h>

#include <iostream>
#include <iterator>
#include <string>

#include "util/crypt.hpp"
#include "util/listing.hpp"

int main() {
    std::string text(std::istreambuf_iterator<char>(std::cin), {});
    while (!text.empty() && (text.back() == '\n' || text.back() == '}')) text.pop_back();
    if (!text.empty() && text.front() == '{') text.erase(0, 1);
    std::string phrase = listing::listing_client_phrase(), plain;
    zbc_decrypt_password(plain, text, phrase);
    std::cout << plain << '\n';
    crypt_wipe(phrase);
    crypt_wipe(plain);
    return std::cout ? 0 : 1;
}
