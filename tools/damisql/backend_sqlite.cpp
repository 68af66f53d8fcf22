// SQLite backend: the embedded default, one database file.
#include <sqlite3.h>

#include <string>
#include <vector>

#include "backend.hpp"

namespace damisql {

namespace {

// Another program (an operator's sqlite3 session) may hold the file briefly.
constexpr int kBusyTimeoutMs = 10000;

// Reported when the text holds more than one statement: none of them runs,
// so a value that closes its quotes cannot append a statement of its own.
constexpr const char* kOneStatement = "only one statement may be given per call";

class SqliteBackend : public Backend {
   public:
    explicit SqliteBackend(sqlite3* db) : db_(db) {}
    ~SqliteBackend() override { sqlite3_close(db_); }

    std::string describe() const override { return std::string("SQLite ") + sqlite3_libversion(); }

    int run(const std::string& sql, Output& out) override {
        const char* end = sql.c_str() + sql.size();
        sqlite3_stmt* st = nullptr;
        const char* tail = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &st, &tail) != SQLITE_OK)
            return refuse(code(), sqlite3_errmsg(db_), out);
        if (!st) {  // only blanks, ";" or comments
            out.affected(0);
            return 0;
        }
        int result = only_trailer(tail, end) ? print(st, out) : refuse("1", kOneStatement, out);
        sqlite3_finalize(st);
        return result;
    }

   private:
    std::string code() const { return std::to_string(sqlite3_extended_errcode(db_)); }

    int refuse(const std::string& native, const char* message, Output& out) const {
        trace("prepare failed: %s %s", native.c_str(), message);
        out.prepare_error(native, message);
        return 1;
    }

    // True when nothing but blanks, ";" and comments follows the statement.
    bool only_trailer(const char* p, const char* end) const {
        while (p < end) {
            sqlite3_stmt* st = nullptr;
            const char* next = nullptr;
            if (sqlite3_prepare_v2(db_, p, static_cast<int>(end - p), &st, &next) != SQLITE_OK) return false;
            if (st) {
                sqlite3_finalize(st);
                return false;
            }
            if (next == p) break;
            p = next;
        }
        return true;
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
