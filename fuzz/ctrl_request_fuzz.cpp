// Feeds arbitrary bytes to the daemon's request reader, cut into pieces
// whose sizes come from the input, and checks that the cut changes nothing.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "remote/ctrl_wire.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t step = data[0] % 16 + 1;
    std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    CtrlRequestLimits lim{5, 16, 64};
    CtrlRequestReader whole(lim), pieces(lim);
    CtrlRequestReader::Status a = whole.feed(bytes), b = CtrlRequestReader::NeedMore;
    for (size_t i = 0; i < bytes.size(); i += step) b = pieces.feed(bytes.substr(i, step));
    if (bytes.empty()) b = pieces.feed({});
    if (a != b) std::abort();
    if (a == CtrlRequestReader::Error && whole.error() != pieces.error()) std::abort();
    if (a == CtrlRequestReader::Done) {
        const CtrlRequest &x = whole.request(), &y = pieces.request();
        if (x.second_port != y.second_port || x.user != y.user || x.command != y.command) std::abort();
        if (whole.rest() != pieces.rest()) std::abort();
        if (x.user.size() > lim.user_max || x.command.size() > lim.command_max || x.user.empty())
            std::abort();
        if (x.second_port < 0 || x.second_port > 65535) std::abort();
    }
    return 0;
}
