#include "lab.hpp"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

namespace lab {
namespace {

using testsupport::RunOptions;
using testsupport::RunResult;

std::string g_dir, g_ns, g_skip = "lab not brought up";

RunOptions lab_env(int timeout_ms) {
    RunOptions o;
    o.env = {{"SM_LAB_DIR", g_dir}, {"SM_LAB_NS", g_ns}, {"SM_LAB_BIN", testsupport::bin_dir()}};
    o.timeout_ms = timeout_ms;
    // Where a shell that evaluated a value would leave its files.
    if (testsupport::exists(g_dir)) o.cwd = g_dir;
    return o;
}

RunResult script(std::vector<std::string> args, const std::string& stdin_data = "", int timeout_ms = 120000) {
    args.insert(args.begin(), {"/bin/bash", testsupport::source_dir() + "/scripts/lab"});
    RunOptions o = lab_env(timeout_ms);
    o.stdin_data = stdin_data;
    return testsupport::run(args, o);
}

int first_number(const std::string& text) {
    return std::atoi(text.c_str());
}

}  // namespace

void Environment::SetUp() {
    const std::string id = std::to_string(::getpid());
    g_dir = "/tmp/sm-labtest-" + id;
    g_ns = "smlt" + id;
    RunResult r = script({"up"});
    if (r.rc == 0) {
        g_skip.clear();
    } else if (r.rc == 77) {
        g_skip = r.err.substr(0, r.err.find('\n'));
    } else {
        g_skip = "lab up failed (" + std::to_string(r.rc) + "): " + r.err;
        ADD_FAILURE() << g_skip;
    }
}

void Environment::TearDown() {
    RunResult r = script({"down"});
    EXPECT_EQ(r.rc, 0) << r.err;
}

const std::string& skip_reason() {
    return g_skip;
}
const std::string& dir() {
    return g_dir;
}

RunResult run(const std::string& node, std::vector<std::string> cmd, const std::string& user,
              const std::string& stdin_data, int timeout_ms) {
    if (user != "root")
        cmd.insert(cmd.begin(), {"setpriv", "--reuid=" + user, "--regid=" + user, "--init-groups"});
    cmd.insert(cmd.begin(), {"run", node});
    return script(cmd, stdin_data, timeout_ms);
}

RunResult server(std::vector<std::string> args, const std::string& stdin_data, int timeout_ms) {
    args.insert(args.begin(), "sm_client");
    return run("server", args, "root", stdin_data, timeout_ms);
}

RunResult local(const Mode& m, std::vector<std::string> args, const std::string& stdin_data) {
    args.insert(args.begin(), {"sm_client", "-c", m.host});
    return run(m.node, args, m.user, stdin_data);
}

std::string result_lines(const std::string& err) {
    std::istringstream in(err);
    std::string out;
    for (std::string l; std::getline(in, l);)
        if (l.rfind("ID=", 0) == 0 || l.rfind("STATUS=", 0) == 0) out += l + "\n";
    return out;
}

std::string store(const std::string& node, const std::string& var) {
    return testsupport::read_file(g_dir + "/" + node + "/inst/rw/glbv/" + var + ".sgv");
}

bool store_has(const std::string& node, const std::string& var) {
    return testsupport::exists(g_dir + "/" + node + "/inst/rw/glbv/" + var + ".sgv");
}

bool protocol_has(const std::string& node, const std::string& a, const std::string& b) {
    std::istringstream in(testsupport::read_file(g_dir + "/" + node + "/inst/rw/prot/protocol.log"));
    for (std::string l; std::getline(in, l);)
        if (l.find(a) != std::string::npos && l.find(b) != std::string::npos) return true;
    return false;
}

int daemon_pid(const std::string& node, const std::string& daemon) {
    return first_number(testsupport::read_file(g_dir + "/" + node + "/" + daemon + ".pid"));
}

std::vector<int> strays(const std::string& node) {
    std::set<int> own{first_number(testsupport::read_file(g_dir + "/" + node + "/holder.pid"))};
    for (const char* d : {"sshd", "inetd", "ctrld"}) own.insert(daemon_pid(node, d));
    RunResult r = testsupport::run({"/usr/sbin/ip", "netns", "pids", g_ns + "-" + node});
    std::vector<int> left;
    std::istringstream in(r.out);
    for (int pid; in >> pid;)
        if (!own.count(pid)) left.push_back(pid);
    return left;
}

}  // namespace lab

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new lab::Environment);
    return RUN_ALL_TESTS();
}
