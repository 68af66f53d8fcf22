#include "ini/ini.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/strings.hpp"

namespace {

// Reads one line of at most kIniLineBuf-1 bytes (newline included). The rest
// of a longer line is skipped, so it can never pose as an entry of its own.
bool read_line(FILE* f, std::string& line) {
    char buf[kIniLineBuf];
    if (!std::fgets(buf, sizeof buf, f)) return false;
    line.assign(buf);
    if (!line.empty() && line.back() != '\n' && !std::feof(f)) {
        int c;
        while ((c = std::fgetc(f)) != EOF && c != '\n') {
        }
    }
    return true;
}

bool starts_with(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

void set_msg(std::string& cpMsg, size_t iLengthMsg, const std::string& text) {
    cpMsg = cut(text, iLengthMsg > 0 ? iLengthMsg - 1 : 0);
}

int read_key(const char* cpFilename, const char* cpSection, const char* cpKey, std::string& cpValue,
             size_t iLengthValue, std::string& cpMsg, size_t iLengthMsg, int depth) {
    std::string msg;  // the message work buffer
    auto finish = [&](int rc) {
        set_msg(cpMsg, iLengthMsg, msg);
        return rc;
    };

    if (!cpFilename || !*cpFilename) {
        msg = "i_GetPrivateProfileString: FILE NOT FOUND OR ACCESS PROBLEM.";
        return finish(0);
    }
    FILE* f = std::fopen(cpFilename, "re");
    if (!f) {
        msg = sformat("i_GetPrivateProfileString: FILE NOT FOUND OR ACCESS PROBLEM: %s.", cpFilename);
        return finish(0);
    }

    enum { kNoSection, kLooking, kInSection } state;
    const bool no_section = !cpSection || !*cpSection;
    std::string section = no_section ? "NULL_BUFFER" : cut(cpSection, kIniSectionMax);
    std::string key = cpKey ? cut(cpKey, kIniKeyMax) : std::string();
    std::string search = key + "=";
    state = no_section ? kNoSection : kLooking;
    if (!no_section) lowercase(section);
    lowercase(search);

    std::string line, lower;
    bool found = false;
    while (read_line(f, line)) {
        if (!i_REMOVE_COMMENT(line)) continue;
        lower = line;
        lowercase(lower);
        if (state == kLooking) {
            if (starts_with(lower, section)) state = kInSection;
            continue;
        }
        if (state == kInSection && lower[0] == '[') {
            msg = sformat("i_GetPrivateProfileString: KEY NOT FOUND %s%s", cpSection, key.c_str());
            std::fclose(f);
            return finish(0);
        }
        if (starts_with(lower, search)) {
            found = true;
            break;
        }
    }
    std::fclose(f);

    if (!found) {
        if (state == kLooking)
            msg = sformat("i_GetPrivateProfileString: SECTION NOT FOUND: %s.", section.c_str());
        else
            msg = sformat("i_GetPrivateProfileString: KEY NOT FOUND: %s", key.c_str());
        return finish(0);
    }

    // The value keeps the file's letter case; trailing blanks go unless the
    // value is nothing but blanks.
    std::string value = line.substr(line.find('=') + 1);
    size_t last = value.find_last_not_of(' ');
    if (last != std::string::npos) value.resize(last + 1);

    std::string ref;
    size_t pre_end = 0, post_begin = 0;
    if (c_PARSE_FOR_PARENTHESES(value, ref, pre_end, post_begin)) {
        if (depth >= kIniMaxReferenceDepth) {
            msg = sformat("i_GetPrivateProfileString: REFERENCE TOO DEEP: %s", ref.c_str());
            return finish(0);
        }
        std::string looked, ref_msg;
        const char* sect = no_section ? nullptr : cpSection;
        int ok =
            read_key(cpFilename, sect, ref.c_str(), looked, iLengthValue, ref_msg, iLengthMsg, depth + 1);
        if (!ok)
            ok = read_key(cpFilename, "[DEFAULT]", ref.c_str(), looked, iLengthValue, ref_msg, iLengthMsg,
                          depth + 1);
        if (!ok) {
            msg = ref_msg;
            return finish(0);
        }
        std::string pre = pre_end == std::string::npos ? std::string() : value.substr(0, pre_end + 1);
        value = pre + looked + value.substr(std::min(post_begin, value.size()));
        if (value.size() > kIniLineBuf - 1) value.resize(kIniLineBuf - 1);
    }

    cpValue = cut(value, iLengthValue > 0 ? iLengthValue - 1 : 0);
    if (cpValue.empty()) {
        msg = "i_GetPrivateProfileString: KEY VALUE NOT FOUND.";
        return finish(0);
    }
    return finish(1);
}

}  // namespace

int i_REMOVE_COMMENT(std::string& cpLine) {
    if (!cpLine.empty() && cpLine.back() == '\n') cpLine.pop_back();
    return (cpLine.empty() || cpLine[0] == '#') ? 0 : 1;
}

bool c_PARSE_FOR_PARENTHESES(const std::string& cpString, std::string& key, size_t& uipPreEnd,
                             size_t& uipPostBegin) {
    size_t open = cpString.find("%(");
    if (open == std::string::npos) return false;
    size_t close = cpString.find(')', open + 2);
    if (close == std::string::npos) return false;  // malformed: the text stays literal
    key = cpString.substr(open + 2, close - open - 2);
    uipPreEnd = open == 0 ? std::string::npos : open - 1;
    uipPostBegin = close + 1;
    return true;
}

int i_GetPrivateProfileString(const char* cpFilename, const char* cpSection, const char* cpKey,
                              std::string& cpValue, size_t iLengthValue, std::string& cpMsg,
                              size_t iLengthMsg) {
    return read_key(cpFilename, cpSection, cpKey, cpValue, iLengthValue, cpMsg, iLengthMsg, 0);
}

int i_GET_ROOT_FOR_INI(const char* cpIdentifier, std::string& cpValue, size_t iLengthValue,
                       std::string& cpMsg, size_t iLengthMsg) {
    cpValue.clear();
    std::string slots[3] = {"/etc/zarvo2000.ini", "/etc/opt/zarvo/zarvo.ini", ""};
    int highest = 1;
    if (const char* env = std::getenv("ZARVO_INI")) {
        slots[2] = cut(env, kRootPathMax);
        highest = 2;
    }
    for (int i = highest; i >= 0; --i) {
        std::string value, scratch;
        if (i_GetPrivateProfileString(slots[i].c_str(), nullptr, cpIdentifier, value, iLengthValue, scratch,
                                      iLengthMsg)) {
            cpValue = value;
            return 1;
        }
    }
    set_msg(cpMsg, iLengthMsg,
            sformat("i_GET_ROOT_FOR_INI: NO ZARVO CONFIGURATION FILE FOUND: %s", slots[highest - 1].c_str()));
    return 0;
}

int i_READ_INI(const char* cpIdentifier, const char* cpSection, const char* cpKey, std::string& cpValue,
               size_t iLengthValue, std::string& cpMsg, size_t iLengthMsg) {
    cpValue.clear();
    const char* id = (cpIdentifier && *cpIdentifier) ? cpIdentifier : "SM_INI";
    std::string file, msg;
    if (!i_GET_ROOT_FOR_INI(id, file, kIniLineBuf, msg, 256)) {
        set_msg(cpMsg, iLengthMsg, sformat("i_READ_INI: %s", id));
        return 0;
    }
    std::string value;
    if (!i_GetPrivateProfileString(file.c_str(), cpSection, cpKey, value, kIniLineBuf, msg, 256)) {
        set_msg(cpMsg, iLengthMsg, sformat("i_READ_INI: %s", msg.c_str()));
        return 0;
    }
    cpValue = cut(value, iLengthValue > 0 ? iLengthValue - 1 : 0);
    return 1;
}
