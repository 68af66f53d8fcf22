#include "log/lang.hpp"

LANGUAGES eLang = LANG_EN;

const char* pick(const LangText& t) {
    const char* s = nullptr;
    switch (eLang) {
        case LANG_DE: s = t.de; break;
        case LANG_BA: s = t.ba; break;
        case LANG_FR: s = t.fr; break;
        default: break;
    }
    return s ? s : t.en;
}
