#include "ctrld_decide.hpp"

#include <algorithm>

std::optional<Refusal> ctrld_admit(const CtrldConfig& cfg, in_addr_t addr, int pending,
                                   int pending_from_addr) {
    if (!caller_allowed(cfg.allow_hosts, addr)) return Refusal{"not allowed", kRefuseNotAllowed};
    if (pending >= ctrld_pending_limit(cfg) || pending_from_addr >= cfg.max_pending_per_host)
        return Refusal{"busy", kRefuseBusy};
    return std::nullopt;
}

Refusal ctrld_bad_request(const std::string& why) {
    return {"bad request: " + why, kRefuseBadRequest};
}

Verdict ctrld_decide(const CtrldConfig& cfg, in_addr_t addr, const CtrlRequest& req, uid_t euid,
                     const UserLookup& lookup) {
    const Refusal not_allowed{"not allowed", kRefuseNotAllowed};
    if (!caller_allowed(cfg.allow_hosts, addr)) return {std::nullopt, not_allowed};
    bool listed = std::any_of(cfg.allow_users.begin(), cfg.allow_users.end(),
                              [&](const std::string& u) { return u == req.user || u == "*"; });
    if (!listed) return {std::nullopt, not_allowed};
    std::optional<Identity> id = lookup(req.user);
    if (!id) return {std::nullopt, {"no such user", kRefuseNoUser}};
    // Without root, commands run only as the daemon's own user.
    if (euid != 0 && id->uid != euid) return {std::nullopt, not_allowed};
    std::vector<std::string> argv = ctrld_split_wire(req.command);
    if (argv.empty() || argv[0].empty()) return {std::nullopt, ctrld_bad_request("empty command")};
    return {Permit{std::move(*id), std::move(argv)}, {}};
}
