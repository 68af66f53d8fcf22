#include "lab.hpp"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>

namespace lab {
namespace {

using testsupport::RunResult;

std::string g_dir, g_ns, g_skip = "lab not brought up";

RunResult script(const std::string& d, const std::string& ns, std::vector<std::string> args,
                 const std::string& in = "", int timeout_ms = 120000) {
    args.insert(args.begin(), {"/bin/bash", testsupport::source_dir() + "/scripts/lab"});
    testsupport::RunOptions o;
    o.env = {{"SM_LAB_DIR", d}, {"SM_LAB_NS", ns}, {"SM_LAB_BIN", testsupport::bin_dir()}};
    o.stdin_data = in;
    o.timeout_ms = timeout_ms;
    // Where a shell that evaluated a value would leave its files.
    if (testsupport::exists(d)) o.cwd = d;
    return testsupport::run(args, o);
}

int pid_in(const std::string& file) {
    return std::atoi(testsupport::read_file(file).c_str());
}

class Environment : public ::testing::Environment {
    void SetUp() override {
        // Labs of test programs that were killed before they could clean up.
        for (const auto& e : std::filesystem::directory_iterator("/tmp")) {
            const std::string name = e.path().filename();
            if (name.rfind("sm-labtest-", 0) == 0 && !testsupport::exists("/proc/" + name.substr(11)))
                script(e.path(), "smlt" + name.substr(11), {"down"});
        }
        const std::string id = std::to_string(::getpid());
        g_dir = "/tmp/sm-labtest-" + id;
        g_ns = "smlt" + id;
        RunResult r = script(g_dir, g_ns, {"up"});
        if (r.rc == 0) {
            g_skip.clear();
        } else if (r.rc == 77) {
            g_skip = r.err.substr(0, r.err.find('\n'));
        } else {
            g_skip = "lab up failed (" + std::to_string(r.rc) + "): " + r.err;
            ADD_FAILURE() << g_skip;
        }
    }
    void TearDown() override { EXPECT_EQ(script(g_dir, g_ns, {"down"}).rc, 0); }
};

}  // namespace

const std::string& skip_reason() {
    return g_skip;
}
const std::string& dir() {
    return g_dir;
}

RunResult run(const std::string& node, std::vector<std::string> cmd, const std::string& user,
              const std::string& in, int timeout_ms) {
    if (user != "root")
        cmd.insert(cmd.begin(), {"setpriv", "--reuid=" + user, "--regid=" + user, "--init-groups"});
    cmd.insert(cmd.begin(), {"run", node});
    return script(g_dir, g_ns, cmd, in, timeout_ms);
}

RunResult server(std::vector<std::string> args, const std::string& in, int timeout_ms) {
    args.insert(args.begin(), "sm_client");
    return run("server", args, "root", in, timeout_ms);
}

std::string status_line(const RunResult& r) {
    size_t at = r.err.find("STATUS=");
    return at == std::string::npos ? "" : r.err.substr(at);
}

std::string store(const std::string& node, const std::string& var) {
    return testsupport::read_file(g_dir + "/" + node + "/inst/rw/glbv/" + var + ".sgv");
}

bool protocol_has(const std::string& node, const std::string& a, const std::string& b) {
    std::istringstream in(testsupport::read_file(g_dir + "/" + node + "/inst/rw/prot/protocol.log"));
    for (std::string l; std::getline(in, l);)
        if (l.find(a) != std::string::npos && l.find(b) != std::string::npos) return true;
    return false;
}

int daemon_pid(const std::string& node, const std::string& daemon) {
    return pid_in(g_dir + "/" + node + "/" + daemon + ".pid");
}

void link(const std::string& node, bool up) {
    EXPECT_EQ(script(g_dir, g_ns, {"link", node, up ? "up" : "down"}).rc, 0);
}

std::vector<int> strays(const std::string& node) {
    std::set<int> own{pid_in(g_dir + "/" + node + "/holder.pid")};
    for (const char* d : {"sshd", "inetd", "ctrld"}) own.insert(daemon_pid(node, d));
    std::istringstream in(testsupport::run({"/usr/sbin/ip", "netns", "pids", g_ns + "-" + node}).out);
    std::vector<int> left;
    for (int pid; in >> pid;)
        if (!own.count(pid)) left.push_back(pid);
    return left;
}

}  // namespace lab

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // A job that refuses its input closes the pipe we feed it through.
    std::signal(SIGPIPE, SIG_IGN);
    ::testing::AddGlobalTestEnvironment(new lab::Environment);
    int rc = RUN_ALL_TESTS();
    // Skipped, not passed, when there was no lab.
    if (rc == 0 && !lab::skip_reason().empty()) {
        std::fprintf(stderr, "%s\n", lab::skip_reason().c_str());
        return 77;
    }
    return rc;
}
