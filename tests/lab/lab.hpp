// The lab as tests use it: brought up once per test program (scripts/lab),
// jobs run on the server or on a node, the nodes' files seen from outside.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/run.hpp"

namespace lab {

// One node per access mode: lab name, host name, and the user that jobs
// reach it as.
struct Mode {
    const char* node;
    const char* host;
    const char* user;
};
inline const Mode kModes[] = {{"rsh", "lab-rsh", "root"},
                              {"rsh2", "lab-rsh2", "zarvo"},
                              {"ssh", "lab-ssh", "root"},
                              {"ctrl", "lab-ctrl", "root"},
                              {"jrsh", "lab-jrsh", "root"}};

inline void PrintTo(const Mode& m, std::ostream* os) {
    *os << m.node;
}

// Brings the lab up before the first test and down after the last.
class Environment : public ::testing::Environment {
   public:
    void SetUp() override;
    void TearDown() override;
};

// Empty when the lab is up, else the line saying why it is not.
const std::string& skip_reason();
const std::string& dir();  // the lab's state directory

#define LAB_REQUIRED()                                                       \
    do {                                                                     \
        if (!lab::skip_reason().empty()) GTEST_SKIP() << lab::skip_reason(); \
    } while (0)

// CMD inside node (its installation's programs first on PATH), as user.
testsupport::RunResult run(const std::string& node, std::vector<std::string> cmd,
                           const std::string& user = "root", const std::string& stdin_data = "",
                           int timeout_ms = 120000);
// sm_client ARGS on the server.
testsupport::RunResult server(std::vector<std::string> args, const std::string& stdin_data = "",
                              int timeout_ms = 120000);
// sm_client ARGS on the node itself, as its jobs run there.
testsupport::RunResult local(const Mode& m, std::vector<std::string> args,
                             const std::string& stdin_data = "");

// The "ID=" and "STATUS=" lines of a run's error output.
std::string result_lines(const std::string& err);
std::string store(const std::string& node, const std::string& var);  // "" when not set
bool store_has(const std::string& node, const std::string& var);
// Whether one line of the node's protocol holds both texts.
bool protocol_has(const std::string& node, const std::string& a, const std::string& b);
// Processes in node's network namespace besides its holder and daemons.
std::vector<int> strays(const std::string& node);
// The pid of a node's daemon (sshd, inetd, ctrld).
int daemon_pid(const std::string& node, const std::string& daemon);

}  // namespace lab
