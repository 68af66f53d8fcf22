#include <gtest/gtest.h>

#include "support/run.hpp"

using namespace testsupport;

// The job's cases run in process; here only the road to it.
TEST(MediaConf, TheConfigurationJobEndToEnd) {
    EXPECT_EQ(status(Sandbox().sm({"-f", "c", "-d", "0"})),
              "STATUS=SUCCESS MSG=there no drives to configure");
}
