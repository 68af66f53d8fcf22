#include <gtest/gtest.h>

#include <cstdlib>

#include "ini/ini.hpp"
#include "support/run.hpp"

using testsupport::write_file;

namespace {

class IniFile : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/sm_ini_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { testsupport::run({"/bin/rm", "-rf", dir}); }
    std::string file(const std::string& name, const std::string& content) {
        std::string p = dir + "/" + name;
        write_file(p, content);
        return p;
    }
    int get(const std::string& path, const char* section, const char* key, std::string& value,
            std::string& msg, size_t len = 1024) {
        return i_GetPrivateProfileString(path.c_str(), section, key, value, len, msg, 256);
    }
    std::string dir;
};

}  // namespace

TEST_F(IniFile, SyntaxRules) {
    std::string p = file("a.ini",
                         "# comment\n"
                         "\n"
                         "[pathes]\n"
                         "gv_ro_bin=/bin/\n"
                         "gv_ro=/ro/\n"
                         "Mixed=Keep Case   \n"
                         "lead=  two\n"
                         "blanks=   \n"
                         "hash=a#b\n"
                         "tab=x\t\n"
                         "cr=y\r\n"
                         "empty=\n"
                         "spaced =no\n"
                         " indented=no\n"
                         "dup=first\n"
                         "dup=second\n"
                         "[Other]\n"
                         "only_later=1\n"
                         " [S]\n"
                         "k=wrong\n"
                         "[S] trailing words\n"
                         "k=right\n");
    const std::string kNotFound = "i_GetPrivateProfileString: KEY NOT FOUND";
    struct Case {
        const char* section;
        const char* key;
        int rc;
        std::string want;  // the value, or the message when rc is 0
    };
    const Case cases[] = {
        // Header and key match regardless of case; the value keeps the file's case.
        {"[PATHES]", "MIXED", 1, "Keep Case"},
        {"[Pathes]", "gv_ro", 1, "/ro/"},  // not a prefix match of "gv_ro_bin="
        {"[Pathes]", "lead", 1, "  two"},
        {"[Pathes]", "blanks", 1, "   "},  // only blanks: unchanged
        {"[Pathes]", "hash", 1, "a#b"},
        {"[Pathes]", "tab", 1, "x\t"},  // tabs are not trimmed
        {"[Pathes]", "cr", 1, "y\r"},   // a carriage return stays
        {"[Pathes]", "dup", 1, "first"},
        {"[Pathes]", "empty", 0, "i_GetPrivateProfileString: KEY VALUE NOT FOUND."},
        {"[Pathes]", "spaced", 0, kNotFound + " [Pathes]spaced"},
        {"[Pathes]", "indented", 0, kNotFound + " [Pathes]indented"},
        // The section ends at the next "[": keys after it are not in the section.
        {"[Pathes]", "only_later", 0, kNotFound + " [Pathes]only_later"},
        // Without a section the first entry anywhere counts.
        {nullptr, "only_later", 1, "1"},
        {"", "nothing", 0, kNotFound + ": nothing"},
        {"[Missing]", "x", 0, "i_GetPrivateProfileString: SECTION NOT FOUND: [missing]."},
        // A header may not be indented but may carry words after it.
        {"[S]", "k", 1, "right"},
    };
    for (const Case& c : cases) {
        std::string v, m;
        EXPECT_EQ(get(p, c.section, c.key, v, m), c.rc) << c.key;
        EXPECT_EQ(c.rc ? v : m, c.want) << c.key;
        if (c.rc) {
            EXPECT_EQ(m, "");
        }
    }

    std::string v, m;
    EXPECT_EQ(get(dir + "/none.ini", "[X]", "x", v, m), 0);
    EXPECT_EQ(m, "i_GetPrivateProfileString: FILE NOT FOUND OR ACCESS PROBLEM: " + dir + "/none.ini.");
    EXPECT_EQ(i_GetPrivateProfileString("", "[X]", "x", v, 10, m, 256), 0);
    EXPECT_EQ(m, "i_GetPrivateProfileString: FILE NOT FOUND OR ACCESS PROBLEM.");
    // Values and messages are cut to their buffers.
    ASSERT_EQ(get(p, "[PATHES]", "MIXED", v, m, 5), 1);
    EXPECT_EQ(v, "Keep");
    EXPECT_EQ(i_GetPrivateProfileString(p.c_str(), "[S]", "zz", v, 10, m, 20), 0);
    EXPECT_EQ(m, "i_GetPrivateProfile");
}

TEST_F(IniFile, OverlongLineIsCutAndItsRestIgnored) {
    // The tail of an over-long line must not pose as an entry of its own.
    std::string longline = "long=" + std::string(1100, 'x') + "evil=1\n";
    std::string p = file("d.ini", "[S]\n" + longline + "ok=2\n");
    std::string v, m;
    ASSERT_EQ(get(p, "[S]", "long", v, m, 4096), 1);
    EXPECT_EQ(v.size(), 1023u - 5u);
    EXPECT_EQ(get(p, nullptr, "evil", v, m), 0);
    EXPECT_EQ(get(p, "[S]", "ok", v, m), 1);
}

TEST_F(IniFile, References) {
    std::string p = file("e.ini",
                         "[DEFAULT]\n"
                         "base=/opt/def\n"
                         "[S]\n"
                         "root=/data\n"
                         "a=%(root)/sub\n"
                         "b=%(base)/x\n"
                         "c=pre%(root)mid%(root)\n"
                         "d=%(nowhere)/x\n"
                         "e=%(a)/deeper\n"
                         "f=%(root/unclosed\n"
                         "loop=%(loop)\n");
    std::string v, m;
    ASSERT_EQ(get(p, "[S]", "a", v, m), 1);
    EXPECT_EQ(v, "/data/sub");
    ASSERT_EQ(get(p, "[S]", "b", v, m), 1);  // from [DEFAULT]
    EXPECT_EQ(v, "/opt/def/x");
    ASSERT_EQ(get(p, "[S]", "c", v, m), 1);  // only the first is replaced
    EXPECT_EQ(v, "pre/datamid%(root)");
    EXPECT_EQ(get(p, "[S]", "d", v, m), 0);
    EXPECT_EQ(m, "i_GetPrivateProfileString: KEY NOT FOUND [DEFAULT]nowhere");  // the [DEFAULT] lookup speaks
    ASSERT_EQ(get(p, "[S]", "e", v, m), 1);  // resolved in turn
    EXPECT_EQ(v, "/data/sub/deeper");
    ASSERT_EQ(get(p, "[S]", "f", v, m), 1);  // malformed: literal
    EXPECT_EQ(v, "%(root/unclosed");
    EXPECT_EQ(get(p, "[S]", "loop", v, m), 0);  // bounded, not endless
    // With no section the reference is looked up in the whole file.
    ASSERT_EQ(get(p, nullptr, "a", v, m), 1);
    EXPECT_EQ(v, "/data/sub");
}

TEST_F(IniFile, RootFileSlotsAndReadIni) {
    std::string cfg = file("sm.ini", "[Pathes]\ngv_rw=/rw/\n");
    std::string root = file("root.ini", "SM_INI=" + cfg + "\n");
    std::string lacking = file("lacking.ini", "OTHER=x\n");
    std::string v, m = "untouched";

    setenv("ZARVO_INI", root.c_str(), 1);
    ASSERT_EQ(i_READ_INI("", "[Pathes]", "gv_rw", v, 512, m, 256), 1);
    EXPECT_EQ(v, "/rw/");
    EXPECT_EQ(m, "untouched");  // left as it was on success
    EXPECT_EQ(i_READ_INI(nullptr, "[Pathes]", "gv_ro", v, 512, m, 256), 0);
    EXPECT_EQ(m, "i_READ_INI: i_GetPrivateProfileString: KEY NOT FOUND: gv_ro");
    EXPECT_EQ(i_READ_INI("NO_SUCH_ID", "[Pathes]", "gv_rw", v, 512, m, 256), 0);
    EXPECT_EQ(m, "i_READ_INI: NO_SUCH_ID");

    // A root file without the identifier falls through to the fixed slots,
    // which do not exist on a test machine.
    setenv("ZARVO_INI", lacking.c_str(), 1);
    EXPECT_EQ(i_GET_ROOT_FOR_INI("SM_INI", v, 1024, m, 256), 0);
    EXPECT_EQ(v, "");
    EXPECT_EQ(m, "i_GET_ROOT_FOR_INI: NO ZARVO CONFIGURATION FILE FOUND: /etc/opt/zarvo/zarvo.ini");
    EXPECT_EQ(i_READ_INI("", "[Pathes]", "gv_rw", v, 512, m, 256), 0);
    EXPECT_EQ(m, "i_READ_INI: SM_INI");
    unsetenv("ZARVO_INI");
    EXPECT_EQ(i_GET_ROOT_FOR_INI("SM_INI", v, 1024, m, 256), 0);
    EXPECT_EQ(m, "i_GET_ROOT_FOR_INI: NO ZARVO CONFIGURATION FILE FOUND: /etc/zarvo2000.ini");
}
