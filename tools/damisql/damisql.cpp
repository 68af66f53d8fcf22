// damisql: runs one SQL statement against a configured database and prints
// the result in the text form that the agent's database layer reads.
//
//   damisql -d DATABASE -q "STATEMENT" [-xall:ff]
//
// The database is a section of the file named by $OPENRDA_INI (or by the
// "OPENRDA_INI" identifier of the root file when the variable is unset):
//
//   [zarvo_db]
//   backend=sqlite                 # or postgres
//   file=/path/of/zarvo_db.sqlite  # sqlite: an existing database file
//   conninfo=host=127.0.0.1 ...    # postgres: libpq connection string; where
//                                  # it names no port, "gv_port_db" of the
//                                  # main configuration's [Server] is used
//   trace_file=/path               # where -xall:ff writes (default stderr)
//
// Exit status: 0 done, 1 the database refused the statement, 2 bad call or
// no database, 3 the output could not be written.
//
// One process runs per statement, so start-up time is the tool's cost:
// damisql is linked statically and serves SQLite itself; for a PostgreSQL
// database it replaces itself by damisql_pg (same directory, same
// arguments), which carries the PostgreSQL client library.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "backend.hpp"
#include "ini/ini.hpp"
#include "util/posix.hpp"

namespace damisql {

namespace {

std::FILE* g_trace = nullptr;

constexpr size_t kValueMax = 1024;  // configuration values, like every INI value
constexpr size_t kMsgMax = 512;

struct Call {
    std::string database, statement;
    bool trace = false;
};

bool parse_args(int argc, char** argv, Call& call, std::string& err) {
    bool have_d = false, have_q = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "-d" || a == "-q") && i + 1 < argc) {
            (a == "-d" ? call.database : call.statement) = argv[++i];
            (a == "-d" ? have_d : have_q) = true;
        } else if (a.rfind("-x", 0) == 0) {
            call.trace = true;
        } else {
            err = "unknown or incomplete option " + a;
            return false;
        }
    }
    if (!have_d || !have_q || call.database.empty()) {
        err = "usage: damisql -d DATABASE -q \"STATEMENT\" [-xall:ff]";
        return false;
    }
    return true;
}

bool config_file(std::string& path, std::string& err) {
    const char* env = std::getenv("OPENRDA_INI");
    if (env && *env) {
        path = env;
        return true;
    }
    std::string msg;
    if (i_GET_ROOT_FOR_INI("OPENRDA_INI", path, kValueMax, msg, kMsgMax)) return true;
    err = "OPENRDA_INI is not set and not in the root file (" + msg + ")";
    return false;
}

// Value of key in [database] of file; empty when missing.
std::string setting(const std::string& file, const std::string& database, const char* key, bool& found) {
    std::string value, msg;
    std::string section = "[" + database + "]";
    found =
        i_GetPrivateProfileString(file.c_str(), section.c_str(), key, value, kValueMax, msg, kMsgMax) == 1;
    return found ? value : std::string();
}

#ifdef DAMISQL_WITH_LIBPQ
// "gv_port_db" of the installation's main configuration; empty when unset.
std::string configured_port() {
    std::string port, msg;
    if (i_READ_INI(nullptr, "[SERVER]", "gv_port_db", port, kValueMax, msg, kMsgMax) != 1) port.clear();
    return port;
}
#else
// Replaces this process by damisql_pg from the directory of this program.
// Returns only on failure, with err set.
void exec_postgres_tool(char** argv, std::string& err) {
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        err = std::string("cannot find own program: ") + std::strerror(errno);
        return;
    }
    self[n] = '\0';
    std::string path(self);
    path = path.substr(0, path.rfind('/') + 1) + "damisql_pg";
    argv[0] = path.data();
    ::execv(path.c_str(), argv);
    err = "cannot start " + path + ": " + std::strerror(errno);
}
#endif

// The trace names databases and statements: readable by the owner only.
std::FILE* open_trace(const std::string& path) {
    const int fd = posix::open_fd(path, O_WRONLY | O_APPEND | O_CREAT, 0600).release();
    if (fd < 0) return nullptr;
    std::FILE* f = ::fdopen(fd, "a");
    if (!f) ::close(fd);
    return f;
}

double now() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

void enable_trace(std::FILE* sink) {
    g_trace = sink;
}

void trace(const char* fmt, ...) {
    if (!g_trace) return;
    std::fprintf(g_trace, "damisql[%d]: ", static_cast<int>(::getpid()));
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(g_trace, fmt, ap);
    va_end(ap);
    std::fputc('\n', g_trace);
    std::fflush(g_trace);
}

int main_impl(int argc, char** argv) {
    static char outbuf[1 << 16];
    std::setvbuf(stdout, outbuf, _IOFBF, sizeof outbuf);
    Output out(stdout);
    const double start = now();

    Call call;
    std::string err, cfg;
    if (!parse_args(argc, argv, call, err) || !config_file(cfg, err)) {
        out.fatal(err);
        out.finish();
        return 2;
    }
    bool found = false;
    if (call.trace) {
        std::string tf = setting(cfg, call.database, "trace_file", found);
        std::FILE* f = found && !tf.empty() ? open_trace(tf) : nullptr;
        enable_trace(f ? f : stderr);
        trace("database %s, configuration %s, statement: %s", call.database.c_str(), cfg.c_str(),
              call.statement.c_str());
    }

    std::string kind = setting(cfg, call.database, "backend", found);
    std::unique_ptr<Backend> db;
    if (kind == "sqlite") {
        std::string file = setting(cfg, call.database, "file", found);
        if (!found || file.empty())
            err = "no file configured for database " + call.database;
        else
            db = open_sqlite(file, err);
    } else if (kind == "postgres") {
#ifdef DAMISQL_WITH_LIBPQ
        db = open_postgres(setting(cfg, call.database, "conninfo", found), configured_port(), err);
#else
        exec_postgres_tool(argv, err);
#endif
    } else {
        err = found ? "unknown backend " + kind + " for database " + call.database
                    : "database " + call.database + " is not configured in " + cfg;
    }
    if (!db) {
        out.fatal("cannot open database " + call.database + ": " + err);
        out.finish();
        return 2;
    }

    out.banner(db->describe());
    out.prompt(call.statement);
    int rc = db->run(call.statement, out);
    out.elapsed(now() - start);
    if (!out.finish()) return 3;
    trace("done, status %d", rc);
    return rc;
}

}  // namespace damisql

int main(int argc, char** argv) {
    return damisql::main_impl(argc, argv);
}
