// Command text on the wire, the daemon's request reader and the end marker
// of the standard-input stream.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "remote/ctrl_wire.hpp"

using Words = std::vector<std::string>;

TEST(CtrlWire, QuotedWordsJoinWithOneDoubleQuote) {
    EXPECT_EQ(ctrlc_wire_command("echo \"a b\" \"x y\""), "echo\"a b\"x y");
    EXPECT_EQ(ctrlc_split_command("ls -l /tmp"), (Words{"ls", "-l", "/tmp"}));
    // Single quotes work the same, and each kind is plain text inside the other.
    EXPECT_EQ(ctrlc_split_command("sh -c 'echo \"hi\" there'"), (Words{"sh", "-c", "echo \"hi\" there"}));
    EXPECT_EQ(ctrlc_split_command("say \"it's\""), (Words{"say", "it's"}));
    // An unterminated quote runs to the end.
    EXPECT_EQ(ctrlc_split_command("a \"b c"), (Words{"a", "b c"}));
}

TEST(CtrlWire, EveryBlankEndsAWord) {
    EXPECT_EQ(ctrlc_split_command("a  b"), (Words{"a", "", "b"}));
    EXPECT_EQ(ctrlc_split_command(" a"), (Words{"", "a"}));
    EXPECT_EQ(ctrlc_split_command("a "), (Words{"a", ""}));
    EXPECT_EQ(ctrlc_wire_command("a  b"), "a\"\"b");
}

TEST(CtrlWire, TextAroundQuotesIsDropped) {
    // The quoted word starts after the quote; after the closing quote the
    // rest up to the next blank is dropped, quotes included.
    EXPECT_EQ(ctrlc_split_command("\"ab\"cd ef"), (Words{"ab", "ef"}));
    EXPECT_EQ(ctrlc_split_command("x=\"1 2\" y"), (Words{"1 2", "y"}));
    EXPECT_EQ(ctrlc_split_command("\"a\"\"b\" c"), (Words{"a", "c"}));
}

TEST(CtrlWire, BackslashShieldsButStays) {
    EXPECT_EQ(ctrlc_split_command("a\\ b c"), (Words{"a\\ b", "c"}));
    EXPECT_EQ(ctrlc_split_command("a\\\"b c"), (Words{"a\\\"b", "c"}));
    EXPECT_EQ(ctrlc_split_command("\"a\\\"b\" c"), (Words{"a\\\"b", "c"}));
    // Before the last character a backslash shields nothing.
    EXPECT_EQ(ctrlc_split_command("x\\ "), (Words{"x\\", ""}));
    EXPECT_EQ(ctrlc_split_command("x\\"), (Words{"x\\"}));
}

TEST(CtrlWire, CommandIsCutTo511Characters) {
    std::string longcmd = "echo " + std::string(600, 'z');
    std::string wire = ctrlc_wire_command(longcmd);
    EXPECT_EQ(wire, "echo\"" + std::string(kCtrlCommandMax - 5, 'z'));
}

TEST(CtrlWire, DaemonSplitsAtDoubleQuotes) {
    EXPECT_EQ(ctrld_split_wire("echo\"a b\"x y"), (Words{"echo", "a b", "x y"}));
    EXPECT_EQ(ctrld_split_wire("a\"\"b"), (Words{"a", "", "b"}));
    EXPECT_EQ(ctrld_split_wire("true"), (Words{"true"}));
    EXPECT_EQ(ctrld_split_wire(ctrlc_wire_command("printf '%s|' x")), (Words{"printf", "%s|", "x"}));
}

TEST(CtrlRequest, FieldsInAnySplitWithTheRestKept) {
    const std::string req = std::string("5002\0root\0echo\"hi\0", 18) + "DATA";
    for (size_t step = 1; step <= req.size(); ++step) {
        CtrlRequestReader r;
        CtrlRequestReader::Status st = CtrlRequestReader::NeedMore;
        for (size_t i = 0; i < req.size(); i += step) st = r.feed(std::string_view(req).substr(i, step));
        ASSERT_EQ(st, CtrlRequestReader::Done) << "step " << step;
        EXPECT_EQ(r.request().second_port, 5002);
        EXPECT_EQ(r.request().user, "root");
        EXPECT_EQ(r.request().command, "echo\"hi");
        EXPECT_EQ(r.rest(), "DATA") << "step " << step;
    }
    CtrlRequestReader single;
    EXPECT_EQ(single.feed(std::string_view("\0u\0c\0", 5)), CtrlRequestReader::Done);
    EXPECT_EQ(single.request().second_port, 0);
}

TEST(CtrlRequest, MalformedAndOversizedFieldsAreErrors) {
    CtrlRequestLimits lim;
    lim.user_max = 8;
    lim.command_max = 16;
    auto status = [&](std::string_view bytes) {
        CtrlRequestReader r(lim);
        return std::make_pair(r.feed(bytes), r.error());
    };
    EXPECT_EQ(status(std::string_view("12a\0", 4)).second, "malformed port field");
    EXPECT_EQ(status(std::string_view("70000\0", 6)).second, "port out of range");
    EXPECT_EQ(status(std::string_view("0\0", 2)).second, "port out of range");
    EXPECT_EQ(status("123456").second, "port field too long");
    EXPECT_EQ(status(std::string_view("\0\0", 2)).second, "empty user field");
    EXPECT_EQ(status(std::string_view("\0usernameX", 10)).second, "user field too long");
    EXPECT_EQ(status(std::string_view("\0u\0" "0123456789abcdefg", 20)).second, "command field too long");
    // Garbage without NULs stops at the first limit instead of growing.
    EXPECT_EQ(status(std::string(100000, '\xff')).first, CtrlRequestReader::Error);
    // Truncated: still waiting, not an error.
    EXPECT_EQ(status(std::string_view("\0ro", 3)).first, CtrlRequestReader::NeedMore);
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
            bool ended = s.feed(std::string_view(stream).substr(b), out);
            ASSERT_TRUE(ended) << a << "/" << b;
            ASSERT_EQ(out, data) << a << "/" << b;
        }
    }
}

TEST(StdinEnd, HeldBackPrefixIsReleasedWhenItIsData) {
    StdinEndScanner s;
    std::string out;
    EXPECT_FALSE(s.feed("abcEND OF", out));
    EXPECT_EQ(out, "abc");
    EXPECT_FALSE(s.feed(" TIMES", out));
    EXPECT_EQ(out, "abcEND OF TIMES");
    EXPECT_FALSE(s.ended());
    std::string bin("\0\0END", 5);
    out.clear();
    s.feed(bin, out);
    EXPECT_TRUE(s.feed(std::string_view(" OF STDIN\0", 10), out));
    EXPECT_EQ(out, std::string("\0\0", 2));
}
