// Configuration of the control daemon and its allow list.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

constexpr int kCtrldDefaultPort = 11301;

// One allowed caller network (address/prefix length, IPv4).
struct AllowNet {
    uint32_t addr = 0;  // host byte order
    int prefix = 32;
};

struct CtrldConfig {
    std::vector<std::string> listen{"127.0.0.1"};
    int port = kCtrldDefaultPort;
    std::vector<AllowNet> allow_hosts;  // default: 127.0.0.0/8
    std::vector<std::string> allow_users{"root"};
    int max_sessions = 32;
    int max_pending = 8;           // connections still sending their request
    int max_pending_per_host = 2;  // the same, from one address
    int idle_timeout = 600;        // seconds without a byte moved; 0 = none
    int request_timeout = 30;      // seconds to receive the whole request
    int connect_timeout = 10;      // seconds for the connection back to the caller
    size_t max_user = 255;
    size_t max_command = 8192;
    std::string bin_dir;    // first on the commands' search path
    std::string zarvo_ini;  // passed to commands as ZARVO_INI
    std::string log_file;   // "" = standard error only
    std::string pid_file;   // written in daemon mode
};

// Connections without a complete request that may exist at once: below
// max_sessions, so that waiting callers never take every session.
int ctrld_pending_limit(const CtrldConfig& cfg);

// Parses "a.b.c.d" or "a.b.c.d/n". False when malformed.
bool parse_allow_net(const std::string& text, AllowNet& out);
// True when addr (network byte order) lies in one of the networks.
bool caller_allowed(const std::vector<AllowNet>& nets, in_addr_t addr);
// Splits a list at blanks and commas, dropping empty items.
std::vector<std::string> split_list(const std::string& text);

// Loads the "[CTRLD]" section of file over the defaults; the port falls back
// to "CTRLD_Port" of "[CTRLD_Server]" in the main configuration. Returns
// false with msg when the file or a value is unusable.
bool load_ctrld_config(const std::string& file, CtrldConfig& cfg, std::string& msg);
