#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "support/run.hpp"

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

// Every name in dir (temporary files too), the device files with their content.
std::string listing(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().extension() != ".dat") names.insert(e.path().filename());  // not the tape templates
    std::string out;
    for (const std::string& n : names) out += n + (n.rfind("disk", 0) == 0 ? "=" + read_file(dir + n) : " ");
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

TEST(MediaConf, RewritesThenReloadsTheMediaServer) {
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
        std::string msg, log, left = "debug.ini sms.ini ";
    };
    const std::vector<std::string> disks{"7 /data/dc DISK DISK_CHNG none 2", kValid,
                                         "9 /data/hd DISK DISK_HARD none 1"};
    const Case cases[] = {
        {"plain", disks, "restart", false, three, up, mixed},
        {"prefixed", {tape}, "restart", false, one, up},
        {"prefixed", {tape}, "fail", true, one, "sm_data_server\n" + reload},
        {"prefixed", {tape}, "fail", false, one, alarm},
        {"prefixed", {tape}, "hang", false, "sm_main did not answer within 1 s and was killed", reload},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + c.msg);
        Sandbox sb;
        sb.set_config("[Deadlines]", "sm_main", "1");
        const std::string ini = sb.path("rw/ini/");
        write_file(ini + "sms.ini", data(std::string(c.file) + ".old"));
        ASSERT_EQ(::chmod((ini + "sms.ini").c_str(), 0640), 0);
        write_file(ini + "disk9", "LABEL01\n0\n");
        for (size_t i = 0; i < c.drives.size(); ++i)
            sb.set_var("gv_client_c_" + std::to_string(i), c.drives[i]);
        RunOptions opt;
        opt.env["SM_MAIN_MODE"] = c.mode;
        const std::string start = "setsid " + sb.path("ro/bin/sm_data_server") +
                                  " </dev/null >/dev/null 2>&1 & " + "while [ ! -s " +
                                  sb.path("rw/sm_data_server.pid") + " ]; do sleep 0.05; done";
        const RunResult r = configure(sb, std::to_string(c.drives.size()), opt, c.running ? start : "");
        SKIP_WITHOUT_NAMESPACES(r);
        EXPECT_EQ(r.rc, c.mode == std::string("hang") ? 1 : 0);
        EXPECT_EQ(message(r), c.msg);
        EXPECT_EQ(read_file(sb.path("rw/standins.log")), c.log);
        std::string expected = data(std::string(c.file) + ".new");
        expected.replace(expected.find("@RW_INI@"), 8, ini);
        EXPECT_EQ(read_file(ini + "sms.ini"), expected);
        struct stat st {};
        EXPECT_EQ(::stat((ini + "sms.ini").c_str(), &st) == 0 ? st.st_mode & 07777 : 0, 0640u);
        EXPECT_EQ(listing(ini), c.left);
        EXPECT_FALSE(exists(sb.store_file("gv_client_c_0")));
    }
}

TEST(MediaConf, AFailureLeavesEveryFileAsItWas) {
    Sandbox sb;
    const std::string ini = sb.path("rw/ini/"), old = data("plain.old"), none = "none";
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
        {"1", "../7 /d DISK DISK_HARD none 1", "", old, bad + "../7 /d DISK DISK_HARD none 1"},
        {"1", "7 /d DISK DISK_HARD none many", "", old, bad + "7 /d DISK DISK_HARD none many"},
        {"2", kValid, "12345678 /d L L F 1", old, "GLBV gv_client_c_1 invalid: 12345678 /d L L F 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.msg);
        ::unlink((ini + "sms.ini").c_str());
        if (&c.sms_ini != &none) write_file(ini + "sms.ini", c.sms_ini);
        write_file(ini + "disk9", "LABEL01\n0\n");
        sb.set_var("gv_client_c_0", c.first);
        if (!c.second.empty()) sb.set_var("gv_client_c_1", c.second);
        const RunResult r = configure(sb, c.drives);
        SKIP_WITHOUT_NAMESPACES(r);
        EXPECT_EQ(r.rc, c.drives[0] == '0' || c.drives[0] == 'x' ? 0 : 1);
        EXPECT_EQ(message(r), c.msg);
        EXPECT_EQ(listing(ini),
                  "debug.ini disk9=LABEL01\n0\n" + std::string(&c.sms_ini == &none ? "" : "sms.ini "));
        EXPECT_EQ(exists(ini + "sms.ini") ? read_file(ini + "sms.ini") : none, c.sms_ini);
        EXPECT_EQ(exists(sb.store_file("gv_client_c_0")), c.kept);
        EXPECT_FALSE(exists(sb.path("rw/standins.log")));
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
