// The daemon's decisions, without sockets or processes: whether to take a
// new connection at all, and whether a complete request may run.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ctrld_config.hpp"
#include "remote/ctrl_wire.hpp"

// Refusal exit codes (the urgent byte after a refusal): 128 plus the system
// error number that describes the reason, like a command that cannot start.
constexpr int kRefuseBadRequest = 128 + 71;  // EPROTO
constexpr int kRefuseNotAllowed = 128 + 13;  // EACCES
constexpr int kRefuseNoUser = 128 + 3;       // ESRCH
constexpr int kRefuseBusy = 128 + 11;        // EAGAIN

// A refusal: the reason line the caller gets and the urgent exit code.
struct Refusal {
    std::string reason;
    int code = 0;
};

// What a new connection from addr (network byte order) gets, given the
// connections that have not sent their request yet (all, and from addr).
// Empty: fork a session for it.
std::optional<Refusal> ctrld_admit(const CtrldConfig& cfg, in_addr_t addr, int pending,
                                   int pending_from_addr);

// The account a command runs as.
struct Identity {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name, home, shell;
};
using UserLookup = std::function<std::optional<Identity>(const std::string& name)>;

// A request that may run: the account and the command's words.
struct Permit {
    Identity id;
    std::vector<std::string> argv;
};

// Decides a complete request of a caller at addr (network byte order) for a
// daemon running with effective uid euid. The account is looked up only
// for a user the configuration lists.
struct Verdict {
    std::optional<Permit> permit;  // set when allowed
    Refusal refusal;               // otherwise
};
Verdict ctrld_decide(const CtrldConfig& cfg, in_addr_t addr, const CtrlRequest& req, uid_t euid,
                     const UserLookup& lookup);

// The refusal of a request that could not be read: "bad request: why".
Refusal ctrld_bad_request(const std::string& why);
