// Many processes on one variable: a reader sees the old or the new value,
// never nothing and never a part; of two concurrent read-and-delete callers
// exactly one gets the value.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "config/glbv.hpp"
#include "exec/child.hpp"
#include "support/run.hpp"
#include "util/posix.hpp"

namespace {

// A value that proves it is whole: writer, round, then filler up to a
// length that depends on both, closed by a checksum character.
std::string make_value(int writer, int round) {
    std::string v = "w" + std::to_string(writer) + "r" + std::to_string(round) + ":";
    v.append(static_cast<size_t>(100 + (writer * 37 + round) % 300), static_cast<char>('a' + writer));
    v.push_back(static_cast<char>('A' + v.size() % 26));
    return v;
}

bool is_whole(const std::string& v) {
    if (v.empty() || v[0] != 'w') return false;
    int writer = 0, round = 0;
    if (std::sscanf(v.c_str(), "w%dr%d:", &writer, &round) != 2) return false;
    return v == make_value(writer, round);
}

class StoreConcurrency : public ::testing::Test {
   protected:
    void SetUp() override { setenv("ZARVO_INI", sb.root_file().c_str(), 1); }
    void TearDown() override { unsetenv("ZARVO_INI"); }
    testsupport::Sandbox sb;
};

int wait_all(std::vector<exec::Child>& kids) {
    int failures = 0;
    for (exec::Child& k : kids) {
        int st = 0;
        if (!k.wait(st) || !WIFEXITED(st) || WEXITSTATUS(st) != 0) ++failures;
    }
    return failures;
}

}  // namespace

TEST_F(StoreConcurrency, WritersAndReadersNeverSeeAPartialValue) {
    {
        std::string n = "gv_shared", v = make_value(0, 0);
        glbv('w', n, v);
    }
    std::vector<exec::Child> pids;
    for (int w = 1; w <= 8; ++w) {
        pids.push_back(exec::Child::call([&] {
            int bad = 0;
            for (int i = 0; i < 1000; ++i) {
                std::string n = "gv_shared", v = make_value(w, i);
                glbv('w', n, v);
                if (v != make_value(w, i)) ++bad;  // the write itself failed
                std::string rn = "gv_shared", rv;
                glbv('r', rn, rv);
                if (!is_whole(rv)) {
                    std::fprintf(stderr, "partial or missing read: %s\n", rv.c_str());
                    ++bad;
                }
            }
            return bad == 0 ? 0 : 1;
        }));
        ASSERT_TRUE(pids.back().started());
    }
    EXPECT_EQ(wait_all(pids), 0);
    // Nothing private is left in the store.
    auto r = testsupport::run({"/bin/sh", "-c", "ls -A " + sb.path("rw/glbv") + " | grep -c '^\\.' || true"});
    EXPECT_EQ(r.out, "0\n");
}

TEST_F(StoreConcurrency, ExactlyOneReadAndDeleteGetsTheValue) {
    for (int round = 0; round < 100; ++round) {
        std::string n = "gv_once", v = "value" + std::to_string(round);
        glbv('w', n, v);
        posix::Pipe go, results;
        ASSERT_TRUE(posix::make_pipe(go) && posix::make_pipe(results));
        exec::SpawnOptions opt;
        opt.in = exec::Stdio::from(go.rd.get());
        opt.out = exec::Stdio::from(results.wr.get());
        std::vector<exec::Child> pids;
        for (int c = 0; c < 2; ++c) {
            pids.push_back(exec::Child::call(
                [&] {
                    go.wr.reset();  // our copy: the release is the parent's close
                    char b;
                    if (read(0, &b, 1) < 0) return 2;  // both start together
                    std::string rn = "gv_once", rv;
                    glbv('R', rn, rv);
                    char got = rv == "value" + std::to_string(round) ? 'Y' : (rv[0] == '?' ? 'N' : 'X');
                    return write(1, &got, 1) == 1 ? 0 : 2;
                },
                opt));
            ASSERT_TRUE(pids.back().started());
        }
        go = {};  // releases both
        results.wr.reset();
        std::string got;
        ASSERT_TRUE(posix::read_all(results.rd.get(), got));
        EXPECT_EQ(wait_all(pids), 0);
        std::sort(got.begin(), got.end());
        ASSERT_EQ(got, "NY") << "round " << round;
        EXPECT_FALSE(testsupport::exists(sb.store_file("gv_once")));
    }
}
