#include "config/environ.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "ini/ini.hpp"
#include "util/strings.hpp"

namespace {

constexpr size_t kIniValueSize = 512;
constexpr size_t kIniMsgSize = 512;
constexpr const char* kDefaultPgsqlBin = "/usr/local/pgsql/bin/";
constexpr const char* kNovellLib = "/opt/novell/lib";

// putenv keeps the pointer it is given: every assignment lives in a buffer
// that is never freed, one per variable, overwritten by the next change.
bool put(std::unique_ptr<char[]>& slot, size_t size, const std::string& assignment) {
    // The old buffer stays the live entry until putenv has replaced it.
    auto fresh = std::make_unique<char[]>(size);
    std::snprintf(fresh.get(), size, "%s", assignment.c_str());
    if (::putenv(fresh.get()) != 0) return false;
    slot.swap(fresh);
    return true;
}

std::unique_ptr<char[]> gPathBuf, gLdBuf, gRdaBuf, gPortBuf;

// Does marker occur at a position before the end of the program word?
bool in_program_word(const std::string& text, size_t word_end, const char* marker) {
    size_t pos = text.find(marker);
    if (pos == std::string::npos) return false;
    // Without a blank only a marker at the very start counts.
    if (word_end == std::string::npos) return pos == 0;
    return pos < word_end;
}

bool read_ini(const char* section, const char* key, std::string& value, std::string& msg) {
    return i_READ_INI(nullptr, section, key, value, kIniValueSize, msg, kIniMsgSize) == 1;
}

// Removes every PG* variable the agent inherited, except PGPORT when the
// configuration sets it: a caller's PGHOST, PGOPTIONS or PGDATESTYLE must not
// steer the database clients the agent starts.
void drop_inherited_pg_variables(bool keep_port) {
    std::vector<std::string> names;
    for (char** e = environ; e && *e; ++e) {
        std::string_view entry(*e);
        if (entry.rfind("PG", 0) != 0) continue;
        std::string name(entry.substr(0, entry.find('=')));
        if (!(keep_port && name == "PGPORT")) names.push_back(std::move(name));
    }
    for (const auto& n : names) ::unsetenv(n.c_str());
}

}  // namespace

CommandClass classify_command(const std::string& cpSystemCall) {
    std::string text = cut(cpSystemCall, kEnvCommandMax);
    size_t start = text.find_first_not_of(' ');
    text = start == std::string::npos ? std::string() : text.substr(start);
    lowercase(text);
    size_t blank = text.find(' ');
    CommandClass c;
    c.db = in_program_word(text, blank, "sm_db ") || in_program_word(text, blank, "damisql") ||
           in_program_word(text, blank, "psql");
    c.sms = in_program_word(text, blank, "sm_sms_interface ");
    c.netware = in_program_word(text, blank, "netware");
    return c;
}

int i_setenv_zarvo(const std::string& cpSystemCall) {
    const CommandClass cls = classify_command(cpSystemCall);
    std::string value, msg;

    if (i_GET_ROOT_FOR_INI("OPENRDA_INI", value, kIniValueSize, msg, kIniMsgSize) == 1) {
        const char* cur = std::getenv("OPENRDA_INI");
        if (!cur || value != cur) {
            std::string a = "OPENRDA_INI=" + value;
            if (!put(gRdaBuf, kEnvValueSize, a)) {
                std::printf("error in putenv %s\n", cut(a, kEnvValueSize - 1).c_str());
                return 0;
            }
        }
    } else if (cls.db) {
        std::printf("key OPENRDA_INI not found in /etc/zarvo2000.ini\n");
        return 0;
    }

    value.clear();
    const bool port_configured = read_ini("[SERVER]", "gv_port_db", value, msg);
    drop_inherited_pg_variables(port_configured);
    if (port_configured) {
        const char* cur = std::getenv("PGPORT");
        if (!cur || value != cur) {
            std::string a = "PGPORT=" + value;
            if (!put(gPortBuf, kEnvValueSize, a)) {
                std::printf("error in putenv %s\n", cut(a, kEnvValueSize - 1).c_str());
                return 0;
            }
        }
    } else if (cls.db) {
        std::printf("key gv_port_db not found in sm.ini\n");
        return 0;
    }

    std::string ro_bin, ro_sms, ro_db, ro_pgsql;
    if (!read_ini("[PATHES]", "gv_ro_bin", ro_bin, msg)) return 0;
    if (cls.sms) {
        msg.clear();
        if (!read_ini("[PATHES]", "gv_ro_sms", ro_sms, msg)) {
            std::printf("error in i_READ_INI gv_ro_sms %s\n", msg.c_str());
            return 0;
        }
    }
    if (cls.db) {
        msg.clear();
        if (!read_ini("[PATHES]", "gv_ro_db", ro_db, msg)) {
            std::printf("error in i_READ_INI gv_ro_db %s\n", msg.c_str());
            return 0;
        }
        if (!read_ini("[PATHES]", "gv_ro_pgsql", ro_pgsql, msg)) ro_pgsql = kDefaultPgsqlBin;
    }

    const char* cur_path = std::getenv("PATH");
    if (!cur_path) {
        std::printf("error in getenv PATH\n");
        return 0;
    }
    const std::string path = cur_path;
    // Only what is not yet anywhere in PATH is appended; repeated calls are
    // therefore no-ops after the first.
    auto part = [&](const std::string& dir) {
        return (dir.empty() || path.find(dir) != std::string::npos) ? std::string() : ":" + dir;
    };
    const std::string p_bin = part(ro_bin), p_db = part(ro_db), p_pgsql = part(ro_pgsql),
                      p_sms = part(ro_sms);
    const std::string added = p_bin + p_db + p_pgsql + p_sms;
    if (!added.empty()) {
        std::string a = "PATH=" + path + added;
        if (a.size() + 1 > kEnvPathSize) {
            std::printf("iStrLenRoBin = %d (0 means that string already in PATH)\n", int(p_bin.size()));
            std::printf("iStrLenRoDb  = %d (0 means that string already in PATH)\n", int(p_db.size()));
            std::printf("iStrLenRoPgsql = %d (0 means that string already in PATH)\n", int(p_pgsql.size()));
            std::printf("iStrLenRoSms = %d (0 means that string already in PATH)\n", int(p_sms.size()));
            std::printf("iStrLenPath  = %d\n", int(path.size()));
            std::printf("iSizeOfPath  = %d\n", int(kEnvPathSize));
            std::printf("length of string is not sufficient\n");
            return 0;
        }
        if (!put(gPathBuf, kEnvPathSize, a)) {
            std::printf("error in putenv %s", a.c_str());
            return 0;
        }
    }

    if (cls.netware) {
        const char* cur = std::getenv("LD_LIBRARY_PATH");
        std::string ld = cur ? cur : "";
        std::printf("check LD_LIBRARY_PATH=%s\n", ld.c_str());
        if (!cur) std::printf("didn't get LD_LIBRARY_PATH\n");
        if (ld.find(kNovellLib) == std::string::npos) {
            std::string a = "LD_LIBRARY_PATH=" + ld + ":" + kNovellLib;
            if (!put(gLdBuf, kEnvLdPathSize, a)) {
                std::printf("error in putenv %s\n", cut(a, kEnvLdPathSize - 1).c_str());
                return 0;
            }
            std::printf("set %s\n", cut(a, kEnvLdPathSize - 1).c_str());
        }
    }
    return 1;
}
