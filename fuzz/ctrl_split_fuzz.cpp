// Feeds arbitrary command lines to the client's word splitter and checks
// that the words survive the trip over the wire when none holds the word
// separator.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "remote/ctrl_wire.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view line(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> words = ctrlc_split_command(line);
    if (words.empty() || words.size() > kCtrlCommandMax + 1) std::abort();
    size_t total = 0;
    bool separator = false;
    for (const std::string& w : words) {
        total += w.size();
        separator |= w.find(kWireWordSep) != std::string::npos;
    }
    if (total > kCtrlCommandMax) std::abort();
    if (!separator && ctrld_split_wire(ctrlc_join_words(words)) != words) std::abort();
    return 0;
}
