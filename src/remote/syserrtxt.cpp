#include "remote/syserrtxt.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "util/posix.hpp"
#include "util/strings.hpp"

const tRelations g_tRelations[] = {
    {1, "STDLIB"},  {2, "WIN32 API"}, {6, "Exchange Storage Engine"}, {3, "OS/2 CP"}, {4, "SOCKET"},
    {5, "HSOCKET"}, {-1, "UNKNOWN"},
};

namespace {

char g_szSysErrText[kSysErrTextWidth];

struct HostErr {
    int code;
    const char* text;
};
const HostErr kHostErrors[] = {
    {1, "Host is unknown."},
    {2, "Local server did not receive a response from an authoritative server."},
    {3, "An unexpected server failure occurred."},
    {4, "No address is available for the name specified in the server request."},
    {0, nullptr},
};

const char* class_name(int cls) {
    const tRelations* r = g_tRelations;
    while (r->iID != -1 && r->iID != cls) ++r;
    return r->cpName;
}

void store(const std::string& s) {
    std::string t = cut(s, kSysErrTextWidth - 1);
    std::memcpy(g_szSysErrText, t.data(), t.size());
    g_szSysErrText[t.size()] = '\0';
}

}  // namespace

const char* syserrtxt(unsigned long ulSysErrCode, int iErrFlag, const char* cpAddDesc, ...) {
    g_szSysErrText[0] = '\0';
    std::string desc;
    if (cpAddDesc) {
        va_list ap;
        va_start(ap, cpAddDesc);
        desc = cut(vsformat(cpAddDesc, ap), kSysErrDescMax);
        va_end(ap);
    }
    if (ulSysErrCode == 0 || iErrFlag == 0) {
        store(ulSysErrCode != 0 ? " " + desc : desc);
        return g_szSysErrText;
    }
    int cls = iErrFlag == kErrSocket ? kErrStdlib : iErrFlag;
    const char* name = class_name(cls);
    std::string text = cls == kErrExchange ? sformat("%s error: 0x%lx - ", name, ulSysErrCode)
                                           : sformat("%s error: %lu - ", name, ulSysErrCode);
    std::string sys;
    if (cls == kErrStdlib) {
        sys = posix::errtext(static_cast<int>(ulSysErrCode));
    } else if (cls == kErrHsocket) {
        for (const HostErr* h = kHostErrors; h->code != 0; ++h)
            if (static_cast<unsigned long>(h->code) == ulSysErrCode) sys = h->text;
    }
    if (sys.empty()) {
        std::string u = sformat("Unknown error code: [%lx].", ulSysErrCode);
        if (cpAddDesc) u += " " + desc;
        store(u);
        return g_szSysErrText;
    }
    text += sys;
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    if (text.empty() || text.back() != '.') text += '.';
    if (cpAddDesc) text += " " + desc;
    store(text);
    return g_szSysErrText;
}
