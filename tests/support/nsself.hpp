// Runs the current test again inside tests/support/nsrun (own mounts, PID
// namespace, /etc overlay with etc), where it may add users and start and
// kill processes without touching the machine; the inner run does the work.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "support/run.hpp"

namespace testsupport {

inline RunResult rerun_in_private_node(std::vector<std::string> args, bool etc = false) {
    char self[4096] = {}, upper[] = "/tmp/sm_etc_XXXXXX";
    if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0 || (etc && !::mkdtemp(upper))) return {};
    if (etc) args.insert(args.begin(), {"-e", upper});
    const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
    args.insert(args.begin(), source_dir() + "/tests/support/nsrun");
    args.insert(args.end(),
                {"--", self, std::string("--gtest_filter=") + t->test_suite_name() + "." + t->name()});
    RunOptions o;
    o.env["SM_INSIDE_NSRUN"] = "1";
    o.timeout_ms = 180000;
    RunResult r = run(args, o);
    if (etc) run({"/bin/rm", "-rf", upper});
    return r;
}

}  // namespace testsupport

// Outside the namespace: runs this test inside it and returns (77: skipped).
#define SM_RUN_IN_PRIVATE_NODE(...)                                                           \
    if (!std::getenv("SM_INSIDE_NSRUN")) {                                                    \
        const testsupport::RunResult inner = testsupport::rerun_in_private_node(__VA_ARGS__); \
        if (inner.rc == 77) GTEST_SKIP() << inner.err;                                        \
        EXPECT_EQ(inner.rc, 0) << inner.out << inner.err;                                     \
        return;                                                                               \
    }
