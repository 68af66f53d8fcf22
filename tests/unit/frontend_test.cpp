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

TEST_F(FrontendInstalled, FinishLinesVariablesProtocolAndTrace) {
    struct Case {
        int sts;
        char func;
        const char* mode;
        const char* err;  // regex for stderr
    };
    const Case cases[] = {
        {3, 'G', "", "^ID=9\nSTATUS=ERROR MSG=boom\n$"},
        {2, 'G', "", "^ID=10\nSTATUS=ERROR MSG=boom\n$"},
        {1, 'G', "", "^ID=11\nSTATUS=WARNING MSG=boom\n$"},
        {0, 'u', "r", "^$"},  // a usefile read leaves stderr to the data: no result lines
    };
    int id = 9;
    for (const Case& c : cases) {
        const std::string trace = sb.path("rw/lgc/fin" + std::to_string(id) + ".lgc");
        EXPECT_EXIT(
            {
                gszId = std::to_string(id);
                gcFunc = c.func;
                gszOpt_m = c.mode;
                gszClientHost = "hostX";
                strLog.szFile = trace;
                strLog.iFlg = 1;
                strLog.iVerify = 0;
                FINISH(c.sts, "boom");
            },
            ::testing::ExitedWithCode(c.sts), c.err);
        EXPECT_EQ(sb.var("gv_client_sts_" + std::to_string(id)), std::to_string(c.sts));
        EXPECT_EQ(sb.var("gv_client_msg_" + std::to_string(id)), "boom");
        // Only a status other than 0, 1 and 2 is traced as unexpected.
        EXPECT_EQ(testsupport::read_file(trace).find("# unexpected exit code 3 \n") != std::string::npos,
                  c.sts == 3);
        ++id;
    }
    // Errors (2 and above) reach the protocol.
    EXPECT_NE(sb.protocol().find("]: RemoteCmd hostX returned 3. Message: boom\n"), std::string::npos);
    EXPECT_NE(sb.protocol().find("]: RemoteCmd hostX returned 2. Message: boom\n"), std::string::npos);
    EXPECT_EQ(sb.protocol().find("returned 1."), std::string::npos);
}
