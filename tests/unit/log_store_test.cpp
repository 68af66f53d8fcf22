// Trace and protocol log against a real installation in a temporary directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>

#include "installation_env.hpp"
#include "log/prot.hpp"
#include "log/trace.hpp"

using testsupport::read_file;
using testsupport::write_file;

namespace {

class Installed : public ::testing::Test {
   protected:
    void SetUp() override {
        trace_reset_for_tests();
        eLang = LANG_EN;
    }
    InstallationEnv env;
    testsupport::Sandbox& sb = env.sb;
};

const auto lines_of = InstallationEnv::lines_of;

// Text of a trace line after "hh:mm:ss#".
std::string after_stamp(const std::string& line) {
    return line.substr(line.find('#') + 1);
}

}  // namespace

TEST_F(Installed, TraceIndentation) {
    str_log log;
    log.szFile = sb.path("rw/lgc/t.lgc");
    log.iFlg = 1;
    for (int i = 0; i < 16; ++i) WRITE_TRACE(log, "+++ L%d", i);
    for (int i = 15; i >= 0; --i) WRITE_TRACE(log, "--- L%d", i);
    WRITE_TRACE(log, "--- unbalanced");
    auto lines = lines_of(read_file(log.szFile));
    ASSERT_EQ(lines.size(), 33u);
    // The hour is blank-padded to two columns.
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("[ 12][0-9]:[0-5][0-9]:[0-5][0-9]# \\+\\+\\+ L0")));
    EXPECT_EQ(after_stamp(lines[15]), std::string(30, ' ') + " +++ L15");  // capped at 30
    EXPECT_EQ(after_stamp(lines[16]), std::string(30, ' ') + " --- L15");  // 16th level: stays
    EXPECT_EQ(after_stamp(lines[32]), " --- unbalanced");
}

TEST_F(Installed, SetLogMainLevelsLanguageAndStartupLine) {
    write_file(sb.path("rw/ini/debug.ini"), "sm_client=5\nSM_CLIENT=2\nSM_CLIENT=9\nSM_SEM=x\n");
    EXPECT_EQ(log_check("sm_client"), 2);  // name upper-cased; first match wins
    EXPECT_EQ(log_check("SM_SEM"), 0);     // not a number
    sb.set_config("[SETUP]", "lang", "de");
    str_log log;
    v_set_log_main("mod_.lgc", "SM_CLIENT", log);
    EXPECT_EQ(log.iFlg, 2);
    auto lines = lines_of(read_file(sb.path("rw/lgc/mod_.lgc")));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("Logging enabled for module SM_CLIENT: Loglevel 2, PID="), std::string::npos);
    EXPECT_NE(lines[0].find("(PPID=" + std::to_string(getppid()) + ")"), std::string::npos);
    EXPECT_EQ(after_stamp(lines[1]), " set language to de");
    // No second start-up line; the language is matched case-sensitively.
    for (auto [lang, want] : {std::pair{"DE", LANG_EN}, std::pair{"de_BA", LANG_BA}}) {
        sb.set_config("[SETUP]", "lang", lang);
        str_log other;
        v_set_log_main(sb.path("rw/lgc/other.lgc"), "SM_CLIENT", other);
        EXPECT_EQ(eLang, want) << lang;
    }
    EXPECT_EQ(lines_of(read_file(sb.path("rw/lgc/other.lgc"))).size(), 2u);
    EXPECT_EQ(strLocalLog.szFile, log.szFile);
}

TEST_F(Installed, ProtocolLinesTagChecksAndCuts) {
    testing::internal::CaptureStderr();
    PROT("I123-BASICS  two\nlines %d", 7);
    PROT("E%s-BASICS  text %s", "a", "b");
    PROT("short");
    PROT("E777-BASICS  %s", std::string(6000, 'z').c_str());
    testing::internal::GetCapturedStderr();
    auto lines = lines_of(sb.protocol());
    ASSERT_EQ(lines.size(), 8u);
    // Each embedded line gets the full head; the pid is right-aligned in six columns.
    const std::string pid = std::to_string(getpid());
    const std::string tag = "I123-BASICS [" + std::string(6 - pid.size(), ' ') + pid + "]: ";
    EXPECT_TRUE(
        std::regex_match(lines[0].substr(0, 20), std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ")));
    EXPECT_EQ(lines[0].substr(20), tag + "two");
    EXPECT_EQ(lines[1], lines[0].substr(0, 20) + tag + "lines 7");
    // A format argument in the tag: a warning first, then the entry with the tag as literal text.
    const std::pair<const char*, const char*> held[] = {
        {" W999-BASICS [", "]: Invalid usage of PROT: prefix with format argument '%s': >E%s-BASICS  <"},
        {" E%s-BASICS  [", "]: ext a"},  // the 13th character is the separator
        {" W999-BASICS [", "]: Invalid usage of PROT: format tag is too short: >short< (5 < 13)"},
        {"]: ", ""},
        {" E999-BASICS [", "]: Error: The following output was shortened (5120 <> "},
    };
    for (size_t i = 0; i < std::size(held); ++i) {
        EXPECT_NE(lines[2 + i].find(held[i].first), std::string::npos) << lines[2 + i];
        EXPECT_NE(lines[2 + i].find(held[i].second), std::string::npos) << lines[2 + i];
    }
    EXPECT_EQ(lines[5].substr(lines[5].size() - 3), "]: ");
    EXPECT_EQ(lines[7].size(), 5119u);
}

TEST_F(Installed, ProtocolPathFollowsLinksAndNoEntryIsLostSilently) {
    // gv_prot may be a link: the entry lands in its target.
    const std::string real = sb.path("rw/tmp/real.log"), link = sb.path("rw/tmp/link.log");
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    write_file(sb.store_file("gv_prot"), link);
    PROT("I100-BASICS  through the link");
    EXPECT_NE(read_file(real).find("]: through the link\n"), std::string::npos);

    // A protocol that cannot be opened: the entry is told on stderr.
    write_file(sb.store_file("gv_prot"), sb.path("no/such/dir/protocol.log"));
    testing::internal::CaptureStderr();
    PROT("E102-BASICS  nowhere to go %d", 5);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("PROT: cannot write to " + sb.path("no/such/dir/protocol.log") +
                       ": No such file or directory"),
              std::string::npos);
    EXPECT_NE(err.find("]: nowhere to go 5\n"), std::string::npos);

    // No gv_prot at all (or an empty one): one fixed line, no store report.
    for (bool empty : {false, true}) {
        unlink(sb.store_file("gv_prot").c_str());
        if (empty) write_file(sb.store_file("gv_prot"), "");
        testing::internal::CaptureStderr();
        PROT("I001-BASICS  lost");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "\nNo gv_prot defined! sm_start_all necessary!\n");
    }
    EXPECT_EQ(sb.protocol(), "");
}
