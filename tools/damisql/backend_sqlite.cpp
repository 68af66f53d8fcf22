// SQLite backend: the embedded default, one database file.
#include <sqlite3.h>

#include <string>
#include <vector>

#include "backend.hpp"

namespace damisql {

namespace {

// Another program (an operator's sqlite3 session) may hold the file briefly.
constexpr int kBusyTimeoutMs = 10000;

bool only_separators(const char* p, const char* end) {
    for (; p < end; ++p)
        if (*p != ';' && *p != ' ' && *p != '\t' && *p != '\n' && *p != '\r') return false;
    return true;
}

class SqliteBackend : public Backend {
   public:
    explicit SqliteBackend(sqlite3* db) : db_(db) {}
    ~SqliteBackend() override { sqlite3_close(db_); }

    std::string describe() const override { return std::string("SQLite ") + sqlite3_libversion(); }

    int run(const std::string& sql, Output& out) override {
        const char* p = sql.c_str();
        const char* end = p + sql.size();
        bool ran = false;
        while (p < end) {
            sqlite3_stmt* st = nullptr;
            const char* next = nullptr;
            int rc = sqlite3_prepare_v2(db_, p, static_cast<int>(end - p), &st, &next);
            if (rc != SQLITE_OK) {
                trace("prepare failed: %d %s", rc, sqlite3_errmsg(db_));
                out.prepare_error(std::to_string(sqlite3_extended_errcode(db_)), sqlite3_errmsg(db_));
                return 1;
            }
            if (!st) break;  // only blanks or a comment were left
            ran = true;
            int result = only_separators(next, end) ? print(st, out) : step_through(st, out);
            sqlite3_finalize(st);
            if (result != 0) return result;
            if (only_separators(next, end)) return 0;
            p = next;
        }
        if (!ran) out.affected(0);
        return 0;
    }

   private:
    std::string code() const { return std::to_string(sqlite3_extended_errcode(db_)); }

    // A statement before the last one: run it, print nothing unless it fails.
    int step_through(sqlite3_stmt* st, Output& out) {
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        }
        if (rc == SQLITE_DONE) return 0;
        out.exec_error(code(), sqlite3_errmsg(db_));
        return 1;
    }

    int print(sqlite3_stmt* st, Output& out) {
        const int ncol = sqlite3_column_count(st);
        if (ncol == 0) {
            int rc;
            while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            }
            if (rc != SQLITE_DONE) {
                out.exec_error(code(), sqlite3_errmsg(db_));
                return 1;
            }
            out.affected(static_cast<long>(sqlite3_changes64(db_)));
            return 0;
        }
        std::vector<std::string> fields(ncol);
        for (int i = 0; i < ncol; ++i) {
            const char* n = sqlite3_column_name(st, i);
            fields[i] = n ? n : "";
        }
        out.begin_rows(fields);
        long rows = 0;
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            for (int i = 0; i < ncol; ++i) {
                bool null = sqlite3_column_type(st, i) == SQLITE_NULL;
                const unsigned char* v = sqlite3_column_text(st, i);
                int len = sqlite3_column_bytes(st, i);
                fields[i] = field_text(reinterpret_cast<const char*>(v), static_cast<size_t>(len), null);
            }
            out.row(fields);
            ++rows;
        }
        if (rc != SQLITE_DONE) {
            out.fetch_error(code(), sqlite3_errmsg(db_));
            return 1;
        }
        out.end_rows(rows);
        return 0;
    }

    sqlite3* db_;
};

}  // namespace

std::unique_ptr<Backend> open_sqlite(const std::string& file, std::string& err) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    if (rc != SQLITE_OK) {
        err = file + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    trace("sqlite database %s opened", file.c_str());
    return std::make_unique<SqliteBackend>(db);
}

}  // namespace damisql
