// Jobs forwarded from the lab's server to its nodes over every access mode:
// the caller sees what a run on the node itself shows.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>

#include "lab.hpp"

using lab::Mode;
using testsupport::exists;
using testsupport::read_file;
using testsupport::RunResult;
namespace fs = std::filesystem;

namespace {

// Every byte value, in an order no buffer size lines up with.
std::string binary(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 12345;
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i < 256 ? i : (x = x * 1103515245 + 12345) >> 16);
    return s;
}

std::string status_line(const RunResult& r) {
    const std::string lines = lab::result_lines(r.err);
    size_t at = lines.find("STATUS=");
    return at == std::string::npos ? "" : lines.substr(at);
}

std::string message(const RunResult& r) {
    std::string s = status_line(r);
    size_t at = s.find(" MSG=");
    return at == std::string::npos ? "" : s.substr(at + 5, s.size() - at - 6);
}

class Forward : public ::testing::TestWithParam<Mode> {
   protected:
    void SetUp() override {
        LAB_REQUIRED();
        static int count = 0;
        data = lab::dir() + "/" + GetParam().node + "/data" + std::to_string(++count);
        fs::create_directories(data);
        lab::run(GetParam().node, {"chown", std::string(GetParam().user) + ":", data});
    }
    // A file as the node's jobs would have made it (owned by their user).
    void put(const std::string& path, const std::string& content) {
        testsupport::write_file(path, content);
        lab::run(GetParam().node, {"chown", std::string(GetParam().user) + ":", path});
    }
    std::string data;
};

std::string test_name(const ::testing::TestParamInfo<Mode>& p) {
    return p.param.node;
}

}  // namespace

TEST_P(Forward, SameResultAsOnTheNode) {
    const Mode& m = GetParam();
    const std::string content = binary(300000), input = binary(70000), made = data + "/made",
                      dir = data + "/d/sub", var = lab::dir() + "/" + m.node + "/inst/rw/glbv/gv_lab.sgv";
    put(data + "/content", content);
    struct Step {
        std::vector<std::string> args;
        std::function<void()> reset;  // state the job expects, before each run
        std::string in;
    };
    const auto with_var = [&] { put(var, "one  two "); };
    const Step steps[] = {
        {{"-f", "W", "-n", "gv_lab", "-s", "one  two "}, [&] { fs::remove(var); }, ""},
        {{"-f", "G", "-n", "gv_lab"}, with_var, ""},
        {{"-f", "R", "-n", "gv_lab"}, with_var, ""},
        {{"-f", "G", "-n", "gv_lab"}, [&] { fs::remove(var); }, ""},
        {{"-f", "e", "-n", data + "/content"}, [] {}, ""},
        {{"-f", "e", "-n", data + "/absent"}, [] {}, ""},
        {{"-f", "D", "-n", dir}, [&] { fs::remove_all(data + "/d"); }, ""},
        {{"-f", "u", "-m", "r", "-n", data + "/content"}, [] {}, ""},
        {{"-f", "u", "-m", "c", "-n", made, "-s", "-"}, [&] { fs::remove(made); }, input},
    };
    int n = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::PrintToString(s.args));
        const std::string id = "F" + std::to_string(++n);
        s.reset();
        RunResult here = lab::local(m, s.args, s.in);
        std::vector<std::string> fwd = {"-i", id, "-c", m.host};
        fwd.insert(fwd.end(), s.args.begin(), s.args.end());
        s.reset();
        RunResult there = lab::server(fwd, s.in);
        if (!s.in.empty() && std::string(m.node) == "rsh2") {
            // Its staged script reads /dev/null: refused rather than an empty file.
            EXPECT_NE(there.rc, 0);
            EXPECT_NE(message(there), "");
            EXPECT_FALSE(exists(made));
            continue;
        }
        EXPECT_EQ(there.rc, here.rc) << there.err;
        EXPECT_EQ(status_line(there), status_line(here));
        if (!here.err.empty()) {
            EXPECT_EQ(lab::result_lines(there.err).rfind("ID=" + id + "\n", 0), 0u) << there.err;
        }
        EXPECT_TRUE(there.out == here.out)
            << "stdout differs: " << there.out.size() << " vs " << here.out.size();
        if (!s.in.empty()) {
            EXPECT_TRUE(read_file(made) == input);
        }
        // Result variables are the server's only.
        EXPECT_EQ(lab::store("server", "gv_client_sts_" + id), std::to_string(there.rc));
        EXPECT_FALSE(lab::store_has(m.node, "gv_client_sts_" + id));
    }
    EXPECT_TRUE(read_file(data + "/content") == content);
    EXPECT_EQ(lab::strays("server"), std::vector<int>{});
}

TEST_P(Forward, HostileValuesArriveByteForByte) {
    const Mode& m = GetParam();
    // No slash: also a file name. A shell that evaluated it leaves PWNED in its
    // working directory, which is in the lab for every process of it.
    const std::string evil = " $(touch PWNED)`touch PWNED`;touch PWNED|&*\\ '\n\xfc\xe9-x";
    const bool ctrl_wire = m.node == std::string("ctrl") || m.node == std::string("jrsh");
    for (const std::string& value : {"-a  b" + evil, std::string("q\"") + evil}) {
        SCOPED_TRACE(value);
        lab::run(m.node, {"sm_client", "-c", m.host, "-f", "W", "-n", "gv_hostile", "-s", "before"}, m.user);
        RunResult r = lab::server({"-c", m.host, "-f", "W", "-n", "gv_hostile", "-s", value});
        const bool quote = value.find('"') != std::string::npos;
        if (r.rc == 0) {
            EXPECT_EQ(lab::store(m.node, "gv_hostile"), value);
        } else {
            // The control daemon's words cannot hold a double quote: refused, never split.
            EXPECT_TRUE(quote && ctrl_wire) << r.err;
            EXPECT_EQ(lab::store(m.node, "gv_hostile"), "before");
        }
        if (quote && m.node == std::string("ctrl")) {
            EXPECT_NE(r.rc, 0);
        }
        if (quote && ctrl_wire) continue;
        const std::string name = data + "/" + value;
        r = lab::server({"-c", m.host, "-f", "u", "-m", "c", "-n", name, "-s", value});
        EXPECT_EQ(r.rc, 0) << r.err;
        EXPECT_EQ(read_file(name), value + "\n");
    }
    EXPECT_EQ(testsupport::run({"/usr/bin/find", lab::dir(), "-name", "PWNED"}).out, "")
        << "a shell evaluated a value";
    EXPECT_FALSE(exists("/PWNED"));
}

TEST_P(Forward, NodeThatIsDownEndsNotReachable) {
    const std::string host = std::string("lab-down-") + GetParam().node;
    const auto start = std::chrono::steady_clock::now();
    RunResult r = lab::server({"-c", host, "-f", "G", "-n", "gv_x"}, "", 90000);
    EXPECT_EQ(r.rc, 1) << r.err;
    EXPECT_EQ(message(r).rfind("E020-HOSTS   Computer " + host + " currently not reachable (", 0), 0u)
        << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    EXPECT_EQ(lab::strays("server"), std::vector<int>{});
}

INSTANTIATE_TEST_SUITE_P(Modes, Forward, ::testing::ValuesIn(lab::kModes), test_name);

TEST(Concurrent, TwentyJobsEachGetTheirOwnResult) {
    LAB_REQUIRED();
    for (const char* node : {"ctrl", "ssh"}) {
        const std::string host = std::string("lab-") + node;
        std::vector<std::future<RunResult>> jobs;
        for (int i = 0; i < 20; ++i) {
            const std::string n = std::to_string(i);
            jobs.push_back(std::async(std::launch::async, [=] {
                return lab::server({"-i", "C" + n, "-c", host, "-f", "W", "-n", "gv_c" + n, "-s", "v " + n});
            }));
        }
        for (int i = 0; i < 20; ++i) {
            RunResult r = jobs[i].get();
            const std::string n = std::to_string(i);
            EXPECT_EQ(r.rc, 0) << node << " " << i << ": " << r.err;
            EXPECT_EQ(lab::result_lines(r.err), "ID=C" + n + "\nSTATUS=SUCCESS MSG=v " + n + "\n") << node;
            EXPECT_EQ(lab::store(node, "gv_c" + n), "v " + n) << node;
        }
    }
    EXPECT_EQ(lab::strays("server"), std::vector<int>{});
}

TEST(ErrorRows, GiveTheirMessages) {
    LAB_REQUIRED();
    lab::run("ctrl", {"sm_client", "-f", "W", "-n", "gv_x", "-s", "ctrl value"});
    const std::string nw =
        "2000-01-01 00:00:00: zbc-3036: Info:     # @(#)ZARVO BACKUP CLIENT FOR NETWARE FILE SYSTEMS, "
        "VERSION: "
        "1.7A3 Thu Apr 14 20:28:31 MEST 2005 Linux #";
    struct Row {
        const char* host;
        int rc;
        std::string msg_start, prot_id, prot_text;
    } rows[] = {
        {"lab-vms", 1, "E020-HOSTS   Computer lab-vms currently not reachable", "E014-HOSTS",
         "RemoteCmd lab-vms > error: Unknown platform:VMS"},
        {"lab-nw", 1, nw, "", ""},
        {"lab-badmode", 1, "E020-HOSTS   Computer lab-badmode currently not reachable", "E019-HOSTS",
         "RemoteCmd lab-badmode > invalid accessmode - rsh"},
        {"lab-dup", 0, "ctrl value", "W002-HOSTS", "Computer lab-dup is defined multiple"},
        {"lab-unlisted", 0, "ctrl value", "W001-HOSTS",
         "Computer lab-unlisted not yet configured as backup-client - please do it now."},
    };
    for (const Row& row : rows) {
        RunResult r = lab::server({"-c", row.host, "-f", "G", "-n", "gv_x"}, "", 90000);
        EXPECT_EQ(r.rc, row.rc) << row.host << ": " << r.err;
        EXPECT_EQ(message(r).rfind(row.msg_start, 0), 0u) << row.host << ": " << r.err;
        EXPECT_TRUE(lab::protocol_has("server", row.prot_id, row.prot_text)) << row.host;
    }
}

// The real intervals: a daemon that accepts and then never answers.
TEST(Slow, FrozenDaemonsEndNotReachable) {
    LAB_REQUIRED();
    struct Frozen {
        Mode m;
        const char* daemon;
    };
    const Frozen frozen[] = {{lab::kModes[0], "inetd"},
                             {lab::kModes[1], "inetd"},
                             {lab::kModes[2], "sshd"},
                             {lab::kModes[3], "ctrld"},
                             {lab::kModes[4], "ctrld"}};
    std::vector<std::future<RunResult>> jobs;
    for (const Frozen& f : frozen) {
        ASSERT_EQ(::kill(lab::daemon_pid(f.m.node, f.daemon), SIGSTOP), 0);
        jobs.push_back(std::async(std::launch::async, [&] {
            return lab::server({"-c", f.m.host, "-f", "G", "-n", "gv_x"}, "", 400000);
        }));
    }
    for (size_t i = 0; i < jobs.size(); ++i) {
        RunResult r = jobs[i].get();
        ::kill(lab::daemon_pid(frozen[i].m.node, frozen[i].daemon), SIGCONT);
        EXPECT_EQ(r.rc, 1) << frozen[i].m.node << ": " << r.err;
        EXPECT_EQ(message(r).rfind(std::string("E020-HOSTS   Computer ") + frozen[i].m.host, 0), 0u) << r.err;
    }
    EXPECT_EQ(lab::strays("server"), std::vector<int>{});
}
