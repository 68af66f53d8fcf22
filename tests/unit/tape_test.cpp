// The drive board, mt's texts and the labelling loop.
#include "frontend/tape.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>

#include "device/info_board.hpp"
#include "device/tape_remote.hpp"
#include "device/tape_status.hpp"
#include "exec/child.hpp"
#include "frontend/globals.hpp"
#include "installation_env.hpp"
#include "util/timeutil.hpp"

using testsupport::read_file;
using testsupport::write_file;

TEST(InfoBoard, MergeKeepsOneEntryPerDriveAndKindInOrder) {
    const std::string board =
        ":  1> 10:00:00# one\n"
        ".  5> 10:00:00# five S\n"
        ":  5> 10:00:00# five M\n"
        ":  5->   rest of five M\n"
        "garbage line\n"
        ":  7> 10:00:00# seven\n";
    struct Row {
        char kind;
        int dn;
        std::string cont, want;
    } rows[] = {
        {'M', 2, "",
         ":  1> 10:00:00# one\n:  2> T\n.  5> 10:00:00# five S\n:  5> 10:00:00# five M\n:  5->   rest of "
         "five M\n"
         ":  7> 10:00:00# seven\n"},
        {'m', 5, " more",
         ":  1> 10:00:00# one\n.  5> 10:00:00# five S\n:  5> T\n:  5->    more\n:  7> 10:00:00# seven\n"},
        {'s', 7, "",
         ":  1> 10:00:00# one\n.  5> 10:00:00# five S\n:  5> 10:00:00# five M\n:  5->   rest of five M\n"
         ".  7> T\n:  7> 10:00:00# seven\n"},
        {'S', 999, "",
         ":  1> 10:00:00# one\n.  5> 10:00:00# five S\n:  5> 10:00:00# five M\n:  5->   rest of five M\n"
         ":  7> 10:00:00# seven\n.999> T\n"},
    };
    for (const Row& r : rows) EXPECT_EQ(board_merge(board, r.kind, r.dn, "T", r.cont), r.want) << r.dn;
    EXPECT_EQ(board_merge("", 'M', 0, "T", ""), ":  0> T\n");
}

TEST(InfoBoard, LongTextsAreSplitNearTheLimit) {
    EXPECT_EQ(board_entry_text("12:00:00", "a\r\nb"), "12:00:00# a  b");
    EXPECT_EQ(board_entry_text("12:00:00", std::string(600, 'x')).size(), kBoardTextMax);
    std::string text(130, 'a');
    text[120] = ' ';
    EXPECT_EQ(board_split(text), " aaaaaaaaa");
    EXPECT_EQ(text, std::string(120, 'a'));
    text.assign(300, 'b');  // no blank: cut at 123, the rest cut to 149
    EXPECT_EQ(board_split(text), std::string(149, 'b'));
    EXPECT_EQ(text.size(), 123u);
    text.assign(123, 'c');
    EXPECT_EQ(board_split(text), "");
}

// Eight processes update the board at once: every entry arrives, in order.
TEST(InfoBoard, ConcurrentUpdatesLoseNothing) {
    InstallationEnv env;
    std::vector<exec::Child> writers;
    for (int p = 0; p < 8; ++p)
        writers.push_back(exec::Child::call([p] {
            int ok = 1;
            for (int round = 0; round < 5; ++round)
                ok &= info('M', 100 - p, "m" + std::to_string(round)) & info('S', 100 - p, "s");
            return ok ? 0 : 1;
        }));
    for (exec::Child& c : writers) {
        int st = 0;
        ASSERT_EQ(c.wait_for(60000, st), 1);
        EXPECT_EQ(st, 0);
    }
    EXPECT_EQ(info('M', 1000, "too far"), 0);
    const std::string board = read_file(env.sb.path("rw/info/info.dat"));
    std::string want;
    for (int dn = 93; dn <= 100; ++dn) {
        const std::string num = (dn < 100 ? " " : "") + std::to_string(dn);
        want += "\\." + num + "> ..:..:..# s\n:" + num + "> ..:..:..# m4\n";
    }
    EXPECT_TRUE(std::regex_match(board, std::regex(want))) << board;
}

// A known drive number is logged and put on the board; "unknown" leaves both alone.
TEST(InfoBoard, StatusOfAKnownDrive) {
    InstallationEnv env;
    v_TAPE_STATUS_FINISH("", -1, "Info", "17", "unknown", "Drive tape online", {});
    EXPECT_FALSE(testsupport::exists(env.sb.path("rw/info/info.dat")));
    const std::string status = env.sb.path("rw/work/mt_status_result3.sgv");
    write_file(status, "x");
    v_TAPE_STATUS_FINISH(status, -1, "Info", "17", "3", "Drive tape online", {});
    EXPECT_FALSE(testsupport::exists(status));
    EXPECT_EQ(env.protocol_count("Info: 17 Drive tape online (No.=3)\n"), 1);
    EXPECT_TRUE(std::regex_match(read_file(env.sb.path("rw/info/info.dat")),
                                 std::regex(":  3> ..:..:..# Drive tape online \\(No.=3\\)\n")));
}

TEST(TapeStatus, MtTextsInTheirOrder) {
    InstallationEnv env;
    const std::string f = env.work("mt.out");
    struct Row {
        std::string out, want;
    } rows[] = {
        {"/dev/rmt0: Medium not present\n", "No tape in drive"},
        {"x: drive offline\nDevice busy\n", "No tape in drive"},  // earlier texts win
        {"Device busy\nx: drive offline\n", "No tape in drive"},
        {"No such device or address\n", "No such device or address"},
        {"mt: Device busy\n", "Drive tape busy"},
        {"/dev/nst0: No medium found\n", "No tape in drive"},
        {"/dev/nst0: Device or resource busy\n", "Drive tape busy"},
        {"General status bits on (41000000):\n BOT ONLINE\n", ""},
    };
    for (const Row& r : rows) {
        write_file(f, r.out);
        EXPECT_EQ(classify_mt_output(f), r.want) << r.out;
    }
}

// What another node's agent answered, and how it is asked.
TEST(TapeStatusRemote, AnswerFilesAndCommands) {
    InstallationEnv env;
    const std::string file = env.work("rsh_t1.tmp"), no_status = "No tag [STATUS=] found in " + file;
    struct Row {
        std::string content, want;
        int ret;
    } rows[] = {
        {"ID=1\r\nSTATUS=ERROR MSG=No tape in drive\r\n", "ERROR|No tape in drive", 1},
        {"noise MSG=first\nSTATUS=SUCCESS MSG=late\n", no_status + "|first", 1},
        {"ID=1\nnothing\n", no_status + "|No tag [MSG=] found in " + file, 0},
    };
    for (const Row& row : rows) {
        write_file(file, row.content);
        std::string st, msg;
        EXPECT_EQ(i_READ_RSHFILE(file, st, msg, str_log{}), row.ret) << row.content;
        EXPECT_EQ(st + "|" + msg, row.want);
    }
    EXPECT_EQ(tape_status_command("n1", "srv", "/dev/nst0", "DISK_CHNG", "/data/disk 1"),
              "sm_client -r -c n1 -C srv -f tapestatus -d /dev/nst0 -t '/data/disk 1'");
    EXPECT_EQ(tape_status_command("n1", "srv", "hd", "DISK_HARD", "/p"),
              "sm_client -r -c n1 -C srv -f tapestatus -d hd -t DISK_HARD");
}

TEST(TapeInit, LabelNumbers) {
    const std::pair<std::string, int> rows[] = {{"VOL00042", 42}, {"AB00012", 12}, {"TAPEX", 0}, {"X1234", 0},
                                                {"V12X45", 12},   {"7", 7},        {"12AB", 12}, {"", 0}};
    for (const auto& [label, n] : rows) EXPECT_EQ(label_number(label), n) << label;
}

// The labelling loop of a disk changer, with the pauses counted instead of waited.
TEST(TapeInit, RetriesUntilSuccessWithinItsLimits) {
    InstallationEnv env;
    gszRwIni = env.sb.path("rw/ini/");
    gszRwTmp = env.sb.path("rw/tmp/");
    gszRoSms = env.sb.path("ro/sms/");
    gszOpt_d = "chg1", gszOpt_l = "VOL00042", gszOpt_t = "/data/disk1", gszOpt_b.clear();
    env.sb.set_config("[Deadlines]", "sm_sms_interface", "1");
    int sleeps = 0;  // of a second each
    set_sleeper([&](long us) { sleeps += us == 1000000; });
    struct Row {
        std::string fail;
        int sts, runs;
        std::string msg;
    } rows[] = {
        {"2", 0, 3,
         env.sb.path("ro/sms/sm_sms_interface") + " init -d chg1 -B 65536 -t VOL00042:42 -i ZARVO-volume > " +
             env.sb.path("rw/tmp/i1.tmp")},
        {"always", 1, 31, "Error"},
        {"hang", 1, 1, "sm_sms_interface did not answer within 1 s and was killed"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.fail);
        gszId = "i1";
        sleeps = 0;
        write_file(env.sb.path("rw/sm_sms_interface.fail"), r.fail);
        write_file(env.sb.path("rw/standins.log"), "");
        JobResult res = INIT();
        EXPECT_EQ(res.sts, r.sts);
        EXPECT_EQ(res.msg, r.msg);
        EXPECT_EQ(sleeps, r.runs);
        EXPECT_EQ(InstallationEnv::lines_of(read_file(env.sb.path("rw/standins.log"))).size(),
                  size_t(r.runs));
        EXPECT_FALSE(testsupport::exists(gszRwTmp + "i1.tmp"));
        EXPECT_EQ(read_file(env.sb.path("rw/ini/chg1")), "/data/disk1/VOL00042\n100");
    }
    set_sleeper({});
}
