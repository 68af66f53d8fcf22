// The byte formats of the control-daemon protocol, shared by the client and
// the daemon: the command text on the wire, the request fields and the end
// marker of the standard-input stream. Pure functions over bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

constexpr size_t kCtrlCommandMax = 511;  // command text the client sends, before splitting
constexpr char kWireWordSep = '"';
// "END OF STDIN" with its NUL: ends the caller's standard-input stream.
constexpr std::string_view kStdinEndMarker{"END OF STDIN\0", 13};

// Splits a command (cut to 511 characters) into words: blanks separate,
// double or single quotes make a word of the text up to the closing quote
// (what follows up to the next blank is dropped), a backslash protects the
// next character and stays in the word.
std::vector<std::string> ctrlc_split_command(std::string_view command);
// The words of ctrlc_split_command joined with one double quote each.
std::string ctrlc_wire_command(std::string_view command);
// Words joined for the wire as they are (a caller that holds words already).
std::string ctrlc_join_words(const std::vector<std::string>& words);
// The daemon's side: the word list of a wire command (split at '"').
std::vector<std::string> ctrld_split_wire(std::string_view wire);

// Limits of one request as the daemon reads it.
struct CtrlRequestLimits {
    size_t port_max = 5;  // digits of the second port
    size_t user_max = 255;
    size_t command_max = 8192;
};

struct CtrlRequest {
    int second_port = 0;  // 0: single connection
    std::string user;
    std::string command;
};

// Reads the three NUL-ended request fields from a byte stream in any split.
// feed() returns Done once complete (bytes after the command stay in
// rest()), Error with a reason when a field is too long or malformed.
class CtrlRequestReader {
   public:
    enum Status { NeedMore, Done, Error };
    explicit CtrlRequestReader(CtrlRequestLimits lim = {}) : lim_(lim) {}
    Status feed(std::string_view data);
    const CtrlRequest& request() const { return req_; }
    const std::string& error() const { return error_; }
    const std::string& rest() const { return rest_; }
    // Field number being read (0 port, 1 user, 2 command, 3 done).
    int field() const { return field_; }

   private:
    Status fail(const char* why);
    CtrlRequestLimits lim_;
    CtrlRequest req_;
    std::string cur_, error_, rest_;
    int field_ = 0;
    Status status_ = NeedMore;
};

// Finds the end marker in a byte stream split anyhow. feed() appends to out
// the bytes that are surely data (holding back a possible marker start) and
// returns true once the marker was seen; later bytes are ignored.
class StdinEndScanner {
   public:
    bool feed(std::string_view data, std::string& out);
    bool ended() const { return ended_; }

   private:
    std::string held_;
    bool ended_ = false;
};
