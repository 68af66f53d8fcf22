// Usefile streams: memory stays flat however large the file is.
#include <gtest/gtest.h>

#include "support/run.hpp"

namespace {

constexpr unsigned long long kSmall = 16ULL << 20;
constexpr unsigned long long kHuge = 4ULL << 30;
constexpr long kMaxRssKb = 8 * 1024;
constexpr long kFlatToleranceKb = 1024;

testsupport::MeasuredRun sm(const testsupport::Sandbox& sb, const std::vector<std::string>& args,
                            unsigned long long stdin_bytes, const std::string& out) {
    std::vector<std::string> argv{testsupport::bin_dir() + "/sm_client"};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::run_measured(argv, {{"ZARVO_INI", sb.root_file()}}, "", stdin_bytes, out);
}

}  // namespace

TEST(UsefileStreaming, CreateFromStdinKeepsMemoryFlat) {
    testsupport::Sandbox sb;
    auto small = sm(sb, {"-f", "u", "-m", "c", "-s", "-", "-n", "/dev/null"}, kSmall, "/dev/null");
    auto huge = sm(sb, {"-f", "u", "-m", "c", "-s", "-", "-n", "/dev/null"}, kHuge, "/dev/null");
    ASSERT_EQ(small.rc, 0);
    ASSERT_EQ(huge.rc, 0);
    EXPECT_LT(huge.max_rss_kb, kMaxRssKb);
    EXPECT_LT(huge.max_rss_kb - small.max_rss_kb, kFlatToleranceKb);
}
