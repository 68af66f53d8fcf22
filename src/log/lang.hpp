// Message languages. Every message with texts in several languages is one
// LangText; pick() chooses by eLang and falls back to English.
#pragma once

enum LANGUAGES { LANG_EN = 0, LANG_DE = 1, LANG_BA = 2, LANG_FR = 3, LANG_HR = 4 };

// The language of protocol messages; set by v_set_log_main.
extern LANGUAGES eLang;

struct LangText {
    const char* en;
    const char* de = nullptr;  // German
    const char* ba = nullptr;  // the regional dialect of German
    const char* fr = nullptr;  // French (few messages)
};

// The text for eLang; English where the language has no text of its own.
const char* pick(const LangText& t);
