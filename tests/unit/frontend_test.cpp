// The option scanner, ARGUMENTS and FINISH, in forked children where the
// code under test ends the process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "frontend/arguments.hpp"
#include "frontend/finish.hpp"
#include "frontend/globals.hpp"
#include "support/run.hpp"

using testsupport::Sandbox;

namespace {

struct Argv {
    std::vector<std::string> words;
    std::vector<char*> ptrs;
    explicit Argv(std::vector<std::string> w) : words(std::move(w)) {
        for (auto& s : words) ptrs.push_back(s.data());
        ptrs.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words.size()); }
    char** argv() { return ptrs.data(); }
};

std::vector<std::pair<int, std::string>> scan(std::vector<std::string> words) {
    mygetopt_reset();
    Argv a(std::move(words));
    std::vector<std::pair<int, std::string>> out;
    std::string v;
    for (int c; (c = mygetopt(a.argc(), a.argv(), kOptString, v)) != -1;) out.emplace_back(c, v);
    out.emplace_back(-1, v);
    return out;
}

using Scan = std::vector<std::pair<int, std::string>>;

}  // namespace

TEST(MyGetopt, FlagsValuesAndEnds) {
    EXPECT_EQ(scan({"p", "-r", "-n", "name", "rest"}), (Scan{{'r', ""}, {'n', "name"}, {-1, ""}}));
    // At the end of the words the last value is left in place.
    EXPECT_EQ(scan({"p", "-rv", "-nx"}), (Scan{{'r', ""}, {'v', ""}, {'n', "x"}, {-1, "x"}}));
    EXPECT_EQ(scan({"p", "-rn", "val"}), (Scan{{'r', ""}, {'n', "val"}, {-1, "val"}}));
    EXPECT_EQ(scan({"p", "-q", "-r"}), (Scan{{'?', ""}, {'r', ""}, {-1, ""}}));
    EXPECT_EQ(scan({"p", "-n"}), (Scan{{'?', ""}, {-1, ""}}));
    EXPECT_EQ(scan({"p", "-:"}), (Scan{{'?', ""}, {-1, ""}}));
    EXPECT_EQ(scan({"p", "-r", "--", "-n"}), (Scan{{'r', ""}, {-1, "+3"}}));
    EXPECT_EQ(scan({"p", "-"}), (Scan{{-1, "+2"}}));
    EXPECT_EQ(scan({"p"}), (Scan{{-1, ""}}));
    // A value may itself look like an option.
    EXPECT_EQ(scan({"p", "-s", "-r"}), (Scan{{'s', "-r"}, {-1, "-r"}}));
}

class FrontendInstalled : public ::testing::Test {
protected:
    void SetUp() override { setenv("ZARVO_INI", sb.root_file().c_str(), 1); }
    void TearDown() override { unsetenv("ZARVO_INI"); }
    Sandbox sb;
};

// ARGUMENTS in a child; the child exits 0 when check() holds.
#define EXPECT_ARGUMENTS(words, check)                        \
    EXPECT_EXIT(                                              \
        {                                                     \
            mygetopt_reset();                                 \
            Argv a(words);                                    \
            ARGUMENTS(a.argc(), a.argv());                    \
            std::exit((check) ? 0 : 99);                      \
        },                                                    \
        ::testing::ExitedWithCode(0), "")

TEST_F(FrontendInstalled, MissingArgumentsRecordWhatTheRunMadeUp) {
    const std::string host = sb.hostname();
    EXPECT_ARGUMENTS((std::vector<std::string>{"sm_client", "-f", "G"}),
                     gszId.size() == 14 && gszMissingArg == "-i " + gszId + " -C " + host + " " &&
                         gszCtrlHost == host && gszClientHost == host);
    EXPECT_ARGUMENTS((std::vector<std::string>{"sm_client", "-i", "5", "-C", "LOCAL", "-f", "G"}),
                     gszMissingArg.empty() && gszCtrlHost == host && gszId == "5");
    EXPECT_ARGUMENTS((std::vector<std::string>{"sm_client", "-i", "5", "-C", "srv", "-c", "LOCAL", "-f", "G"}),
                     gszMissingArg.empty() && gszCtrlHost == "srv" && gszClientHost == host);
    EXPECT_ARGUMENTS((std::vector<std::string>{"sm_client", "-i", "5", "-f", "dir", "/var/tmp", "two"}),
                     gcFunc == 'd' && gszOpt_end == "/var/tmp two");
    EXPECT_ARGUMENTS((std::vector<std::string>{"sm_client", "-i", "5", "-f", "G", "-m", "rwx", "-b",
                                               std::string(40, 'b')}),
                     gszOpt_m == "rw" && gszOpt_b.size() == 15);
    // Grouped flags make the word counter run ahead: the trailing words are
    // then taken from a later index, as the scanner's counter says.
    EXPECT_ARGUMENTS((std::vector<std::string>{"sm_client", "-rv", "-f", "G", "a", "b"}),
                     gszOpt_end == "b" && gFlag.Remote);
}

TEST_F(FrontendInstalled, StoragePortDefaultsOnlyForMediaServerFunctions) {
    testsupport::write_file(sb.path("etc/stpd.ini"), "[STPD_Server]\n");
    EXPECT_ARGUMENTS((std::vector<std::string>{"sm_client", "-i", "1", "-f", "t"}), gszPort == "11001");
    EXPECT_ARGUMENTS((std::vector<std::string>{"sm_client", "-i", "1", "-f", "f"}), gszPort.empty());
    testsupport::write_file(sb.path("etc/stpd.ini"), "[STPD_Server]\nSTPD_PORT=12345\n");
    EXPECT_ARGUMENTS((std::vector<std::string>{"sm_client", "-i", "1", "-f", "f"}), gszPort == "12345");
}

TEST_F(FrontendInstalled, FinishWithUnexpectedStatus) {
    // The traces go to the program's trace file when tracing is on.
    EXPECT_EXIT(
        {
            gszId = "9";
            gcFunc = 'G';
            gszClientHost = "hostX";
            strLog.szFile = sb.path("rw/lgc/fin.lgc");
            strLog.iFlg = 1;
            strLog.iVerify = 0;
            FINISH(3, "boom");
        },
        ::testing::ExitedWithCode(3), "ID=9\nSTATUS=ERROR MSG=boom\n");
    EXPECT_NE(sb.protocol().find("]: RemoteCmd hostX returned 3. Message: boom\n"), std::string::npos);
    std::string t = testsupport::read_file(sb.path("rw/lgc/fin.lgc"));
    EXPECT_NE(t.find("# unexpected exit code 3 \n"), std::string::npos);
    EXPECT_EQ(sb.var("gv_client_sts_9"), "3");

    // A usefile read leaves stderr to the data: no result lines.
    EXPECT_EXIT(
        {
            gszId = "10";
            gcFunc = 'u';
            gszOpt_m = "r";
            FINISH(0, "read");
        },
        ::testing::ExitedWithCode(0), "^$");
    EXPECT_EQ(sb.var("gv_client_msg_10"), "read");
    // Status 2 traces no "unexpected exit code".
    EXPECT_EXIT(
        {
            gszId = "11";
            gcFunc = 'G';
            strLog.szFile = sb.path("rw/lgc/fin2.lgc");
            strLog.iFlg = 1;
            FINISH(2, "err");
        },
        ::testing::ExitedWithCode(2), "STATUS=ERROR MSG=err");
    EXPECT_EQ(testsupport::read_file(sb.path("rw/lgc/fin2.lgc")).find("unexpected"), std::string::npos);
}
