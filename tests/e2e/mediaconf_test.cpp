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
