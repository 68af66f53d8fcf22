// Feeds arbitrary bytes to the end-of-input scanner in pieces whose sizes
// come from the input: what it passes on must be exactly the bytes before
// the first marker (all of them when there is none, less a held-back tail
// that could begin one).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "remote/ctrl_wire.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t step = data[0] % 32 + 1;
    std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    StdinEndScanner scanner;
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += step) scanner.feed(bytes.substr(i, step), out);
    size_t end = bytes.find(kStdinEndMarker);
    if (end != std::string_view::npos) {
        if (!scanner.ended() || out != bytes.substr(0, end)) std::abort();
    } else {
        if (scanner.ended()) std::abort();
        if (out.size() > bytes.size() || bytes.size() - out.size() >= kStdinEndMarker.size()) std::abort();
        if (out != bytes.substr(0, out.size())) std::abort();
    }
    return 0;
}
