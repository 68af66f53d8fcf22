// Usefile streams: memory stays flat however large the file is.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

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

TEST(UsefileStreaming, ReadOfA4GiBFilePassesEveryByte) {
    testsupport::Sandbox sb;
    const std::string in = sb.path("rw/work/huge.dat"), out = sb.path("rw/work/copy.dat");
    int fd = ::open(in.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(kHuge)), 0);  // sparse: costs no disk
    ASSERT_EQ(::pwrite(fd, "end", 3, static_cast<off_t>(kHuge) - 3), 3);
    ::close(fd);

    auto small = sm(sb, {"-f", "u", "-m", "r", "-n", sb.root_file()}, 0, "/dev/null");
    auto huge = sm(sb, {"-f", "u", "-m", "r", "-n", in}, 0, "/dev/null");
    ASSERT_EQ(huge.rc, 0);
    EXPECT_LT(huge.max_rss_kb, kMaxRssKb);
    EXPECT_LT(huge.max_rss_kb - small.max_rss_kb, kFlatToleranceKb);

    // Into a pipe, the way callers read it: every byte arrives.
    auto piped = testsupport::run_measured(
        {"/bin/sh", "-c", "\"$0\" -f u -m r -n \"$1\" | wc -c > \"$2\"", testsupport::bin_dir() + "/sm_client", in, out},
        {{"ZARVO_INI", sb.root_file()}}, "", 0, "/dev/null");
    ASSERT_EQ(piped.rc, 0);
    EXPECT_EQ(std::stoull(testsupport::read_file(out)), kHuge);
    ::unlink(in.c_str());
}
