#include "ctrld_config.hpp"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "ini/ini.hpp"

namespace {

constexpr size_t kValueMax = 4096;
constexpr const char* kSection = "[CTRLD]";

bool read_key(const std::string& file, const char* key, std::string& value) {
    std::string msg;
    return i_GetPrivateProfileString(file.c_str(), kSection, key, value, kValueMax, msg, 256) == 1;
}

bool to_int(const std::string& s, int lo, int hi, int& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 10);
    while (end && (*end == ' ' || *end == '\t')) ++end;
    if (!end || *end != '\0' || v < lo || v > hi) return false;
    out = static_cast<int>(v);
    return true;
}

}  // namespace

std::vector<std::string> split_list(const std::string& text) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : text) {
        if (c == ' ' || c == ',' || c == '\t') {
            if (!cur.empty()) out.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

int ctrld_pending_limit(const CtrldConfig& cfg) {
    return std::max(1, std::min(cfg.max_pending, cfg.max_sessions - 1));
}

bool parse_allow_net(const std::string& text, AllowNet& out) {
    std::string addr = text;
    int prefix = 32;
    size_t slash = text.find('/');
    if (slash != std::string::npos) {
        addr = text.substr(0, slash);
        if (!to_int(text.substr(slash + 1), 0, 32, prefix)) return false;
    }
    struct in_addr a {};
    if (::inet_pton(AF_INET, addr.c_str(), &a) != 1) return false;
    out.addr = ntohl(a.s_addr);
    out.prefix = prefix;
    return true;
}

bool caller_allowed(const std::vector<AllowNet>& nets, in_addr_t addr) {
    uint32_t a = ntohl(addr);
    for (const AllowNet& n : nets) {
        uint32_t mask = n.prefix == 0 ? 0 : 0xffffffffu << (32 - n.prefix);
        if ((a & mask) == (n.addr & mask)) return true;
    }
    return false;
}

bool load_ctrld_config(const std::string& file, CtrldConfig& cfg, std::string& msg) {
    if (cfg.allow_hosts.empty()) cfg.allow_hosts.push_back({0x7f000000u, 8});
    std::string v, m;
    bool port_set = false;
    if (!file.empty()) {
        if (::access(file.c_str(), R_OK) != 0) {
            msg = "cannot read configuration " + file;
            return false;
        }
        if (read_key(file, "listen", v)) cfg.listen = split_list(v);
        if (read_key(file, "port", v)) {
            if (!to_int(v, 0, 65535, cfg.port)) {
                msg = "bad port: " + v;
                return false;
            }
            port_set = true;
        }
        if (read_key(file, "allow_hosts", v)) {
            cfg.allow_hosts.clear();
            for (const std::string& item : split_list(v)) {
                AllowNet n;
                if (!parse_allow_net(item, n)) {
                    msg = "bad allow_hosts entry: " + item;
                    return false;
                }
                cfg.allow_hosts.push_back(n);
            }
        }
        if (read_key(file, "allow_users", v)) cfg.allow_users = split_list(v);
        struct {
            const char* key;
            int* target;
            int lo, hi;
        } ints[] = {{"max_sessions", &cfg.max_sessions, 1, 10000},
                    {"max_pending", &cfg.max_pending, 1, 10000},
                    {"max_pending_per_host", &cfg.max_pending_per_host, 1, 10000},
                    {"idle_timeout", &cfg.idle_timeout, 0, 86400 * 7},
                    {"request_timeout", &cfg.request_timeout, 1, 3600},
                    {"connect_timeout", &cfg.connect_timeout, 1, 3600}};
        for (auto& it : ints) {
            if (read_key(file, it.key, v) && !to_int(v, it.lo, it.hi, *it.target)) {
                msg = std::string("bad ") + it.key + ": " + v;
                return false;
            }
        }
        int n = 0;
        if (read_key(file, "max_command", v)) {
            if (!to_int(v, 1, 1 << 20, n)) {
                msg = "bad max_command: " + v;
                return false;
            }
            cfg.max_command = static_cast<size_t>(n);
        }
        if (read_key(file, "bin_dir", v)) {
            while (v.size() > 1 && v.back() == '/') v.pop_back();
            cfg.bin_dir = v;
        }
        if (read_key(file, "zarvo_ini", v)) cfg.zarvo_ini = v;
        if (read_key(file, "log_file", v)) cfg.log_file = v;
        if (read_key(file, "pid_file", v)) cfg.pid_file = v;
    }
    if (!port_set) {
        std::string msg2;
        if (i_READ_INI("SM_INI", "[CTRLD_Server]", "CTRLD_Port", v, 1024, msg2, 256) == 1 &&
            !to_int(v, 0, 65535, cfg.port))
            cfg.port = kCtrldDefaultPort;
    }
    if (cfg.zarvo_ini.empty()) {
        if (const char* z = std::getenv("ZARVO_INI")) cfg.zarvo_ini = z;
    }
    if (cfg.listen.empty()) cfg.listen.push_back("127.0.0.1");
    return true;
}
