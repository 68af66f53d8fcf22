// Usefile streams: memory stays flat however large the file is.
#include <gtest/gtest.h>

#include "support/run.hpp"

TEST(UsefileStreaming, CreateFromStdinKeepsMemoryFlat) {
    testsupport::Sandbox sb;
    auto create = [&](unsigned long long stdin_bytes) {
        return testsupport::run_measured(
            {testsupport::bin_dir() + "/sm_client", "-f", "u", "-m", "c", "-s", "-", "-n", "/dev/null"},
            {{"ZARVO_INI", sb.root_file()}}, "", stdin_bytes, "/dev/null");
    };
    const auto small = create(16ULL << 20), huge = create(4ULL << 30);
    ASSERT_EQ(small.rc, 0);
    ASSERT_EQ(huge.rc, 0);
    EXPECT_LT(huge.max_rss_kb, 8 * 1024);                 // a few MiB for 4 GiB
    EXPECT_LT(huge.max_rss_kb - small.max_rss_kb, 1024);  // and no growth with the size
}
