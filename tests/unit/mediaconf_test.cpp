#include "frontend/mediaconf.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

#include "exec/child.hpp"
#include "frontend/globals.hpp"
#include "installation_env.hpp"
#include "support/nsself.hpp"
#include "util/timeutil.hpp"

using testsupport::exists;
using testsupport::read_file;
using testsupport::source_dir;
using testsupport::write_file;

namespace {

const std::string kValid = "8 /dev/nst0 LTO5 LTO FM 3";

std::string data(const std::string& name) {
    return read_file(source_dir() + "/tests/e2e/sms/" + name);
}

// Every name in dir (temporary files too), the device files with their content.
std::string listing(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().extension() != ".dat") names.insert(e.path().filename());  // not the tape templates
    std::string out;
    for (const std::string& n : names) out += n + (n.rfind("disk", 0) == 0 ? "=" + read_file(dir + n) : " ");
    return out;
}

}  // namespace

// A rewrite killed at any step leaves the old or the new sms.ini, whole; the
// old device files go only after the new sms.ini is in place, and the next
// rewrite removes the killed one's temporary file.
TEST(MediaConfSteps, AKillAtAnyStepLeavesTheOldOrTheNewFiles) {
    InstallationEnv env;
    gszRwIni = env.sb.path("rw/ini/");
    const std::string ini = gszRwIni, old = data("plain.old");
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

// The rewrite and the reload after it, the media server's start-up pause
// counted instead of waited; in a PID namespace of its own, so that the
// check sees only the data servers this test starts.
TEST(MediaConfSteps, RewritesThenReloadsTheMediaServer) {
    SM_RUN_IN_PRIVATE_NODE({"-p"});
    const std::string tape = "1 /dev/nst1 LTO6 LTO SM 2", one = "Configured 1 SMS-drives",
                      three = "Configured 3 SMS-drives";
    const std::string reload = "sm_main reload sms\n", up = reload + "sm_data_server\n";
    const std::string alarm =
        reload + "sm_alarm CHECK_SMS restart of data-server failed - SMS not available\n";
    const std::string mixed = "debug.ini disk7=/data/dc\n0\ndisk9=empty\n0\nsms.ini ";
    struct Case {
        const char* file;
        std::vector<std::string> drives;
        const char* mode;  // of the sm_main stand-in
        bool running;      // a data server runs before the reload
        int rc;
        std::string msg, log;
        int naps = 1;  // the pause for the media server to come up
        std::string left = "debug.ini sms.ini ";
    };
    const std::vector<std::string> disks{"7 /data/dc DISK DISK_CHNG none 2", "8 /dev/nst0 LTO5 LTO FM 3",
                                         "9 /data/hd DISK DISK_HARD none 1"};
    const Case cases[] = {
        {"plain", disks, "restart", false, 0, three, up, 1, mixed},
        {"prefixed", {tape}, "restart", false, 0, one, up},
        {"prefixed", {tape}, "fail", true, 0, one, "sm_data_server\n" + reload},
        {"prefixed", {tape}, "fail", false, 0, one, alarm},
        {"prefixed", {tape}, "hang", false, 1, "sm_main did not answer within 1 s and was killed", reload, 0},
    };
    std::vector<long> naps;
    set_sleeper([&](long us) { naps.push_back(us); });
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + c.msg);
        InstallationEnv env;
        gszRwIni = env.sb.path("rw/ini/");
        const std::string& ini = gszRwIni;
        env.sb.set_config("[Deadlines]", "sm_main", "1");
        write_file(ini + "sms.ini", data(std::string(c.file) + ".old"));
        ASSERT_EQ(::chmod((ini + "sms.ini").c_str(), 0640), 0);
        write_file(ini + "disk9", "LABEL01\n0\n");
        for (size_t i = 0; i < c.drives.size(); ++i)
            env.sb.set_var("gv_client_c_" + std::to_string(i), c.drives[i]);
        ::setenv("SM_MAIN_MODE", c.mode, 1);
        if (c.running) {
            exec::Child up =
                exec::Child::shell("setsid " + env.sb.path("ro/bin/sm_data_server") +
                                   " </dev/null >/dev/null 2>&1 & while [ ! -s " +
                                   env.sb.path("rw/sm_data_server.pid") + " ]; do sleep 0.05; done");
            int st = 0;
            ASSERT_EQ(up.wait_for(10000, st), 1);
            up.release();
        }
        naps.clear();
        std::string msg;
        EXPECT_EQ(i_CONFIGURE_SMS_INI(std::to_string(c.drives.size()), msg), c.rc);
        ::unsetenv("SM_MAIN_MODE");
        EXPECT_EQ(msg, c.msg);
        EXPECT_EQ(naps, std::vector<long>(c.naps, 5000000L));
        EXPECT_EQ(read_file(env.sb.path("rw/standins.log")), c.log);
        std::string expected = data(std::string(c.file) + ".new");
        expected.replace(expected.find("@RW_INI@"), 8, ini);
        EXPECT_EQ(read_file(ini + "sms.ini"), expected);
        struct stat st {};
        EXPECT_EQ(::stat((ini + "sms.ini").c_str(), &st) == 0 ? st.st_mode & 07777 : 0, 0640u);
        EXPECT_EQ(listing(ini), c.left);
        EXPECT_FALSE(exists(env.sb.store_file("gv_client_c_0")));
        // The next case starts without a data server (reaped: a zombie counts too).
        const std::string pidfile = env.sb.path("rw/sm_data_server.pid");
        if (const pid_t pid = exists(pidfile) ? std::atoi(read_file(pidfile).c_str()) : 0; pid > 0) {
            ::kill(pid, SIGKILL);
            for (int i = 0; i < 200 && ::kill(pid, 0) == 0; ++i) {
                ::waitpid(pid, nullptr, WNOHANG);
                ::usleep(10000);
            }
        }
    }
    set_sleeper({});
}

TEST(MediaConfSteps, AFailureLeavesEveryFileAsItWas) {
    InstallationEnv env;
    gszRwIni = env.sb.path("rw/ini/");
    const std::string& ini = gszRwIni;
    const std::string old = data("plain.old"), none = "none";
    const std::string bad = "GLBV gv_client_c_0 invalid: ", no_tape = "[Device]\n[Disk]\n";
    struct Case {
        const char* drives;
        std::string first, second;   // descriptions 0 and 1 ("": not set)
        const std::string& sms_ini;  // none: no file
        std::string msg;
        bool kept = false;  // description 0 still in the store
    };
    const Case cases[] = {
        {"0", kValid, "", old, "there no drives to configure", true},
        {"x", kValid, "", old, "there no drives to configure", true},
        {"201", kValid, "", old, "cannot configure 201 drives: at most 200", true},
        {"1", kValid, "", no_tape, "Cannot find section [Tape] in " + ini + "sms.ini", true},
        {"1", kValid, "", none, "Cannot open file " + ini + "sms.ini to read", true},
        {"2", kValid, "", old,
         "GLBV gv_client_c_1 had not been written by caller, so cannot configure the drive"},
        {"1", "7 /d DISK DISK_HARD none", "", old, bad + "7 /d DISK DISK_HARD none"},
        {"1", "7 /d DISK DISK_HARD none many", "", old, bad + "7 /d DISK DISK_HARD none many"},
        {"2", kValid, "12345678 /d L L F 1", old, "GLBV gv_client_c_1 invalid: 12345678 /d L L F 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.msg);
        ::unlink((ini + "sms.ini").c_str());
        if (&c.sms_ini != &none) write_file(ini + "sms.ini", c.sms_ini);
        write_file(ini + "disk9", "LABEL01\n0\n");
        env.sb.set_var("gv_client_c_0", c.first);
        if (!c.second.empty()) env.sb.set_var("gv_client_c_1", c.second);
        std::string msg;
        EXPECT_EQ(i_CONFIGURE_SMS_INI(c.drives, msg), c.drives[0] == '0' || c.drives[0] == 'x' ? 0 : 1);
        EXPECT_EQ(msg, c.msg);
        EXPECT_EQ(listing(ini),
                  "debug.ini disk9=LABEL01\n0\n" + std::string(&c.sms_ini == &none ? "" : "sms.ini "));
        EXPECT_EQ(exists(ini + "sms.ini") ? read_file(ini + "sms.ini") : none, c.sms_ini);
        EXPECT_EQ(exists(env.sb.store_file("gv_client_c_0")), c.kept);
        EXPECT_FALSE(exists(env.sb.path("rw/standins.log")));
    }
}
