// The lab for tests: brought up once per program (scripts/lab), jobs run on
// the server or a node, the nodes' files read from outside.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/run.hpp"

namespace lab {

// A node per access mode: its lab name, host name and the user jobs run as.
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

const std::string& skip_reason();  // empty when the lab is up
const std::string& dir();          // its state directory
#define LAB_REQUIRED() \
    if (!lab::skip_reason().empty()) GTEST_SKIP() << lab::skip_reason()

// CMD inside node as user, the installation's programs first on PATH.
testsupport::RunResult run(const std::string& node, std::vector<std::string> cmd,
                           const std::string& user = "root", const std::string& in = "",
                           int timeout_ms = 120000);
// sm_client ARGS on the server.
testsupport::RunResult server(std::vector<std::string> args, const std::string& in = "",
                              int timeout_ms = 120000);

std::string status_line(const testsupport::RunResult& r);  // from the first "STATUS=" on
std::string store(const std::string& node, const std::string& var);
// Whether one line of the node's protocol holds both texts.
bool protocol_has(const std::string& node, const std::string& a, const std::string& b);
int daemon_pid(const std::string& node, const std::string& daemon);
void link(const std::string& node, bool up);  // the node's cable in or out
// Processes left in the node's namespaces besides its holder and daemons.
std::vector<int> strays(const std::string& node);

}  // namespace lab
