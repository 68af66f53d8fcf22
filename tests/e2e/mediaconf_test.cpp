#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>

#include "exec/child.hpp"
#include "support/run.hpp"
#include "util/posix.hpp"

using namespace testsupport;

namespace {

const std::string kValid = "8 /dev/nst0 LTO5 LTO FM 3";

std::string data(const std::string& name) {
    return read_file(source_dir() + "/tests/e2e/sms/" + name);
}

std::string message(const RunResult& r) {
    const size_t p = r.err.rfind("MSG=");
    return p == std::string::npos ? "<none>" : r.err.substr(p + 4, r.err.find('\n', p) - p - 4);
}

std::set<std::string> entries(const std::string& dir) {
    std::set<std::string> out;
    posix::UniqueDir d = posix::open_dir(dir);
    while (const struct dirent* e = d ? ::readdir(d.get()) : nullptr)
        if (e->d_name[0] != '.' || e->d_name[1] > '.') out.insert(e->d_name);
    return out;
}

// "-f c -d n" as PID 1 of its own PID namespace: the check sees only what
// this run started, and every sm_data_server ends with it.
RunResult configure(const Sandbox& sb, const std::string& n, RunOptions opt = {},
                    const std::string& setup = "") {
    std::vector<std::string> argv{source_dir() + "/tests/support/nsrun", "-p", "-s",
                                  setup.empty() ? ":" : setup};
    for (const char* a : {"--", "", "-f", "c", "-d"}) argv.push_back(*a ? a : bin_dir() + "/sm_client");
    argv.push_back(n);
    return sb.exec(argv, opt);
}

}  // namespace

#define SKIP_WITHOUT_NAMESPACES(r) \
    if ((r).rc == 77) GTEST_SKIP() << (r).err

TEST(MediaConf, RewritesTapeDiskAndChangerDrivesByteForByte) {
    struct Case {
        const char* name;
        std::vector<std::string> drives;
        std::set<std::string> left;  // rw/ini afterwards
    };
    const Case cases[] = {
        {"plain",
         {"7 /data/dc DISK DISK_CHNG none 2", kValid, "9 /data/hd DISK DISK_HARD none 1"},
         {"debug.ini", "sms.ini", "disk7", "disk9"}},
        {"prefixed", {"1 /dev/nst1 LTO6 LTO SM 2"}, {"debug.ini", "sms.ini"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sb;
        const std::string ini = sb.path("rw/ini/");
        write_file(ini + "sms.ini", data(std::string(c.name) + ".old"));
        ASSERT_EQ(::chmod((ini + "sms.ini").c_str(), 0640), 0);
        write_file(ini + "disk9", "LABEL01\n0\n");
        write_file(ini + "disk5", "/old\n0\n");
        for (size_t i = 0; i < c.drives.size(); ++i)
            sb.set_var("gv_client_c_" + std::to_string(i), c.drives[i]);

        const RunResult r = configure(sb, std::to_string(c.drives.size()));
        SKIP_WITHOUT_NAMESPACES(r);
        EXPECT_EQ(r.rc, 0) << r.err;
        EXPECT_EQ(message(r), "Configured " + std::to_string(c.drives.size()) + " SMS-drives");
        std::string expected = data(std::string(c.name) + ".new");
        expected.replace(expected.find("@RW_INI@"), 8, ini);
        EXPECT_EQ(read_file(ini + "sms.ini"), expected);
        struct stat st {};
        EXPECT_EQ(::stat((ini + "sms.ini").c_str(), &st) == 0 ? st.st_mode & 07777 : 0, 0640u);
        EXPECT_EQ(entries(ini), c.left);
        if (c.left.count("disk7")) {
            EXPECT_EQ(read_file(ini + "disk7"), "/data/dc\n0\n");
            EXPECT_EQ(read_file(ini + "disk9"), "empty\n0\n");
        }
        EXPECT_FALSE(exists(sb.store_file("gv_client_c_0")));
        EXPECT_EQ(read_file(sb.path("rw/standins.log")), "sm_main reload sms\nsm_data_server\n");
    }
}

TEST(MediaConf, AFailureLeavesEveryFileAsItWas) {
    Sandbox sb;
    const std::string ini = sb.path("rw/ini/"), old = data("plain.old");
    struct Case {
        std::string drives;
        std::map<int, std::string> vars;
        std::string sms_ini;  // "" : none
        int rc;
        std::string msg;
        bool first_kept;  // gv_client_c_0 still in the store
    };
    const std::string bad = "gv_client_c_0 invalid: ";
    const Case cases[] = {
        {"0", {{0, kValid}}, old, 0, "there no drives to configure", true},
        {"x", {{0, kValid}}, old, 0, "there no drives to configure", true},
        {"201", {{0, kValid}}, old, 1, "cannot configure 201 drives: at most 200", true},
        {"1",
         {{0, kValid}},
         "[Device]\n[Disk]\n",
         1,
         "Cannot find section [Tape] in " + ini + "sms.ini",
         true},
        {"1", {{0, kValid}}, "", 1, "Cannot open file " + ini + "sms.ini to read", true},
        {"2",
         {{0, kValid}},
         old,
         1,
         "GLBV gv_client_c_1 had not been written by caller, so cannot configure the drive",
         false},
        {"1", {{0, "7 /d DISK DISK_HARD none"}}, old, 1, bad + "7 /d DISK DISK_HARD none", false},
        {"1", {{0, "../7 /d DISK DISK_HARD none 1"}}, old, 1, bad + "../7 /d DISK DISK_HARD none 1", false},
        {"1", {{0, "7 /d DISK DISK_HARD none many"}}, old, 1, bad + "7 /d DISK DISK_HARD none many", false},
        {"2",
         {{0, kValid}, {1, "1234567890 /d L L F 1"}},
         old,
         1,
         "GLBV gv_client_c_1 invalid: 1234567890 /d L L F 1",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.msg);
        ::unlink((ini + "sms.ini").c_str());
        if (!c.sms_ini.empty()) write_file(ini + "sms.ini", c.sms_ini);
        write_file(ini + "disk9", "LABEL01\n0\n");
        for (auto& [i, v] : c.vars) sb.set_var("gv_client_c_" + std::to_string(i), v);
        const RunResult r = configure(sb, c.drives);
        SKIP_WITHOUT_NAMESPACES(r);
        EXPECT_EQ(r.rc, c.rc);
        EXPECT_NE(message(r).find(c.msg), std::string::npos) << message(r);
        EXPECT_EQ(c.sms_ini.empty() ? "" : read_file(ini + "sms.ini"), c.sms_ini);
        std::set<std::string> left{"debug.ini", "disk9", "sms.ini"};
        if (c.sms_ini.empty()) left.erase("sms.ini");
        EXPECT_EQ(entries(ini), left);
        EXPECT_EQ(read_file(ini + "disk9"), "LABEL01\n0\n");
        EXPECT_EQ(exists(sb.store_file("gv_client_c_0")), c.first_kept);
        EXPECT_FALSE(exists(sb.path("rw/standins.log")));
    }
}

TEST(MediaConf, ReloadFindsTheDataServerRaisesTheAlarmOrIsKilledAtItsDeadline) {
    struct Case {
        const char* mode;  // of the sm_main stand-in
        bool running;      // a data server runs before the reload
        int rc;
        std::string msg, log;
    };
    const std::string done = "Configured 1 SMS-drives", reload = "sm_main reload sms\n";
    const Case cases[] = {
        {"fail", true, 0, done, "sm_data_server\n" + reload},
        {"fail", false, 0, done,
         reload + "sm_alarm CHECK_SMS restart of data-server failed - SMS not available\n"},
        {"hang", false, 1, "sm_main killed after its deadline of 1 s", reload},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.msg);
        Sandbox sb;
        sb.set_config("[Deadlines]", "sm_main", "1");
        write_file(sb.path("rw/ini/sms.ini"), data("prefixed.old"));
        sb.set_var("gv_client_c_0", kValid);
        RunOptions opt;
        opt.env["SM_MAIN_MODE"] = c.mode;
        const std::string pid = sb.path("rw/sm_data_server.pid");
        const std::string setup = "setsid " + sb.path("ro/bin/sm_data_server") +
                                  " </dev/null >/dev/null 2>&1 & while [ ! -s " + pid +
                                  " ]; do sleep 0.05; done";
        const RunResult r = configure(sb, "1", opt, c.running ? setup : "");
        SKIP_WITHOUT_NAMESPACES(r);
        EXPECT_EQ(r.rc, c.rc);
        EXPECT_EQ(message(r), c.msg);
        EXPECT_EQ(read_file(sb.path("rw/standins.log")), c.log);
        EXPECT_NE(read_file(sb.path("rw/ini/sms.ini")), data("prefixed.old"));  // rewritten before the reload
    }
}

TEST(Performance, ARunForAnotherNodePrintsItsRecordsOnStandardOutput) {
    Sandbox sb;
    write_file(sb.path("rw/work/info/perf_2.log"),
               "STATUS: SMS_WRT\nTHROUGHPUT: 98.4 GB/h\nNUMBER OF ACTIVE BACKUPS: 3\nNUMBER OF ACTIVE "
               "RESTORES: 0\n");
    sb.set_var("gv_sms_eom__dev_nst0", "NEXT_MEDIUM");
    const std::string text = "3 0 STATUS: SMS_WRT THROUGHPUT: 98.4 GB/h NEXT_MEDIUM";
    const RunResult r = sb.sm({"-r", "-i", "9", "-f", "p", "-d", "/dev/nst0:2", "-t", "2"});
    EXPECT_EQ(r.out, "ID=9\n" + text + "\n");  // an unchanged reading is published once
    EXPECT_EQ(r.err, "ID=9\nSTATUS=SUCCESS MSG=" + text + "\n");
    EXPECT_FALSE(exists(sb.path("rw/work/rsh_9.tmp")));
}
