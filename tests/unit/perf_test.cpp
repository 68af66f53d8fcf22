#include "frontend/perf.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "frontend/globals.hpp"
#include "installation_env.hpp"
#include "util/strings.hpp"
#include "util/timeutil.hpp"

using testsupport::read_file;
using testsupport::write_file;

static std::string perf_file(const char* state, const char* throughput, int backups) {
    return sformat(
        "STATUS: %s\nTHROUGHPUT: %s GB/h\nNUMBER OF ACTIVE BACKUPS: %d\nNUMBER OF ACTIVE RESTORES: 1\n",
        state, throughput, backups);
}

// -d /dev/nst0 -s 3 -i p1 on this node: each reading, then polling while the media server moves on.
TEST(Performance, RecordsForIdleWritingAndEndOfMediumAndTheirChanges) {
    InstallationEnv env;
    gszId = "p1", gszOpt_d = "/dev/nst0", gszOpt_s = "3", gszOpt_t = "", gFlag.Remote = false;
    const std::string perf = env.work("info/perf_3.log"), answer = env.work("rsh_p1.tmp");
    struct Case {
        std::string content;
        const char* eom;  // nullptr: not set
        std::string text;
    };
    const Case cases[] = {
        {perf_file("IDLE", "0.0", 0), nullptr, "0 1 STATUS: IDLE THROUGHPUT: 0.0 GB/h READY"},
        {perf_file("SMS_WRT", "412.5", 2), "WRITING", "2 1 STATUS: SMS_WRT THROUGHPUT: 412.5 GB/h WRITING"},
        {perf_file("CHANGING_MEDIA", "0", 1), "EOM", "1 1 STATUS: CHANGING_MEDIA THROUGHPUT: 0 GB/h EOM"},
        // An end of medium counts only while media change or data is written; a next medium always.
        {perf_file("IDLE", "0.0", 0), "EOM", "0 1 STATUS: IDLE THROUGHPUT: 0.0 GB/h READY"},
        {perf_file("IDLE", "0.0", 0), "NEXT_MEDIUM", "0 1 STATUS: IDLE THROUGHPUT: 0.0 GB/h NEXT_MEDIUM"},
        {"STATUS: SMS_RD\nTHROUGHPUT: 9 GB/h\n", nullptr, "0 0 STATUS: SMS_RD THROUGHPUT: 9 GB/h READY"},
    };
    for (const Case& c : cases) {
        write_file(perf, c.content);
        ::unlink(env.sb.store_file("gv_sms_eom__dev_nst0").c_str());
        if (c.eom) env.sb.set_var("gv_sms_eom__dev_nst0", c.eom);
        const JobResult r = READ_PERFORMANCE_DATA();
        EXPECT_EQ(r.sts, 0);
        EXPECT_EQ(r.msg, c.text);
        EXPECT_EQ(read_file(answer), "ID=p1\n" + c.text + "\n");
    }

    std::vector<std::string> published;  // at each wait of 10 s
    set_sleeper([&](long us) {
        published.push_back(us == 10000000 ? read_file(answer) : "wrong wait");
        if (published.size() == 1) write_file(perf, perf_file("SMS_WRT", "7", 1));
        if (published.size() == 3) ::unlink(perf.c_str());
    });
    write_file(perf, perf_file("IDLE", "0.0", 0));
    gszOpt_t = "5:10";
    const JobResult r = READ_PERFORMANCE_DATA();
    set_sleeper({});
    EXPECT_EQ(r.sts, 1);
    EXPECT_EQ(r.msg, "1 1 STATUS: SMS_WRT THROUGHPUT: 7 GB/h READY");  // the previous reading
    EXPECT_EQ(published, (std::vector<std::string>{"ID=p1\n" + cases[0].text + "\n", "ID=p1\n" + r.msg + "\n",
                                                   "ID=p1\n" + r.msg + "\n"}));
    gszOpt_t = "0:10";
    EXPECT_EQ(READ_PERFORMANCE_DATA().msg, "");  // no reading at all
    gszOpt_t = "1";
    EXPECT_EQ(READ_PERFORMANCE_DATA().msg, kPerfMissing);  // nothing read yet
    gszOpt_s = "../3";
    EXPECT_EQ(READ_PERFORMANCE_DATA().msg, "invalid SMS number ../3");
}
