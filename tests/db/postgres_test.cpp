// The database suite over a PostgreSQL server started for this run; each
// installation gets a database of its own on it.
#include <gtest/gtest.h>

#include "suite.hpp"
#include "support/pgserver.hpp"

std::unique_ptr<testsupport::Sandbox> make_install() {
    static testsupport::PgServer server;
    static const bool started = server.start();
    static int serial = 0;
    const std::string db = "zarvo_t" + std::to_string(++serial);
    if (!started || !server.create_database(db)) {
        ADD_FAILURE() << server.why();
        return nullptr;
    }
    auto sb = std::make_unique<testsupport::Sandbox>();
    auto r = testsupport::run({"/bin/bash", testsupport::source_dir() + "/scripts/db/load-postgres",
                               server.conninfo(db), sb->dir()});
    if (r.rc != 0) {
        ADD_FAILURE() << "load-postgres: " << r.out << r.err;
        return nullptr;
    }
    return sb;
}
