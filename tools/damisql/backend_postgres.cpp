// PostgreSQL backend through libpq, for installations that outgrow one file.
// Built into damisql_pg only: damisql itself stays free of libpq (and the
// many libraries it pulls in) and hands PostgreSQL databases over to it.
#include <libpq-fe.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "backend.hpp"

namespace damisql {

namespace {

// The agent's texts are ISO 8859-1; the server converts to its own encoding.
constexpr const char* kClientEncoding = "LATIN1";
constexpr const char* kSessionSettings =
    "set datestyle to 'ISO, YMD'; set standard_conforming_strings to on; set intervalstyle to postgres";

std::string sqlstate(const PGresult* res) {
    const char* s = res ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
    return s ? s : "0";
}

class PostgresBackend : public Backend {
   public:
    explicit PostgresBackend(PGconn* conn) : conn_(conn) {}
    ~PostgresBackend() override { PQfinish(conn_); }

    std::string describe() const override { return "PostgreSQL " + std::to_string(PQserverVersion(conn_)); }

    // The extended protocol takes exactly one statement: the server refuses
    // a text holding more (42601) before any of it runs.
    int run(const std::string& sql, Output& out) override {
        PGresult* res = PQexecParams(conn_, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0);
        int result = print(res, out);
        PQclear(res);
        return result;
    }

   private:
    int print(PGresult* res, Output& out) {
        switch (res ? PQresultStatus(res) : PGRES_FATAL_ERROR) {
            case PGRES_TUPLES_OK: {
                const int ncol = PQnfields(res);
                std::vector<std::string> fields(ncol);
                for (int i = 0; i < ncol; ++i) fields[i] = PQfname(res, i);
                out.begin_rows(fields);
                const int nrow = PQntuples(res);
                for (int r = 0; r < nrow; ++r) {
                    for (int i = 0; i < ncol; ++i)
                        fields[i] =
                            field_text(PQgetvalue(res, r, i), static_cast<size_t>(PQgetlength(res, r, i)),
                                       PQgetisnull(res, r, i));
                    out.row(fields);
                }
                out.end_rows(nrow);
                return 0;
            }
            case PGRES_COMMAND_OK:
            case PGRES_EMPTY_QUERY: {
                const char* n = res ? PQcmdTuples(res) : "";
                out.affected(*n ? std::strtol(n, nullptr, 10) : 0);
                return 0;
            }
            default: {
                const char* msg = res ? PQresultErrorMessage(res) : PQerrorMessage(conn_);
                trace("statement failed: %s", msg);
                out.prepare_error(sqlstate(res), msg && *msg ? msg : PQerrorMessage(conn_));
                return 1;
            }
        }
    }

    PGconn* conn_;
};

// libpq reads PG* variables for every setting the connection string leaves
// open; a caller's must not redirect or reconfigure the session.
void drop_pg_environment() {
    std::vector<std::string> names;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "PG", 2) == 0) names.emplace_back(*e, std::strcspn(*e, "="));
    for (const auto& n : names) ::unsetenv(n.c_str());
}

}  // namespace

std::unique_ptr<Backend> open_postgres(const std::string& conninfo, const std::string& port,
                                       std::string& err) {
    drop_pg_environment();
    // Later entries win: the configured connection string may override the
    // defaults before it. A server that does not answer must not hold up the
    // agent, which waits for the tool while it holds the database semaphore.
    std::vector<const char*> keys{"connect_timeout"}, values{"10"};
    if (!port.empty()) {
        keys.push_back("port");
        values.push_back(port.c_str());
    }
    keys.push_back("dbname");
    values.push_back(conninfo.c_str());
    keys.push_back(nullptr);
    values.push_back(nullptr);
    PGconn* conn = PQconnectdbParams(keys.data(), values.data(), 1);
    if (!conn) {
        err = "out of memory";
        return nullptr;
    }
    auto fail = [&](const std::string& what) {
        err = what + one_line(PQerrorMessage(conn));
        PQfinish(conn);
        return nullptr;
    };
    if (PQstatus(conn) != CONNECTION_OK) return fail("");
    if (PQsetClientEncoding(conn, kClientEncoding) != 0) return fail("cannot set client encoding: ");
    // The agent parses dates as ISO text and quotes values by doubling the
    // apostrophe; neither may depend on the server's or database's settings.
    PGresult* res = PQexec(conn, kSessionSettings);
    const bool set = PQresultStatus(res) == PGRES_COMMAND_OK;
    PQclear(res);
    if (!set) return fail("cannot set session: ");
    trace("connected to postgres: host %s port %s database %s user %s", PQhost(conn), PQport(conn),
          PQdb(conn), PQuser(conn));
    return std::make_unique<PostgresBackend>(conn);
}

}  // namespace damisql
