// The daemon's decisions on a new connection and on a complete request.
#include "ctrld_decide.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

in_addr_t ip(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

CtrldConfig config() {
    CtrldConfig c;
    AllowNet n;
    parse_allow_net("10.1.0.0/16", n);
    c.allow_hosts = {n};
    c.allow_users = {"root", "backup"};
    c.max_sessions = 6;
    c.max_pending = 3;
    c.max_pending_per_host = 2;
    return c;
}

}  // namespace

TEST(CtrldDecide, ConnectionsAreCheckedAndBoundedBeforeTheRequest) {
    const CtrldConfig c = config();
    struct {
        const char* addr;
        int pending, from;
        std::string reason;  // "" = admitted
    } cases[] = {
        {"10.1.2.3", 0, 0, ""},     {"10.2.0.1", 0, 0, "not allowed"},
        {"10.1.2.3", 2, 1, ""},     {"10.1.2.3", 2, 2, "busy"},  // its own share used
        {"10.1.2.3", 3, 0, "busy"},                              // everyone's share used
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.addr + std::to_string(k.pending) + std::to_string(k.from));
        auto r = ctrld_admit(c, ip(k.addr), k.pending, k.from);
        EXPECT_EQ(r ? r->reason : "", k.reason);
        if (r) {
            EXPECT_EQ(r->code, k.reason == "busy" ? kRefuseBusy : kRefuseNotAllowed);
        }
    }
    // Waiting callers never take every session.
    CtrldConfig small = c;
    small.max_sessions = 2;
    EXPECT_EQ(ctrld_pending_limit(small), 1);
}

TEST(CtrldDecide, RequestsAreAllowedOrRefusedWithTheirReason) {
    const Identity root{0, 0, "root", "/root", "/bin/sh"},
        backup{34, 34, "backup", "/var/backups", "/bin/sh"};
    struct {
        const char* addr;
        std::string user, command;
        uid_t euid;
        std::vector<std::string> users;  // allow_users; empty = the default of config()
        std::string reason;              // "" = allowed
        std::vector<std::string> argv;
    } cases[] = {
        {"10.1.0.9", "root", "ls\"-l\"\"x y", 0, {}, "", {"ls", "-l", "", "x y"}},
        {"10.1.0.9", "backup", "id", 34, {}, "", {"id"}},
        {"10.1.0.9", "nobody", "id", 0, {"*"}, "no such user", {}},
        {"10.9.0.9", "root", "id", 0, {}, "not allowed", {}},
        // Without root only the daemon's own user.
        {"10.1.0.9", "root", "id", 34, {}, "not allowed", {}},
        {"10.1.0.9", "root", "\"ls", 0, {}, "bad request: empty command", {}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.user + " " + k.command);
        CtrldConfig c = config();
        if (!k.users.empty()) c.allow_users = k.users;
        std::vector<std::string> looked_up;
        auto lookup = [&](const std::string& name) -> std::optional<Identity> {
            looked_up.push_back(name);
            if (name == "root") return root;
            if (name == "backup") return backup;
            return std::nullopt;
        };
        Verdict v = ctrld_decide(c, ip(k.addr), CtrlRequest{0, k.user, k.command}, k.euid, lookup);
        EXPECT_EQ(v.permit ? "" : v.refusal.reason, k.reason);
        if (v.permit) {
            EXPECT_EQ(v.permit->argv, k.argv);
            EXPECT_EQ(v.permit->id.name, k.user);
        } else {
            int code = k.reason == "no such user"  ? kRefuseNoUser
                       : k.reason == "not allowed" ? kRefuseNotAllowed
                                                   : kRefuseBadRequest;
            EXPECT_EQ(v.refusal.code, code);
        }
        // Whether an account exists is no answer for a stranger.
        if (k.reason == "not allowed" && k.euid == 0) {
            EXPECT_TRUE(looked_up.empty());
        }
    }
}
