#include "output.hpp"

#include <cctype>

namespace damisql {

namespace {

constexpr size_t kPromptEchoMax = 200;

char flatten(char c) {
    return (c == '\t' || c == '\n' || c == '\r') ? ' ' : c;
}

}  // namespace

std::string field_text(const char* value, size_t len, bool is_null) {
    if (is_null || !value || len == 0) return "NULL";
    std::string s(value, len);
    for (char& c : s) c = flatten(c);
    return s;
}

std::string column_label(std::string_view name) {
    std::string s(name);
    for (char& c : s) c = flatten(c);
    // "fn(args)" with a plain identifier before the parenthesis.
    size_t open = s.find('(');
    if (open != std::string::npos && open > 0 && !s.empty() && s.back() == ')') {
        bool ident = true;
        for (size_t i = 0; i < open; ++i) {
            unsigned char c = static_cast<unsigned char>(s[i]);
            if (!std::isalnum(c) && c != '_') ident = false;
        }
        if (ident) {
            std::string fn = s.substr(0, open);
            for (char& c : fn) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return fn;
        }
    }
    return s;
}

std::string one_line(std::string_view text) {
    std::string s(text);
    for (char& c : s) c = flatten(c);
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

void Output::line(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fputc('\n', out_);
}

void Output::fatal(std::string_view text) {
    line("damisql Error: " + one_line(text));
}

void Output::banner(std::string_view backend) {
    line("damisql 1.0 (" + std::string(backend) + ")");
}

// The reader takes lines in pieces of 1023 characters: a long statement
// echoed in full would spill into the lines after the prompt.
void Output::prompt(std::string_view statement) {
    line("SQL-1> " + one_line(statement.substr(0, kPromptEchoMax)));
}

void Output::begin_rows(const std::vector<std::string>& names) {
    line("");
    std::string h;
    for (const auto& n : names) {
        h += column_label(n);
        h += '\t';
    }
    line(h);
}

void Output::row(const std::vector<std::string>& fields) {
    std::string r;
    for (const auto& f : fields) {
        r += f;
        r += '\t';
    }
    line(r);
}

void Output::end_rows(long count) {
    line("Rows selected = " + std::to_string(count));
}

void Output::affected(long count) {
    line("");
    line("Rows affected = " + std::to_string(count));
}

void Output::prepare_error(std::string_view code, std::string_view message) {
    line("Error while preparing the statement, NativeError = " + std::string(code));
    line("Message: " + one_line(message));
}

void Output::exec_error(std::string_view code, std::string_view message) {
    line("Error while executing the statement, NativeError = " + std::string(code));
    line("Message: " + one_line(message));
}

void Output::fetch_error(std::string_view code, std::string_view message) {
    line("Error while fetching rows, NativeError = " + std::string(code));
    line("Message: " + one_line(message));
}

void Output::elapsed(double seconds) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "Elapsed time = %.6f sec", seconds);
    line(buf);
}

bool Output::finish() {
    return std::fflush(out_) == 0 && !std::ferror(out_);
}

}  // namespace damisql
