// Trace and protocol log against a real installation in a temporary
// directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "log/prot.hpp"
#include "log/trace.hpp"
#include "support/run.hpp"

using testsupport::read_file;
using testsupport::Sandbox;
using testsupport::write_file;

namespace {

class Installed : public ::testing::Test {
   protected:
    void SetUp() override {
        setenv("ZARVO_INI", sb.root_file().c_str(), 1);
        trace_reset_for_tests();
        eLang = LANG_EN;
    }
    void TearDown() override { unsetenv("ZARVO_INI"); }

    std::vector<std::string> protocol_lines() {
        std::vector<std::string> out;
        std::istringstream in(sb.protocol());
        for (std::string l; std::getline(in, l);) out.push_back(l);
        return out;
    }

    Sandbox sb;
};

// Text of a trace line after "hh:mm:ss#".
std::string after_stamp(const std::string& line) {
    size_t p = line.find('#');
    return p == std::string::npos ? line : line.substr(p + 1);
}

std::vector<std::string> lines_of(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

}  // namespace

TEST_F(Installed, TraceIndentationUpToSixteenLevels) {
    str_log log;
    log.szFile = sb.path("rw/lgc/t.lgc");
    log.iFlg = 1;
    for (int i = 0; i < 16; ++i) WRITE_TRACE(log, "+++ L%d", i);
    WRITE_TRACE(log, "deep");
    for (int i = 15; i >= 0; --i) WRITE_TRACE(log, "--- L%d", i);
    WRITE_TRACE(log, "--- unbalanced");
    WRITE_TRACE(log, "end");
    auto lines = lines_of(read_file(log.szFile));
    ASSERT_EQ(lines.size(), 35u);
    EXPECT_EQ(after_stamp(lines[0]), " +++ L0");
    EXPECT_EQ(after_stamp(lines[14]), std::string(28, ' ') + " +++ L14");
    EXPECT_EQ(after_stamp(lines[15]), std::string(30, ' ') + " +++ L15");
    EXPECT_EQ(after_stamp(lines[16]), std::string(30, ' ') + " deep");     // capped at 30
    EXPECT_EQ(after_stamp(lines[17]), std::string(30, ' ') + " --- L15");  // 16th level: stays
    EXPECT_EQ(after_stamp(lines[18]), std::string(28, ' ') + " --- L14");
    EXPECT_EQ(after_stamp(lines[32]), " --- L0");
    EXPECT_EQ(after_stamp(lines[33]), " --- unbalanced");
    EXPECT_EQ(after_stamp(lines[34]), " end");
    // "%2d:%02d:%02d#": hour blank-padded to two columns.
    ASSERT_GE(lines[0].size(), 9u);
    EXPECT_EQ(lines[0][2], ':');
    EXPECT_EQ(lines[0][5], ':');
    EXPECT_EQ(lines[0][8], '#');
}

TEST_F(Installed, TraceCopyFileAndEcho) {
    str_log log;
    log.szFile = sb.path("rw/lgc/c.lgc");
    log.iFlg = 1;
    log.iVerify = 1;
    write_file(sb.path("rw/tmp/in.txt"), "one\ntwo\n");
    testing::internal::CaptureStderr();
    WRITE_TRACE_COPY_FILE(log, sb.path("rw/tmp/in.txt"));
    WRITE_TRACE_COPY_FILE(log, sb.path("rw/tmp/none.txt"));
    std::string err = testing::internal::GetCapturedStderr();
    auto lines = lines_of(read_file(log.szFile));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(after_stamp(lines[0]), "    one");
    EXPECT_EQ(after_stamp(lines[1]), "    two");
    EXPECT_EQ(after_stamp(lines[2]), "   File " + sb.path("rw/tmp/none.txt") + " not found");
    auto elines = lines_of(err);
    ASSERT_EQ(elines.size(), 3u);
    EXPECT_EQ(after_stamp(elines[0]), " one");
    EXPECT_EQ(after_stamp(elines[2]), " File " + sb.path("rw/tmp/none.txt") + " not found");
}

TEST_F(Installed, SetLogMainLevelsLanguageAndStartupLine) {
    write_file(sb.path("rw/ini/debug.ini"), "sm_client=5\nSM_CLIENT=2\nSM_CLIENT=9\nSTDERR=0\nSM_SEM=x\n");
    EXPECT_EQ(log_check("sm_client"), 2);  // name upper-cased; first match wins
    EXPECT_EQ(log_check("SM_SEM"), 0);     // not a number
    EXPECT_EQ(log_check("SM_ALIVE"), 0);   // not listed

    sb.set_config("[SETUP]", "lang", "de");
    str_log log;
    v_set_log_main("mod_.lgc", "SM_CLIENT", log);
    EXPECT_EQ(log.iFlg, 2);
    EXPECT_EQ(log.iVerify, 0);
    EXPECT_EQ(log.szFile, sb.path("rw/lgc/mod_.lgc"));
    EXPECT_EQ(eLang, LANG_DE);
    auto lines = lines_of(read_file(log.szFile));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("Logging enabled for module SM_CLIENT: Loglevel 2, PID="), std::string::npos);
    EXPECT_NE(lines[0].find("(PPID=" + std::to_string(getppid()) + ")"), std::string::npos);
    EXPECT_EQ(after_stamp(lines[1]), " set language to de");
    EXPECT_EQ(strLocalLog.szFile, log.szFile);

    // A second descriptor: no second start-up line; strLocalLog stays.
    sb.set_config("[SETUP]", "lang", "DE");
    str_log other;
    v_set_log_main(sb.path("rw/lgc/other.lgc"), "SM_CLIENT", other);
    EXPECT_EQ(other.szFile, sb.path("rw/lgc/other.lgc"));  // already a path: unchanged
    EXPECT_EQ(eLang, LANG_EN);                             // comparison is case-sensitive
    EXPECT_EQ(lines_of(read_file(other.szFile)).size(), 1u);
    EXPECT_EQ(strLocalLog.szFile, log.szFile);

    sb.set_config("[SETUP]", "lang", "de_BA");
    v_set_log_main("x.lgc", "NOT_LISTED", other);
    EXPECT_EQ(other.iFlg, 0);
    EXPECT_EQ(eLang, LANG_BA);
}

TEST_F(Installed, ProtocolLineFormatAndSplitting) {
    PROT("I123-BASICS  two\nembedded\nnewlines %d", 7);
    auto lines = protocol_lines();
    ASSERT_EQ(lines.size(), 3u);
    std::string head = lines[0].substr(0, 20);
    std::string pid = std::to_string(getpid());
    std::string tag = "I123-BASICS [" + std::string(6 - pid.size(), ' ') + pid + "]: ";
    EXPECT_EQ(lines[0].substr(19), " " + tag + "two");
    EXPECT_EQ(lines[1], head + tag + "embedded");
    EXPECT_EQ(lines[2], head + tag + "newlines 7");
    EXPECT_EQ(lines[0][4], '-');
    EXPECT_EQ(lines[0][13], ':');
}

TEST_F(Installed, ProtocolTagChecks) {
    testing::internal::CaptureStderr();
    PROT("E%s-BASICS  text %s", "a", "b");
    PROT("short");
    std::string err = testing::internal::GetCapturedStderr();
    auto lines = protocol_lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].find(" W999-BASICS ["), std::string::npos);
    EXPECT_NE(lines[0].find("]: Invalid usage of PROT: prefix with format argument '%s': >E%s-BASICS  <"),
              std::string::npos);
    // The entry is still written; its tag stays literal text.
    EXPECT_NE(lines[1].find(" E%s-BASICS  ["), std::string::npos);
    EXPECT_NE(lines[1].find("]: ext a"), std::string::npos);  // the 13th character is the separator
    EXPECT_NE(lines[2].find("]: Invalid usage of PROT: format tag is too short: >short< (5 < 13)"),
              std::string::npos);
    EXPECT_EQ(lines[3].substr(lines[3].size() - 3), "]: ");
    EXPECT_NE(
        err.find("PROT: WARNING: invalid usage of PROT: prefix with format argument '%s': >E%s-BASICS  <\n"),
        std::string::npos);
    EXPECT_NE(err.find("PROT: WARNING: format tag is too short: >short< (5 < 13)\n"), std::string::npos);
}

TEST_F(Installed, ProtocolOverlongEntryIsCutAndReported) {
    std::string big(6000, 'z');
    testing::internal::CaptureStderr();
    PROT("E777-BASICS  %s", big.c_str());
    std::string err = testing::internal::GetCapturedStderr();
    auto lines = protocol_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("E999-BASICS ["), std::string::npos);
    EXPECT_NE(lines[0].find("Error: The following output was shortened (5120 <> "), std::string::npos);
    EXPECT_EQ(lines[1].size(), 5119u);
    EXPECT_NE(err.find("shortened (5120 <> "), std::string::npos);
}

TEST_F(Installed, ProtocolPathFollowsLinksAndNoEntryIsLostSilently) {
    // The administrator may point gv_prot at a link: the entry lands in
    // the link's target.
    const std::string real = sb.path("rw/tmp/real.log"), link = sb.path("rw/tmp/link.log");
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    write_file(sb.store_file("gv_prot"), link);
    PROT("I100-BASICS  through the link");
    EXPECT_NE(read_file(real).find("]: through the link\n"), std::string::npos);

    // A value written in several lines is one path, as the store reads it.
    write_file(sb.store_file("gv_prot"), sb.path("rw/tmp/") + "\nsplit.log");
    PROT("I101-BASICS  joined");
    EXPECT_NE(read_file(sb.path("rw/tmp/split.log")).find("]: joined\n"), std::string::npos);

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

TEST_F(Installed, StrChainOverflowLeavesTargetAndReports) {
    std::string t(500, 'a');
    testing::internal::CaptureStderr();
    str_chain(t, 0, {std::string(20, 'b'), "cd"});
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(t, std::string(500, 'a') + "cd");
    EXPECT_NE(
        err.find("FATAL: STR_CHAIN: string overflow strlen(filled_string) + strlen(new_string) > 512\n"),
        std::string::npos);
    EXPECT_NE(sb.protocol().find("E001-BASICS ["), std::string::npos);
    EXPECT_NE(sb.protocol().find("STR_CHAIN string overflow"), std::string::npos);
    // Exactly 511 characters fit; 512 do not.
    std::string u(510, 'a');
    str_chain(u, 0, {"b"});
    EXPECT_EQ(u.size(), 511u);
    testing::internal::CaptureStderr();
    str_chain(u, 0, {"c"});
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(u.size(), 511u);
    EXPECT_EQ(str_chain(u, 1, {"x", "y"}), "xy");
}

TEST_F(Installed, TrapsReportAndEndAsAsked) {
    trap_par_err("SM_CLIENT", 0);
    str_log log;
    trap_db_err("MOD", "bad", log, 0);
    EXPECT_NE(sb.protocol().find(" E015-BASICS ["), std::string::npos);
    EXPECT_NE(sb.protocol().find("]: Missing parameters - more information with: sm_sm_client -h"),
              std::string::npos);
    EXPECT_NE(sb.protocol().find(" E018-DATABAS["), std::string::npos);
    EXPECT_NE(sb.protocol().find("]: MOD with unexpected result: bad."), std::string::npos);
    EXPECT_EXIT(trap_par_err("SM_CLIENT", 1), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(trap_db_err("MOD", "bad", log, 1), ::testing::ExitedWithCode(1), "");
}
