// Jobs forwarded from the lab's server to its nodes over every access mode:
// the caller sees what a run on the node itself shows.
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>

#include "lab.hpp"

using lab::Mode;
using testsupport::read_file;
using testsupport::RunResult;
namespace fs = std::filesystem;

namespace {

// Every byte value, then bytes in an order no buffer size lines up with.
std::string binary(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 12345;
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i < 256 ? i : (x = x * 1103515245 + 12345) >> 16);
    return s;
}

std::string message(const RunResult& r) {
    std::string s = lab::status_line(r);
    size_t at = s.find(" MSG=");
    return at == std::string::npos ? "" : s.substr(at + 5, s.size() - at - 6);
}

class Forward : public ::testing::TestWithParam<Mode> {
   protected:
    void SetUp() override {
        LAB_REQUIRED();
        static int count = 0;
        data = lab::dir() + "/" + m.node + "/data" + std::to_string(++count);
        fs::create_directories(data);
        own(data);
    }
    // Owned by the user the node's jobs run as.
    void own(const std::string& path) { lab::run(m.node, {"chown", std::string(m.user) + ":", path}); }
    RunResult local(std::vector<std::string> args, const std::string& in = "") {
        args.insert(args.begin(), {"sm_client", "-c", m.host});
        return lab::run(m.node, args, m.user, in);
    }
    const Mode& m = GetParam();
    std::string data;
};

}  // namespace

TEST_P(Forward, SameResultAsOnTheNode) {
    const std::string content = binary(300000), input = binary(70000), made = data + "/made",
                      var = lab::dir() + "/" + m.node + "/inst/rw/glbv/gv_lab.sgv";
    testsupport::write_file(data + "/content", content);
    own(data + "/content");
    const auto set_var = [&] {
        testsupport::write_file(var, "one  two ");
        own(var);
    };
    const auto no_var = [&] { fs::remove(var); };
    const std::function<void()> nothing = [] {};
    const struct {
        std::vector<std::string> args;
        std::function<void()> reset;  // the state the job starts from, for both runs
        std::string in;
    } steps[] = {
        {{"-f", "W", "-n", "gv_lab", "-s", "one  two "}, no_var, ""},
        {{"-f", "G", "-n", "gv_lab"}, set_var, ""},
        {{"-f", "R", "-n", "gv_lab"}, set_var, ""},
        {{"-f", "G", "-n", "gv_lab"}, no_var, ""},
        {{"-f", "e", "-n", data + "/content"}, nothing, ""},
        {{"-f", "e", "-n", data + "/absent"}, nothing, ""},
        {{"-f", "D", "-n", data + "/d/sub"}, [&] { fs::remove_all(data + "/d"); }, ""},
        {{"-f", "u", "-m", "r", "-n", data + "/content"}, nothing, ""},
        {{"-f", "u", "-m", "c", "-n", made, "-s", "-"}, [&] { fs::remove(made); }, input},
    };
    int n = 0;
    for (const auto& s : steps) {
        SCOPED_TRACE(testing::PrintToString(s.args));
        const std::string id = "F" + std::to_string(++n);
        s.reset();
        const RunResult here = local(s.args, s.in);
        std::vector<std::string> fwd = {"-i", id, "-c", m.host};
        fwd.insert(fwd.end(), s.args.begin(), s.args.end());
        s.reset();
        const RunResult there = lab::server(fwd, s.in);
        if (!s.in.empty() && m.node == std::string("rsh2")) {
            // Its staged script reads /dev/null: refused rather than an empty file.
            EXPECT_EQ(there.rc, 1);
            EXPECT_NE(message(there), "");
            EXPECT_FALSE(fs::exists(made));
            continue;
        }
        EXPECT_EQ(there.rc, here.rc) << there.err;
        EXPECT_EQ(lab::status_line(there), lab::status_line(here));
        EXPECT_TRUE(there.out == here.out)
            << "stdout: " << there.out.size() << " bytes, not " << here.out.size();
        if (!here.err.empty()) {
            EXPECT_EQ(there.err.rfind("ID=" + id + "\n", 0), 0u) << there.err;
        }
        if (!s.in.empty()) {
            EXPECT_TRUE(read_file(made) == input);
        }
        // Result variables are the server's only.
        EXPECT_EQ(lab::store("server", "gv_client_sts_" + id), std::to_string(there.rc));
        EXPECT_EQ(lab::store(m.node, "gv_client_sts_" + id), "");
    }
    EXPECT_EQ(lab::strays("server"), std::vector<int>{});
}

TEST_P(Forward, HostileValuesArriveByteForByte) {
    // No slash: also a file name. A shell that evaluated it would leave
    // PWNED in its working directory, which is in the lab for all of them.
    const std::string evil = " $(touch PWNED)`touch PWNED`;touch PWNED|&*\\ '\n\xfc\xe9-x";
    const bool ctrl_wire = m.node == std::string("ctrl") || m.node == std::string("jrsh");
    for (const std::string& value : {"-a  b" + evil, "q\"" + evil}) {
        SCOPED_TRACE(value);
        const bool quote = value.find('"') != std::string::npos;
        local({"-f", "W", "-n", "gv_hostile", "-s", "before"});
        RunResult r = lab::server({"-c", m.host, "-f", "W", "-n", "gv_hostile", "-s", value});
        if (r.rc == 0) {
            EXPECT_EQ(lab::store(m.node, "gv_hostile"), value);
        } else {
            // The control daemon's words cannot hold a double quote: refused, never split.
            EXPECT_TRUE(quote && ctrl_wire) << r.err;
            EXPECT_EQ(lab::store(m.node, "gv_hostile"), "before");
        }
        if (quote && m.node == std::string("ctrl")) {
            EXPECT_EQ(r.rc, 1);
        }
        if (quote && ctrl_wire) continue;
        r = lab::server({"-c", m.host, "-f", "u", "-m", "c", "-n", data + "/" + value, "-s", value});
        EXPECT_EQ(r.rc, 0) << r.err;
        EXPECT_EQ(read_file(data + "/" + value), value + "\n");
    }
    EXPECT_EQ(testsupport::run({"/usr/bin/find", lab::dir(), "-name", "PWNED"}).out, "");
    EXPECT_FALSE(fs::exists("/PWNED"));
}

INSTANTIATE_TEST_SUITE_P(Modes, Forward, ::testing::ValuesIn(lab::kModes),
                         [](const auto& p) { return std::string(p.param.node); });

TEST(Concurrent, TwentyJobsEachGetTheirOwnResult) {
    LAB_REQUIRED();
    for (const std::string node : {"ctrl", "ssh"}) {
        std::vector<std::future<RunResult>> jobs;
        for (int i = 0; i < 20; ++i)
            jobs.push_back(std::async(std::launch::async, [=] {
                const std::string n = std::to_string(i);
                return lab::server(
                    {"-i", "C" + n, "-c", "lab-" + node, "-f", "W", "-n", "gv_c" + n, "-s", "v " + n});
            }));
        for (int i = 0; i < 20; ++i) {
            const RunResult r = jobs[i].get();
            const std::string n = std::to_string(i);
            EXPECT_EQ(r.err, "ID=C" + n + "\nSTATUS=SUCCESS MSG=v " + n + "\n") << node;
            EXPECT_EQ(lab::store(node, "gv_c" + n), "v " + n) << node;
        }
    }
    EXPECT_EQ(lab::strays("server"), std::vector<int>{});
}

TEST(ErrorRows, GiveTheirMessages) {
    LAB_REQUIRED();
    lab::run("ctrl", {"sm_client", "-f", "W", "-n", "gv_x", "-s", "ctrl value"});
    struct Row {
        std::string host;
        int rc;
        std::string msg_start, prot_id, prot_text;
    };
    std::vector<Row> rows = {
        {"lab-vms", 1, "E020-HOSTS   Computer lab-vms currently not reachable", "E014-HOSTS",
         "RemoteCmd lab-vms > error: Unknown platform:VMS"},
        {"lab-nw", 1,
         "2000-01-01 00:00:00: zbc-3036: Info:     # @(#)ZARVO BACKUP CLIENT FOR NETWARE FILE SYSTEMS, "
         "VERSION: "
         "1.7A3 Thu Apr 14 20:28:31 MEST 2005 Linux #",
         "", ""},
        {"lab-badmode", 1, "E020-HOSTS   Computer lab-badmode currently not reachable", "E019-HOSTS",
         "RemoteCmd lab-badmode > invalid accessmode - rsh"},
        {"lab-dup", 0, "ctrl value", "W002-HOSTS", "Computer lab-dup is defined multiple"},
        {"lab-unlisted", 0, "ctrl value", "W001-HOSTS",
         "Computer lab-unlisted not yet configured as backup-client - please do it now."},
    };
    // Nothing answers at these addresses, whatever the access mode.
    for (const Mode& m : lab::kModes) {
        const std::string host = std::string("lab-down-") + m.node;
        rows.push_back({host, 1, "E020-HOSTS   Computer " + host + " currently not reachable (", "", ""});
    }
    for (const auto& row : rows) {
        RunResult r = lab::server({"-c", row.host, "-f", "G", "-n", "gv_x"});
        EXPECT_EQ(r.rc, row.rc) << row.host << ": " << r.err;
        EXPECT_EQ(message(r).rfind(row.msg_start, 0), 0u) << row.host << ": " << r.err;
        EXPECT_TRUE(lab::protocol_has("server", row.prot_id, row.prot_text)) << row.host;
    }
    EXPECT_EQ(lab::strays("server"), std::vector<int>{});
}

// The real intervals: daemons that accept and then never answer, and nodes
// that drop off the network in the middle of a job.
TEST(Slow, FrozenDaemonsEndNotReachable) {
    LAB_REQUIRED();
    const char* daemons[] = {"inetd", "inetd", "sshd", "ctrld", "ctrld"};  // per mode, in kModes' order
    const size_t n = std::size(daemons);
    std::vector<std::future<RunResult>> jobs;
    for (size_t i = 0; i < n; ++i) {
        ASSERT_EQ(::kill(lab::daemon_pid(lab::kModes[i].node, daemons[i]), SIGSTOP), 0);
        jobs.push_back(std::async(std::launch::async, [i] {
            return lab::server({"-c", lab::kModes[i].host, "-f", "G", "-n", "gv_x"}, "", 400000);
        }));
    }
    for (size_t i = 0; i < n; ++i) {
        const RunResult r = jobs[i].get();
        ::kill(lab::daemon_pid(lab::kModes[i].node, daemons[i]), SIGCONT);
        EXPECT_EQ(message(r).rfind(std::string("E020-HOSTS   Computer ") + lab::kModes[i].host, 0), 0u)
            << lab::kModes[i].node << " (" << r.rc << "): " << r.err;
    }
    EXPECT_EQ(lab::strays("server"), std::vector<int>{});
}

// A job that waits on the node (its file is a pipe nobody writes) when the cable goes.
TEST(Slow, NodeLostInTheMiddleEndsTheJob) {
    LAB_REQUIRED();
    std::vector<std::future<RunResult>> jobs;
    for (const Mode& m : lab::kModes) {
        const std::string fifo = lab::dir() + "/" + m.node + "/fifo";
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
        jobs.push_back(std::async(std::launch::async, [&m, fifo] {
            return lab::server(
                {"-i", std::string("L") + m.node, "-c", m.host, "-f", "u", "-m", "r", "-n", fifo}, "",
                400000);
        }));
    }
    std::this_thread::sleep_for(std::chrono::seconds(5));
    for (const Mode& m : lab::kModes) lab::link(m.node, false);
    for (size_t i = 0; i < jobs.size(); ++i) {
        const RunResult r = jobs[i].get();
        EXPECT_TRUE(r.rc == 1 || r.rc == 2) << lab::kModes[i].node << " (" << r.rc << "): " << r.err;
        // A read job reports through the result variables only.
        const std::string id = std::string("L") + lab::kModes[i].node;
        EXPECT_EQ(lab::store("server", "gv_client_sts_" + id), std::to_string(r.rc));
        EXPECT_NE(lab::store("server", "gv_client_msg_" + id), "") << id;
    }
    for (const Mode& m : lab::kModes) lab::link(m.node, true);
    EXPECT_EQ(lab::strays("server"), std::vector<int>{});
}
