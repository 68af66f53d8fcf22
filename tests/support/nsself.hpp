// Runs the current test again inside tests/support/nsrun (its own mounts,
// /etc overlay or PID namespace), where it may add users and start and kill
// processes without touching the machine. The inner run does the work.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/run.hpp"

namespace testsupport {

inline bool inside_private_node() {
    return std::getenv("SM_INSIDE_NSRUN") != nullptr;
}

// This test binary, filtered to the current test, under nsrun with args;
// with etc, an /etc overlay whose upper layer is removed afterwards.
inline RunResult rerun_in_private_node(std::vector<std::string> nsrun_args, bool etc = false) {
    char self[4096], upper[] = "/tmp/sm_etc_XXXXXX";
    if (etc) {
        if (!::mkdtemp(upper)) return {};
        nsrun_args.insert(nsrun_args.begin(), {"-e", upper});
    }
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return {};
    const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
    std::vector<std::string> argv{source_dir() + "/tests/support/nsrun"};
    argv.insert(argv.end(), nsrun_args.begin(), nsrun_args.end());
    argv.insert(argv.end(), {"--", std::string(self, static_cast<size_t>(n)),
                             std::string("--gtest_filter=") + t->test_suite_name() + "." + t->name()});
    RunOptions o;
    o.env["SM_INSIDE_NSRUN"] = "1";
    o.timeout_ms = 180000;
    RunResult r = run(argv, o);
    if (etc) run({"/bin/rm", "-rf", upper});
    return r;
}

}  // namespace testsupport

// Outside the namespace: run this test inside it and return (skip on 77).
#define SM_RUN_IN_PRIVATE_NODE(...)                                                           \
    if (!testsupport::inside_private_node()) {                                                \
        const testsupport::RunResult inner = testsupport::rerun_in_private_node(__VA_ARGS__); \
        if (inner.rc == 77) GTEST_SKIP() << inner.err;                                        \
        EXPECT_EQ(inner.rc, 0) << inner.out << inner.err;                                     \
        return;                                                                               \
    }
