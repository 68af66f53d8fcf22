// Command words on the wire, the daemon's request reader, the standard-input end marker.
#include "remote/ctrl_wire.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Words = std::vector<std::string>;

TEST(CtrlWire, CommandLineBecomesWordsAndBack) {
    const std::pair<std::string, Words> cases[] = {
        {"ls -l /tmp", {"ls", "-l", "/tmp"}},
        // Either quote kind groups and is plain text inside the other; an open quote runs to the end.
        {"sh -c 'echo \"hi\" there'", {"sh", "-c", "echo \"hi\" there"}},
        {"a \"b c", {"a", "b c"}},
        // Every blank ends a word.
        {"a  b", {"a", "", "b"}},
        // A quoted word starts after its quote; after the closing one the rest up to a blank is dropped.
        {"\"ab\"cd ef", {"ab", "ef"}},
        {"x=\"1 2\" y", {"1 2", "y"}},
        // A backslash shields the next character and stays, except at or just before the end.
        {"a\\ b c", {"a\\ b", "c"}},
        {"\"a\\\"b\" c", {"a\\\"b", "c"}},
        {"x\\ ", {"x\\", ""}},
        {"x\\", {"x\\"}}};
    for (const auto& [line, words] : cases) {
        EXPECT_EQ(ctrlc_split_command(line), words) << line;
        // The wire joins the words with one double quote; the daemon splits there.
        bool quoted = false;
        for (const auto& w : words) quoted |= w.find('"') != std::string::npos;
        if (!quoted) {
            EXPECT_EQ(ctrld_split_wire(ctrlc_wire_command(line)), words) << line;
        }
    }
    EXPECT_EQ(ctrlc_wire_command("echo " + std::string(600, 'z')),
              "echo\"" + std::string(kCtrlCommandMax - 5, 'z'));
}

TEST(CtrlRequest, FieldsInAnySplitWithTheRestKept) {
    const std::string req = std::string("5002\0root\0echo\"hi\0", 18) + "DATA";
    for (size_t step = 1; step <= req.size(); ++step) {
        SCOPED_TRACE(step);
        CtrlRequestReader r;
        CtrlRequestReader::Status st = CtrlRequestReader::NeedMore;
        for (size_t i = 0; i < req.size(); i += step) st = r.feed(std::string_view(req).substr(i, step));
        ASSERT_EQ(st, CtrlRequestReader::Done);
        EXPECT_EQ(r.request().second_port, 5002);
        EXPECT_EQ(r.request().user, "root");
        EXPECT_EQ(r.request().command, "echo\"hi");
        EXPECT_EQ(r.rest(), "DATA");
    }
}

TEST(CtrlRequest, MalformedAndOversizedFieldsAreErrors) {
    CtrlRequestLimits lim;
    lim.user_max = 8;
    lim.command_max = 16;
    const std::pair<std::string, std::string> cases[] = {
        {std::string("12a\0", 4), "malformed port field"},
        {std::string("70000\0", 6), "port out of range"},
        {std::string("0\0", 2), "port out of range"},
        {"123456", "port field too long"},
        {std::string("\0\0", 2), "empty user field"},
        {std::string("\0usernameX", 10), "user field too long"},
        {std::string("\0u\0"
                     "0123456789abcdefg",
                     20),
         "command field too long"},
        // Garbage without NULs stops at the first limit instead of growing.
        {std::string(100000, '\xff'), "port field too long"}};
    for (const auto& [bytes, error] : cases) {
        CtrlRequestReader r(lim);
        EXPECT_EQ(r.feed(bytes), CtrlRequestReader::Error) << error;
        EXPECT_EQ(r.error(), error);
    }
    // Truncated: still waiting, not an error.
    EXPECT_EQ(CtrlRequestReader(lim).feed(std::string_view("\0ro", 3)), CtrlRequestReader::NeedMore);
}

TEST(StdinEnd, MarkerFoundAcrossEverySplit) {
    const std::string data = "line one\nEND OF STDI\nEND OF STDIN no NUL\n";
    const std::string stream = data + std::string(kStdinEndMarker) + "ignored after";
    for (size_t a = 0; a <= stream.size(); ++a) {
        for (size_t b = a; b <= stream.size(); b += 7) {
            StdinEndScanner s;
            std::string out;
            s.feed(std::string_view(stream).substr(0, a), out);
            s.feed(std::string_view(stream).substr(a, b - a), out);
            ASSERT_TRUE(s.feed(std::string_view(stream).substr(b), out)) << a << "/" << b;
            ASSERT_EQ(out, data) << a << "/" << b;
        }
    }
}

// Only a possible start of the marker is held back; the rest goes on at once.
TEST(StdinEnd, HeldBackPrefixIsReleasedWhenItIsData) {
    StdinEndScanner s;
    std::string out;
    EXPECT_FALSE(s.feed("abcEND OF", out));
    EXPECT_EQ(out, "abc");
    EXPECT_FALSE(s.feed(" TIMES", out));
    EXPECT_EQ(out, "abcEND OF TIMES");
}
