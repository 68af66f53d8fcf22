#include "support/pgserver.hpp"

#include <arpa/inet.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "support/run.hpp"
#include "util/posix.hpp"

namespace testsupport {

namespace {

const std::string kBin = "/usr/lib/postgresql/15/bin/";

// A port that was free a moment ago on 127.0.0.1.
int free_port() {
    std::string err;
    posix::UniqueFd s = posix::tcp_listen("127.0.0.1", 0, 1, err);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    return s && ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len) == 0 ? ntohs(a.sin_port) : 0;
}

// The server refuses to run as root: root hands its programs to "postgres".
RunResult as_server_user(std::vector<std::string> argv) {
    if (::geteuid() == 0) argv.insert(argv.begin(), {"/usr/sbin/runuser", "-u", "postgres", "--"});
    RunOptions o;
    o.timeout_ms = 120000;
    return run(argv, o);
}

}  // namespace

bool PgServer::start() {
    char tmpl[] = "/tmp/sm_pg_XXXXXX";
    if (!::mkdtemp(tmpl)) return why_ = "mkdtemp failed", false;
    dir_ = tmpl;
    const passwd* pw = ::getpwnam("postgres");
    if (::geteuid() == 0 && (!pw || ::chown(dir_.c_str(), pw->pw_uid, pw->pw_gid) != 0))
        return why_ = "no postgres user to run the server as", false;
    port_ = free_port();
    RunResult r = as_server_user({kBin + "initdb", "-D", dir_ + "/data", "-U", "postgres", "--auth=trust",
                                  "--locale=C", "-E", "UTF8"});
    if (r.rc == 0) {
        const std::string opts = "-c listen_addresses=127.0.0.1 -p " + std::to_string(port_) +
                                 " -c unix_socket_directories=" + dir_ + " -c fsync=off";
        r = as_server_user({kBin + "pg_ctl", "-D", dir_ + "/data", "-l", dir_ + "/server.log", "-w", "-t",
                            "60", "-o", opts, "start"});
        running_ = r.rc == 0;
    }
    if (!running_) why_ = "server start failed: " + r.out + r.err + read_file(dir_ + "/server.log");
    return running_;
}

PgServer::~PgServer() {
    if (running_) as_server_user({kBin + "pg_ctl", "-D", dir_ + "/data", "-m", "fast", "-w", "stop"});
    std::error_code ec;
    if (!dir_.empty() && !std::getenv("SM_KEEP_SANDBOX")) std::filesystem::remove_all(dir_, ec);
}

std::string PgServer::conninfo(const std::string& dbname) const {
    return "host=127.0.0.1 port=" + std::to_string(port_) + " dbname=" + dbname + " user=postgres";
}

bool PgServer::create_database(const std::string& name) {
    RunResult r =
        run({"/usr/bin/psql", "-X", "-q", "-d", conninfo("postgres"), "-c", "create database " + name});
    if (r.rc != 0) why_ = "create database " + name + ": " + r.out + r.err;
    return r.rc == 0;
}

}  // namespace testsupport
