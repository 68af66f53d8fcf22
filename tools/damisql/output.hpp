// The text form of a statement's result, as the agent's database layer reads
// it: a banner line, the prompt line, then for a query an unused line, the
// header, one line per row and a "Rows" line; for any other statement a
// "Rows affected" line; an "Elapsed time" line last. Failures before the
// database is open are one " Error: " line; failures of the statement are a
// line naming the error and a "Message:" line.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace damisql {

// How a value is printed. Column values are tab-terminated and the reader
// folds runs of tabs, so no value may print as nothing: NULL and the empty
// text both print as "NULL", which is what the agent's callers already treat
// as "no value". Tabs, line breaks and carriage returns inside a value
// become blanks, so a value never splits a line or shifts a column.
std::string field_text(const char* value, size_t len, bool is_null);

// A column name as the header shows it: tab and line breaks become blanks;
// an unaliased aggregate or function column ("max(size)", "COUNT(*)") is
// named after its function in lower case ("max", "count"), the same name
// both backends give it.
std::string column_label(std::string_view name);

class Output {
   public:
    explicit Output(std::FILE* out) : out_(out) {}

    // A failure before any statement ran (bad call, no database). The first
    // and only line of the output.
    void fatal(std::string_view text);
    void banner(std::string_view backend);
    void prompt(std::string_view statement);

    void begin_rows(const std::vector<std::string>& names);
    void row(const std::vector<std::string>& fields);
    void end_rows(long count);
    void affected(long count);

    // The statement could not be prepared (or run, for a non-query).
    void prepare_error(std::string_view code, std::string_view message);
    // A statement that is not a query failed while it ran.
    void exec_error(std::string_view code, std::string_view message);
    // Fetching rows failed after the header and maybe some rows.
    void fetch_error(std::string_view code, std::string_view message);
    void elapsed(double seconds);

    // Flushes; false when the reader went away or the write failed.
    bool finish();

   private:
    void line(std::string_view text);
    std::FILE* out_;
};

// One-line form of a message: line breaks become blanks, trailing blanks go.
std::string one_line(std::string_view text);

}  // namespace damisql
