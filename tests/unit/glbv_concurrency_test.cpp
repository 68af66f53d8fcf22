// Many processes on one variable: a reader sees the old or the new value,
// never nothing and never a part; of two concurrent read-and-delete callers
// exactly one gets the value.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "config/glbv.hpp"
#include "support/run.hpp"

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

int wait_all(const std::vector<pid_t>& pids) {
    int failures = 0;
    for (pid_t p : pids) {
        int st = 0;
        waitpid(p, &st, 0);
        if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) ++failures;
    }
    return failures;
}

}  // namespace

TEST_F(StoreConcurrency, WritersAndReadersNeverSeeAPartialValue) {
    {
        std::string n = "gv_shared", v = make_value(0, 0);
        glbv('w', n, v);
    }
    std::vector<pid_t> pids;
    for (int w = 1; w <= 8; ++w) {
        pid_t p = fork();
        ASSERT_GE(p, 0);
        if (p == 0) {
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
            _exit(bad == 0 ? 0 : 1);
        }
        pids.push_back(p);
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
        int go[2];
        ASSERT_EQ(pipe(go), 0);
        int results[2];
        ASSERT_EQ(pipe(results), 0);
        std::vector<pid_t> pids;
        for (int c = 0; c < 2; ++c) {
            pid_t p = fork();
            ASSERT_GE(p, 0);
            if (p == 0) {
                char b;
                close(go[1]);
                if (read(go[0], &b, 1) < 0) _exit(2);  // both start together
                std::string rn = "gv_once", rv;
                glbv('R', rn, rv);
                char got = rv == "value" + std::to_string(round) ? 'Y' : (rv[0] == '?' ? 'N' : 'X');
                if (write(results[1], &got, 1) != 1) _exit(2);
                _exit(0);
            }
            pids.push_back(p);
        }
        close(go[0]);
        close(go[1]);  // releases both
        close(results[1]);
        std::string got;
        char b;
        while (read(results[0], &b, 1) == 1) got.push_back(b);
        close(results[0]);
        EXPECT_EQ(wait_all(pids), 0);
        std::sort(got.begin(), got.end());
        ASSERT_EQ(got, "NY") << "round " << round;
        EXPECT_FALSE(testsupport::exists(sb.store_file("gv_once")));
    }
}
