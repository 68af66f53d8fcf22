// A private PostgreSQL server for tests and benchmarks: its own data
// directory in a temporary directory, listening on a free loopback port,
// run as the "postgres" user when the caller is root. Stopped and removed
// on destruction.
#pragma once

#include <string>

namespace testsupport {

class PgServer {
   public:
    PgServer() = default;
    ~PgServer();
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    // initdb and start; false with why() set when anything fails.
    bool start();
    void stop();
    const std::string& why() const { return why_; }

    int port() const { return port_; }
    // libpq connection string for database name on this server.
    std::string conninfo(const std::string& dbname) const;
    // Creates an empty database; false with why() set on failure.
    bool create_database(const std::string& name);
    // Runs one statement with psql against database name; rc 0 when it ran.
    int psql(const std::string& dbname, const std::string& statement, std::string* out = nullptr) const;

    // Directory of the server programs (initdb, pg_ctl).
    static std::string bin_dir();

   private:
    std::string as_server_user(const std::string& cmd) const;
    std::string dir_, why_;
    int port_ = 0;
    bool running_ = false;
};

}  // namespace testsupport
