// PostgreSQL backend through libpq, for installations that outgrow one file.
// Built into damisql_pg only: damisql itself stays free of libpq (and the
// many libraries it pulls in) and hands PostgreSQL databases over to it.
#include <libpq-fe.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "backend.hpp"

namespace damisql {

namespace {

// The agent's texts are ISO 8859-1; the server converts to its own encoding.
constexpr const char* kClientEncoding = "LATIN1";

std::string sqlstate(const PGresult* res) {
    const char* s = res ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
    return s ? s : "0";
}

class PostgresBackend : public Backend {
   public:
    explicit PostgresBackend(PGconn* conn) : conn_(conn) {}
    ~PostgresBackend() override { PQfinish(conn_); }

    std::string describe() const override { return "PostgreSQL " + std::to_string(PQserverVersion(conn_)); }

    int run(const std::string& sql, Output& out) override {
        PGresult* res = PQexec(conn_, sql.c_str());
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

}  // namespace

std::unique_ptr<Backend> open_postgres(const std::string& conninfo, std::string& err) {
    // A server that does not answer must not hold up the agent, which waits
    // for the tool while it holds the database semaphore.
    if (!std::getenv("PGCONNECT_TIMEOUT")) ::setenv("PGCONNECT_TIMEOUT", "10", 1);
    PGconn* conn = PQconnectdb(conninfo.c_str());
    if (!conn) {
        err = "out of memory";
        return nullptr;
    }
    if (PQstatus(conn) != CONNECTION_OK) {
        err = one_line(PQerrorMessage(conn));
        PQfinish(conn);
        return nullptr;
    }
    if (PQsetClientEncoding(conn, kClientEncoding) != 0) {
        err = "cannot set client encoding: " + one_line(PQerrorMessage(conn));
        PQfinish(conn);
        return nullptr;
    }
    trace("connected to postgres: %s", conninfo.c_str());
    return std::make_unique<PostgresBackend>(conn);
}

}  // namespace damisql
