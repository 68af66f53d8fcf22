#include "config/environ.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include "installation_env.hpp"

namespace {

std::string env_of(const char* k) {
    const char* v = std::getenv(k);
    return v ? v : "<unset>";
}

std::pair<int, std::string> setenv_for(const std::string& cmd) {
    testing::internal::CaptureStdout();
    int rc = i_setenv_zarvo(cmd);
    return {rc, testing::internal::GetCapturedStdout()};
}

}  // namespace

TEST(CommandClass, OnlyTheProgramWordCounts) {
    EXPECT_TRUE(classify_command("  /opt/bin/DAMISQL -x").db);
    EXPECT_TRUE(classify_command("sm_db select").db);
    EXPECT_FALSE(classify_command("sm_db").db);          // no blank after it
    EXPECT_FALSE(classify_command("echo psql").db);      // only in an argument
    EXPECT_FALSE(classify_command("/usr/bin/psql").db);  // no blank: only at the start
    EXPECT_TRUE(classify_command("sm_sms_interface -s 1").sms);
    EXPECT_TRUE(classify_command("netware_tool x").netware);
}

TEST(SetenvZarvo, DatabaseCommandsNeedTheirSettings) {
    InstallationEnv env;
    const std::string root = "SM_INI=" + env.sb.path("etc/sm.ini") + "\n", rda = env.sb.path("etc/rda.ini");
    testsupport::write_file(env.sb.root_file(), root);
    env.sb.set_config("[Server]", "gv_port_db", "");
    EXPECT_EQ(setenv_for("damisql -s x"),
              std::make_pair(0, std::string("key OPENRDA_INI not found in /etc/zarvo2000.ini\n")));
    EXPECT_EQ(setenv_for("ls -l").first, 1);

    testsupport::write_file(env.sb.root_file(), root + "OPENRDA_INI=" + rda + "\n");
    EXPECT_EQ(setenv_for("damisql -s x"),
              std::make_pair(0, std::string("key gv_port_db not found in sm.ini\n")));
    EXPECT_EQ(env_of("OPENRDA_INI"), rda);

    // Children get only the PG* settings of the configuration.
    env.sb.set_config("[Server]", "gv_port_db", "5433");
    ::setenv("PGHOST", "elsewhere", 1);
    ::setenv("PGDATESTYLE", "SQL, DMY", 1);
    ::setenv("PGPORT", "1", 1);
    EXPECT_EQ(setenv_for("damisql -s x"), std::make_pair(1, std::string()));
    EXPECT_EQ(env_of("PGPORT") + env_of("PGHOST") + env_of("PGDATESTYLE"), "5433<unset><unset>");
    const std::string path = env_of("PATH");
    EXPECT_NE(path.find(":" + env.sb.path("ro/bin/") + ":" + env.sb.path("ro/db/") + ":" +
                        env.sb.path("ro/pgsql/")),
              std::string::npos);
    EXPECT_EQ(path.find(env.sb.path("ro/sms/")), std::string::npos);
}

TEST(SetenvZarvo, PathExtendedOnceAndNetwareLibraries) {
    InstallationEnv env;
    const std::string before = env_of("PATH");
    setenv_for("ls");
    setenv_for("ls");
    EXPECT_EQ(env_of("PATH"), before + ":" + env.sb.path("ro/bin/"));

    ::unsetenv("LD_LIBRARY_PATH");
    EXPECT_EQ(setenv_for("netware_x").second,
              "check LD_LIBRARY_PATH=\ndidn't get LD_LIBRARY_PATH\nset LD_LIBRARY_PATH=:/opt/novell/lib\n");
    EXPECT_EQ(setenv_for("netware_x").second, "check LD_LIBRARY_PATH=:/opt/novell/lib\n");
}
