// A labelling that never succeeds, with its real pauses.
#include <gtest/gtest.h>

#include <chrono>

#include "support/run.hpp"

TEST(TapeInitSlow, NeverSucceedingGivesUpAfter31Runs) {
    testsupport::Sandbox sb;
    testsupport::write_file(sb.path("rw/sm_sms_interface.fail"), "always");
    const auto t0 = std::chrono::steady_clock::now();
    testsupport::RunOptions opt;
    opt.timeout_ms = 120000;
    const testsupport::RunResult r = sb.sm({"-i", "n1", "-f", "i", "-d", "chg", "-l", "V1", "-t", "/d"}, opt);
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - t0);
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("STATUS=WARNING MSG=Error\n"), std::string::npos) << r.err;
    EXPECT_GE(secs.count(), 31);
    const std::string log = testsupport::read_file(sb.path("rw/standins.log"));
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 31);
    EXPECT_FALSE(testsupport::exists(sb.path("rw/tmp/n1.tmp")));
}
