// The database suite on a PostgreSQL server of this run (a database per installation), and the tool's
// session.
#include <gtest/gtest.h>

#include <regex>

#include "suite.hpp"
#include "support/pgserver.hpp"

namespace {

testsupport::PgServer server;
int serial = 0;

}  // namespace

std::unique_ptr<testsupport::Sandbox> make_install() {
    static const bool started = server.start();
    const std::string db = "zarvo_t" + std::to_string(++serial);
    if (!started || !server.create_database(db)) {
        ADD_FAILURE() << server.why();
        return nullptr;
    }
    auto sb = std::make_unique<testsupport::Sandbox>();
    auto r = testsupport::run({"/bin/bash", testsupport::source_dir() + "/scripts/db/load-postgres",
                               server.conninfo(db), sb->dir()});
    if (r.rc == 0) return sb;
    ADD_FAILURE() << "load-postgres: " << r.out << r.err;
    return nullptr;
}

// Only the installation steers damisql: not the caller's PG* variables, not database settings; the port comes
// from gv_port_db when the connection string has none; the password never reaches the trace.
TEST(PostgresSession, OnlyTheInstallationSteersTheSession) {
    auto sb = make_install();
    ASSERT_TRUE(sb);
    const std::string db = "zarvo_t" + std::to_string(serial), ini = sb->path("etc/openrda.ini");
    std::smatch m;
    const std::string conninfo = server.conninfo(db);
    ASSERT_TRUE(std::regex_search(conninfo, m, std::regex(" port=([0-9]+)")));
    const std::string port = m[1];
    testsupport::write_file(ini,
                            "[zarvo_db]\nbackend=postgres\nconninfo=" + m.prefix().str() + m.suffix().str() +
                                " password=s3cr3t-pw\ntrace_file=" + sb->path("rw/lgc/damisql.lgc") + "\n");
    ASSERT_EQ(0, sb->refresh({{"SM_DB_PORT", port}}).rc);

    testsupport::RunOptions opt;
    opt.env = {{"OPENRDA_INI", ini},     {"PGPORT", "1"},         {"PGHOST", "/nonexistent"},
               {"PGUSER", "nosuch"},     {"PGSERVICE", "nosuch"}, {"PGOPTIONS", "-c search_path=nosuch"},
               {"PGDATESTYLE", "German"}};
    auto tool = [&](const std::string& stmt) {
        return sb->exec({sb->path("ro/db/damisql"), "-d", "zarvo_db", "-q", stmt, "-xall:ff"}, opt);
    };
    for (const char* setting : {"datestyle to 'SQL, DMY'", "standard_conforming_strings to off"})
        ASSERT_EQ(0, tool("alter database " + db + " set " + setting).rc) << setting;
    auto r = tool("select date '2007-05-24' as d, 'a\\b' as s, name from clients where client_id=0");
    EXPECT_EQ(0, r.rc) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("\nd\ts\tname\t\n2007-05-24\ta\\b\t" + sb->hostname() + "\t\n"))
        << r.out;

    const std::string trace = testsupport::read_file(sb->path("rw/lgc/damisql.lgc"));
    EXPECT_NE(std::string::npos, trace.find("connected to postgres: host 127.0.0.1 port " + port)) << trace;
    EXPECT_EQ(std::string::npos, trace.find("s3cr3t")) << trace;
}
