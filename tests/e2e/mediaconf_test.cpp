#include <gtest/gtest.h>

#include "support/run.hpp"

using namespace testsupport;

// The job's cases run in process; here only the road to it.
TEST(MediaConf, TheConfigurationJobEndToEnd) {
    EXPECT_EQ(status(Sandbox().sm({"-f", "c", "-d", "0"})),
              "STATUS=SUCCESS MSG=there no drives to configure");
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
