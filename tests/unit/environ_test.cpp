#include <gtest/gtest.h>

#include <cstdlib>

#include "config/environ.hpp"
#include "installation_env.hpp"

namespace {

std::string getenv_s(const char* k) {
    const char* v = std::getenv(k);
    return v ? v : "<unset>";
}

// Adds "ID=value" to the installation's root file.
void add_root_entry(const InstallationEnv& env, const std::string& line) {
    std::string root = testsupport::read_file(env.sb.root_file());
    testsupport::write_file(env.sb.root_file(), root + line + "\n");
}

int quietly(const std::string& cmd, std::string* out = nullptr) {
    testing::internal::CaptureStdout();
    int rc = i_setenv_zarvo(cmd);
    std::string o = testing::internal::GetCapturedStdout();
    if (out) *out = o;
    return rc;
}

}  // namespace

TEST(CommandClass, OnlyTheProgramWordCounts) {
    EXPECT_TRUE(classify_command("damisql -x").db);
    EXPECT_TRUE(classify_command("  /opt/bin/DAMISQL -x").db);
    EXPECT_TRUE(classify_command("sm_db select").db);
    EXPECT_FALSE(classify_command("sm_db").db);            // no blank after it
    EXPECT_FALSE(classify_command("echo psql").db);        // only in an argument
    EXPECT_TRUE(classify_command("psql").db);              // no blank: at the start
    EXPECT_FALSE(classify_command("/usr/bin/psql").db);    // no blank: not at the start
    EXPECT_TRUE(classify_command("/usr/bin/psql -c x").db);
    EXPECT_TRUE(classify_command("sm_sms_interface -s 1").sms);
    EXPECT_FALSE(classify_command("sm_sms_interface").sms);
    EXPECT_TRUE(classify_command("netware_tool x").netware);
    EXPECT_FALSE(classify_command("ls netware").netware);
}

TEST(SetenvZarvo, DatabaseCommandsNeedTheirSettings) {
    InstallationEnv env;
    std::string out;
    EXPECT_EQ(quietly("damisql -s x", &out), 0);
    EXPECT_EQ(out, "key OPENRDA_INI not found in /etc/zarvo2000.ini\n");
    EXPECT_EQ(quietly("ls -l", &out), 1);

    add_root_entry(env, "OPENRDA_INI=" + env.sb.path("etc/rda.ini"));
    EXPECT_EQ(quietly("damisql -s x", &out), 0);
    EXPECT_EQ(out, "key gv_port_db not found in sm.ini\n");
    EXPECT_EQ(getenv_s("OPENRDA_INI"), env.sb.path("etc/rda.ini"));

    env.sb.set_config("[Server]", "gv_port_db", "5433");
    EXPECT_EQ(quietly("damisql -s x", &out), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(getenv_s("PGPORT"), "5433");
    const std::string path = getenv_s("PATH");
    EXPECT_NE(path.find(":" + env.sb.path("ro/bin/") + ":" + env.sb.path("ro/db/") + ":" + env.sb.path("ro/pgsql/")),
              std::string::npos);
    EXPECT_EQ(path.find(env.sb.path("ro/sms/")), std::string::npos);  // not a media-server command
}

TEST(SetenvZarvo, PathIsExtendedOnce) {
    InstallationEnv env;
    const std::string before = getenv_s("PATH");
    ASSERT_EQ(quietly("ls"), 1);
    const std::string after = getenv_s("PATH");
    EXPECT_EQ(after, before + ":" + env.sb.path("ro/bin/"));
    ASSERT_EQ(quietly("ls"), 1);
    EXPECT_EQ(getenv_s("PATH"), after);

    ::setenv("PATH", std::string(2040, 'p').c_str(), 1);
    std::string out;
    EXPECT_EQ(quietly("ls", &out), 0);
    EXPECT_NE(out.find("length of string is not sufficient"), std::string::npos);
    ::unsetenv("PATH");
    EXPECT_EQ(quietly("ls", &out), 0);
    EXPECT_EQ(out, "error in getenv PATH\n");
}

TEST(SetenvZarvo, NetwareLibraryPath) {
    InstallationEnv env;
    ::unsetenv("LD_LIBRARY_PATH");
    std::string out;
    EXPECT_EQ(quietly("netware_x", &out), 1);
    EXPECT_EQ(getenv_s("LD_LIBRARY_PATH"), ":/opt/novell/lib");
    EXPECT_EQ(out, "check LD_LIBRARY_PATH=\ndidn't get LD_LIBRARY_PATH\nset LD_LIBRARY_PATH=:/opt/novell/lib\n");
    EXPECT_EQ(quietly("netware_x", &out), 1);
    EXPECT_EQ(out, "check LD_LIBRARY_PATH=:/opt/novell/lib\n");
}
