// The option scanner, ARGUMENTS and FINISH (in forked children where the code ends the process).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "frontend/arguments.hpp"
#include "frontend/finish.hpp"
#include "frontend/globals.hpp"
#include "installation_env.hpp"

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

// Unknown options and grouped flags are checked end to end; these are the scanner's own ends.
TEST(MyGetopt, ValuesAndEnds) {
    // At the end of the words the last value is left in place.
    EXPECT_EQ(scan({"p", "-rn", "val"}), (Scan{{'r', ""}, {'n', "val"}, {-1, "val"}}));
    EXPECT_EQ(scan({"p", "-r", "--", "-n"}), (Scan{{'r', ""}, {-1, "+3"}}));
    EXPECT_EQ(scan({"p", "-"}), (Scan{{-1, "+2"}}));
    // A value may itself look like an option.
    EXPECT_EQ(scan({"p", "-s", "-r"}), (Scan{{'s', "-r"}, {-1, "-r"}}));
}

class FrontendInstalled : public ::testing::Test {
   protected:
    InstallationEnv env;
    Sandbox& sb = env.sb;
};

// ARGUMENTS on the words in a child; the child exits 0 when check holds.
#define EXPECT_ARGUMENTS(check, ...)                                    \
    EXPECT_EXIT(                                                        \
        {                                                               \
            mygetopt_reset();                                           \
            Argv a(std::vector<std::string>{"sm_client", __VA_ARGS__}); \
            ARGUMENTS(a.argc(), a.argv());                              \
            std::exit((check) ? 0 : 99);                                \
        },                                                              \
        ::testing::ExitedWithCode(0), "")

TEST_F(FrontendInstalled, ArgumentsRecordWhatTheRunMadeUp) {
    const std::string host = sb.hostname();
    EXPECT_ARGUMENTS(gszId.size() == 14 && gszMissingArg == "-i " + gszId + " -C " + host + " " &&
                         gszCtrlHost == host && gszClientHost == host,
                     "-f", "G");
    EXPECT_ARGUMENTS(gszMissingArg.empty() && gszCtrlHost == host && gszClientHost == host && gszId == "5",
                     "-i", "5", "-C", "LOCAL", "-c", "LOCAL", "-f", "G");
    EXPECT_ARGUMENTS(gszOpt_m == "rw" && gszOpt_b.size() == 15, "-i", "5", "-f", "G", "-m", "rwx", "-b",
                     std::string(40, 'b'));
    // Grouped flags make the word counter run ahead: trailing words come from a later index.
    EXPECT_ARGUMENTS(gszOpt_end == "b" && gFlag.Remote, "-rv", "-f", "G", "a", "b");

    // The storage port defaults only for media-server functions.
    testsupport::write_file(sb.path("etc/stpd.ini"), "[STPD_Server]\n");
    EXPECT_ARGUMENTS(gszPort == "11001", "-i", "1", "-f", "t");
    EXPECT_ARGUMENTS(gszPort.empty(), "-i", "1", "-f", "f");
    testsupport::write_file(sb.path("etc/stpd.ini"), "[STPD_Server]\nSTPD_PORT=12345\n");
    EXPECT_ARGUMENTS(gszPort == "12345", "-i", "1", "-f", "f");
}

// The usual statuses are checked end to end; an unexpected one is traced and still ends as an error.
TEST_F(FrontendInstalled, FinishTracesOnlyUnexpectedStatuses) {
    for (int sts : {3, 2}) {
        const std::string id = std::to_string(sts), trace = sb.path("rw/lgc/fin" + id + ".lgc");
        EXPECT_EXIT(
            {
                gszId = id;
                gcFunc = 'G';
                gszClientHost = "hostX";
                strLog.szFile = trace;
                strLog.iFlg = 1;
                FINISH(sts, "boom");
            },
            ::testing::ExitedWithCode(sts), "^ID=" + id + "\nSTATUS=ERROR MSG=boom\n$");
        EXPECT_EQ(sb.var("gv_client_sts_" + id), id);
        EXPECT_EQ(
            testsupport::read_file(trace).find("# unexpected exit code " + id + " \n") != std::string::npos,
            sts == 3);
    }
    EXPECT_NE(sb.protocol().find("]: RemoteCmd hostX returned 3. Message: boom\n"), std::string::npos);
}
