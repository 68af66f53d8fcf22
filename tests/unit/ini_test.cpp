#include "ini/ini.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <tuple>

#include "installation_env.hpp"

using testsupport::write_file;

namespace {

class IniFile : public ::testing::Test {
   protected:
    std::string file(const std::string& name, const std::string& content) {
        const std::string p = env.sb.path("rw/tmp/" + name);
        write_file(p, content);
        return p;
    }
    int get(const std::string& path, const char* section, const char* key, std::string& value,
            std::string& msg, size_t len = 1024) {
        return i_GetPrivateProfileString(path.c_str(), section, key, value, len, msg, 256);
    }
    InstallationEnv env;
};

}  // namespace

TEST_F(IniFile, SyntaxRulesAndReferences) {
    const std::string p =
        file("a.ini",
             "# comment\n\n"
             "[DEFAULT]\nbase=/opt/def\n"
             "[pathes]\ngv_ro_bin=/bin/\ngv_ro=/ro/\nMixed=Keep Case   \nlead=  two\n"
             "blanks=   \nhash=a#b\ntab=x\t\nempty=\nspaced =no\n"
             "dup=first\ndup=second\n"
             "[Other]\nonly_later=1\n"
             " [S]\nk=wrong\n"
             "[S] trailing words\nlong=" +
                 std::string(1018, 'x') +
                 "evil=1\n"
                 "k=right\nroot=/data\na=%(root)/sub\nb=%(base)/x\n"
                 "c=pre%(root)mid%(root)\nd=%(nowhere)/x\ne=%(a)/deeper\nf=%(root/unclosed\n"
                 "loop=%(loop)\n");
    const std::string kNotFound = "i_GetPrivateProfileString: KEY NOT FOUND";
    // Section, key, result, and the value or (when the result is 0) the message.
    const std::tuple<const char*, const char*, int, std::string> cases[] = {
        // Header and key match regardless of case; the value keeps the file's case.
        {"[PATHES]", "MIXED", 1, "Keep Case"},
        {"[Pathes]", "gv_ro", 1, "/ro/"},  // not a prefix match of "gv_ro_bin="
        {"[Pathes]", "lead", 1, "  two"},
        {"[Pathes]", "blanks", 1, "   "},  // only blanks: unchanged
        {"[Pathes]", "hash", 1, "a#b"},
        {"[Pathes]", "tab", 1, "x\t"},  // tabs are not trimmed
        {"[Pathes]", "dup", 1, "first"},
        {"[Pathes]", "empty", 0, "i_GetPrivateProfileString: KEY VALUE NOT FOUND."},
        {"[Pathes]", "spaced", 0, kNotFound + " [Pathes]spaced"},
        // The section ends at the next "[": keys after it are not in the section.
        {"[Pathes]", "only_later", 0, kNotFound + " [Pathes]only_later"},
        // Without a section the first entry anywhere counts.
        {nullptr, "only_later", 1, "1"},
        {"", "nothing", 0, kNotFound + ": nothing"},
        {"[Missing]", "x", 0, "i_GetPrivateProfileString: SECTION NOT FOUND: [missing]."},
        // A header may not be indented but may carry words after it. An over-long line is cut
        // and its tail does not pose as an entry of its own.
        {"[S]", "k", 1, "right"},
        {"[S]", "long", 1, std::string(1018, 'x')},
        {nullptr, "evil", 0, kNotFound + ": evil"},
        // References: from the section, else [DEFAULT]; only the first is
        // replaced; a value that refers on is resolved in turn.
        {"[S]", "a", 1, "/data/sub"},
        {"[S]", "b", 1, "/opt/def/x"},
        {"[S]", "c", 1, "pre/datamid%(root)"},
        {"[S]", "d", 0, kNotFound + " [DEFAULT]nowhere"},
        {"[S]", "e", 1, "/data/sub/deeper"},
        {"[S]", "f", 1, "%(root/unclosed"},  // malformed: literal
    };
    for (const auto& [section, key, rc, want] : cases) {
        std::string v, m;
        EXPECT_EQ(get(p, section, key, v, m), rc) << key;
        EXPECT_EQ(rc ? v + m : m, want) << key;  // no message on success
    }
    std::string v, m;
    EXPECT_EQ(get(p, "[S]", "loop", v, m), 0);  // bounded, not endless

    const std::string none = env.sb.path("rw/tmp/none.ini");
    EXPECT_EQ(get(none, "[X]", "x", v, m), 0);
    EXPECT_EQ(m, "i_GetPrivateProfileString: FILE NOT FOUND OR ACCESS PROBLEM: " + none + ".");
    EXPECT_EQ(i_GetPrivateProfileString("", "[X]", "x", v, 10, m, 256), 0);
    EXPECT_EQ(m, "i_GetPrivateProfileString: FILE NOT FOUND OR ACCESS PROBLEM.");
    // Values and messages are cut to their buffers.
    ASSERT_EQ(get(p, "[PATHES]", "MIXED", v, m, 5), 1);
    EXPECT_EQ(v, "Keep");
    EXPECT_EQ(i_GetPrivateProfileString(p.c_str(), "[S]", "zz", v, 10, m, 20), 0);
    EXPECT_EQ(m, "i_GetPrivateProfile");
}

TEST_F(IniFile, RootFileSlotsAndReadIni) {
    const std::string cfg = file("sm.ini", "[Pathes]\ngv_rw=/rw/\n");
    std::string v, m = "untouched";
    setenv("ZARVO_INI", file("root.ini", "SM_INI=" + cfg + "\n").c_str(), 1);
    ASSERT_EQ(i_READ_INI("", "[Pathes]", "gv_rw", v, 512, m, 256), 1);
    EXPECT_EQ(v, "/rw/");
    EXPECT_EQ(m, "untouched");  // left as it was on success
    EXPECT_EQ(i_READ_INI(nullptr, "[Pathes]", "gv_ro", v, 512, m, 256), 0);
    EXPECT_EQ(m, "i_READ_INI: i_GetPrivateProfileString: KEY NOT FOUND: gv_ro");

    // A root file without the identifier falls through to the fixed slots (absent here).
    setenv("ZARVO_INI", file("lacking.ini", "OTHER=x\n").c_str(), 1);
    EXPECT_EQ(i_GET_ROOT_FOR_INI("SM_INI", v, 1024, m, 256), 0);
    EXPECT_EQ(v, "");
    EXPECT_EQ(m, "i_GET_ROOT_FOR_INI: NO ZARVO CONFIGURATION FILE FOUND: /etc/opt/zarvo/zarvo.ini");
    EXPECT_EQ(i_READ_INI("", "[Pathes]", "gv_rw", v, 512, m, 256), 0);
    EXPECT_EQ(m, "i_READ_INI: SM_INI");
}
