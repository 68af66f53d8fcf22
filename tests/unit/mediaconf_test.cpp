#include "frontend/mediaconf.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "exec/child.hpp"
#include "frontend/globals.hpp"
#include "installation_env.hpp"

using testsupport::exists;
using testsupport::read_file;
using testsupport::write_file;

// A rewrite killed at any step leaves the old or the new sms.ini, whole; the
// old device files go only after the new sms.ini is in place, and the next
// rewrite removes the killed one's temporary file.
TEST(MediaConfSteps, AKillAtAnyStepLeavesTheOldOrTheNewFiles) {
    InstallationEnv env;
    gszRwIni = env.sb.path("rw/ini/");
    const std::string ini = gszRwIni, old = read_file(testsupport::source_dir() + "/tests/e2e/sms/plain.old");
    const std::string drive = "7 /data/dc DISK DISK_CHNG none 2";
    DriveDescription d;
    SmsIni next;
    ASSERT_TRUE(parse_drive_description(drive, d) && build_sms_ini(old, {d}, ini, next));
    struct Case {
        const char* step;
        bool renamed, devices;
    };
    for (const Case& c :
         {Case{"written", false, false}, Case{"renamed", true, false}, Case{"devices", true, true}}) {
        SCOPED_TRACE(c.step);
        write_file(ini + "sms.ini", old);
        write_file(ini + "disk9", "LABEL01\n0\n");
        env.sb.set_var("gv_client_c_0", drive);
        exec::Child child = exec::Child::call([&] {
            set_configure_step_hook([&](const char* s) {
                if (std::strcmp(s, c.step) == 0) ::kill(::getpid(), SIGKILL);
            });
            std::string msg;
            return i_CONFIGURE_SMS_INI("1", msg);
        });
        int st = 0;
        ASSERT_TRUE(child.wait(st));
        EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL) << st;
        EXPECT_TRUE(read_file(ini + "sms.ini") == (c.renamed ? next.head + next.rest : old));
        int temp = 0;
        for (const auto& e : std::filesystem::directory_iterator(ini))
            temp += e.path().filename().c_str()[0] == '.';
        EXPECT_EQ(temp, c.renamed ? 0 : 1);
        EXPECT_EQ(exists(ini + "disk9"), !c.devices);
        EXPECT_EQ(exists(ini + "disk7") ? read_file(ini + "disk7") : "", c.devices ? "/data/dc\n0\n" : "");
    }
}
