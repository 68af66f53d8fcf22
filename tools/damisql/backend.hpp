// The databases damisql serves. A backend runs the one statement it is given
// (trailing blanks, ";" and comments aside; a text holding a second
// statement is refused unrun) and prints through Output.
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
    // Runs the statement sql, printing its result. Returns 0 when it
    // succeeded, 1 when the database refused it or sql holds more than one.
    virtual int run(const std::string& sql, Output& out) = 0;
};

// An existing SQLite database file (never created here). Null with err set
// when it cannot be opened.
std::unique_ptr<Backend> open_sqlite(const std::string& file, std::string& err);

#ifdef DAMISQL_WITH_LIBPQ
// A PostgreSQL server reached through the libpq connection string conninfo,
// on port when conninfo names none. The PG* environment variables are
// removed first: only the configuration decides where and how to connect.
std::unique_ptr<Backend> open_postgres(const std::string& conninfo, const std::string& port,
                                       std::string& err);
#endif

// Tracing of the tool itself (-xall:ff); no-op unless enabled.
void trace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void enable_trace(std::FILE* sink);

}  // namespace damisql
