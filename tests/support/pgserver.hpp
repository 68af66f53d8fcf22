// A private PostgreSQL cluster in a temporary directory on a free loopback port, run as
// "postgres"; stopped and removed on destruction.
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
    const std::string& why() const { return why_; }
    // libpq connection string for database dbname on this server.
    std::string conninfo(const std::string& dbname) const;
    // An empty database; false with why() set.
    bool create_database(const std::string& name);

   private:
    std::string dir_, why_;
    int port_ = 0;
    bool running_ = false;
};

}  // namespace testsupport
