// The databases damisql serves. A backend runs the statement text it is
// given (usually one statement; several separated by ";" run in order and
// only the last one's result is printed) and prints through Output.
#pragma once

#include <memory>
#include <string>

#include "output.hpp"

namespace damisql {

class Backend {
   public:
    virtual ~Backend() = default;
    // Name and version for the banner line.
    virtual std::string describe() const = 0;
    // Runs sql, printing its result. Returns 0 when it succeeded, 1 when the
    // database refused it.
    virtual int run(const std::string& sql, Output& out) = 0;
};

// An existing SQLite database file (never created here). Null with err set
// when it cannot be opened.
std::unique_ptr<Backend> open_sqlite(const std::string& file, std::string& err);

#ifdef DAMISQL_WITH_LIBPQ
// A PostgreSQL server reached through a libpq connection string (the usual
// PG* environment variables fill in what it leaves out).
std::unique_ptr<Backend> open_postgres(const std::string& conninfo, std::string& err);
#endif

// Tracing of the tool itself (-xall:ff); no-op unless enabled.
void trace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void enable_trace(std::FILE* sink);

}  // namespace damisql
