#include "support/pgserver.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "support/run.hpp"

namespace testsupport {

namespace {

// A port that was free a moment ago on 127.0.0.1.
int free_port() {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

std::string sh_quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

RunResult sh(const std::string& cmd, int timeout_ms = 120000) {
    RunOptions o;
    o.timeout_ms = timeout_ms;
    return run({"/bin/sh", "-c", cmd}, o);
}

}  // namespace

std::string PgServer::bin_dir() {
    if (const char* d = std::getenv("SM_PG_BIN")) return d;
    for (int v = 20; v >= 11; --v) {
        std::string d = "/usr/lib/postgresql/" + std::to_string(v) + "/bin";
        if (exists(d + "/initdb")) return d;
    }
    return "/usr/lib/postgresql/15/bin";
}

// The server refuses to run as root: root hands the work to "postgres".
std::string PgServer::as_server_user(const std::string& cmd) const {
    if (::geteuid() != 0) return cmd;
    return "runuser -u postgres -- /bin/sh -c " + sh_quote(cmd);
}

bool PgServer::start() {
    char tmpl[] = "/tmp/sm_pg_XXXXXX";
    if (!::mkdtemp(tmpl)) {
        why_ = "mkdtemp failed";
        return false;
    }
    dir_ = tmpl;
    if (::geteuid() == 0) {
        struct passwd* pw = ::getpwnam("postgres");
        if (!pw || ::chown(dir_.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
            why_ = "no postgres user to run the server as";
            return false;
        }
    }
    port_ = free_port();
    const std::string bin = bin_dir();
    RunResult r =
        sh(as_server_user(bin + "/initdb -D " + dir_ + "/data -U postgres --auth=trust --locale=C -E UTF8"));
    if (r.rc != 0) {
        why_ = "initdb failed: " + r.out + r.err;
        return false;
    }
    const std::string opts = "-c listen_addresses=127.0.0.1 -p " + std::to_string(port_) +
                             " -c unix_socket_directories=" + dir_ +
                             " -c fsync=off -c synchronous_commit=off";
    r = sh(as_server_user(bin + "/pg_ctl -D " + dir_ + "/data -l " + dir_ + "/server.log -w -t 60 -o " +
                          sh_quote(opts) + " start"));
    if (r.rc != 0) {
        why_ = "pg_ctl start failed: " + r.out + r.err + read_file(dir_ + "/server.log");
        return false;
    }
    running_ = true;
    return true;
}

void PgServer::stop() {
    if (running_) sh(as_server_user(bin_dir() + "/pg_ctl -D " + dir_ + "/data -m fast -w -t 60 stop"));
    running_ = false;
    if (!dir_.empty() && !std::getenv("SM_KEEP_SANDBOX")) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    dir_.clear();
}

PgServer::~PgServer() {
    stop();
}

std::string PgServer::conninfo(const std::string& dbname) const {
    return "host=127.0.0.1 port=" + std::to_string(port_) + " dbname=" + dbname + " user=postgres";
}

int PgServer::psql(const std::string& dbname, const std::string& statement, std::string* out) const {
    RunResult r = run({"/usr/bin/psql", "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-d",
                       conninfo(dbname), "-c", statement});
    if (out) *out = r.out + r.err;
    return r.rc;
}

bool PgServer::create_database(const std::string& name) {
    std::string out;
    if (psql("postgres", "create database " + name, &out) != 0) {
        why_ = "create database " + name + ": " + out;
        return false;
    }
    return true;
}

}  // namespace testsupport
