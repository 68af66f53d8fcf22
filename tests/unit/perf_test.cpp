#include "frontend/perf.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "frontend/globals.hpp"
#include "installation_env.hpp"
#include "util/strings.hpp"
#include "util/timeutil.hpp"

using testsupport::exists;
using testsupport::read_file;
using testsupport::write_file;

namespace {

std::string perf_file(const char* state, const char* throughput, int backups) {
    return sformat(
        "STATUS: %s\nTHROUGHPUT: %s GB/h\nNUMBER OF ACTIVE BACKUPS: %d\nNUMBER OF ACTIVE RESTORES: 1\n",
        state, throughput, backups);
}

// -d /dev/nst0 -s 3 -i p1 on this node.
struct PerfJob : InstallationEnv {
    PerfJob() { gszId = "p1", gszOpt_d = "/dev/nst0", gszOpt_s = "3", gszOpt_t = "", gFlag.Remote = false; }
    ~PerfJob() { set_sleeper({}); }
    const std::string perf = work("info/perf_3.log"), answer = work("rsh_p1.tmp");
};

}  // namespace

TEST(Performance, RecordsForIdleWritingAndEndOfMedium) {
    PerfJob job;
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
        write_file(job.perf, c.content);
        ::unlink(job.sb.store_file("gv_sms_eom__dev_nst0").c_str());
        if (c.eom) job.sb.set_var("gv_sms_eom__dev_nst0", c.eom);
        const JobResult r = READ_PERFORMANCE_DATA();
        EXPECT_EQ(r.sts, 0);
        EXPECT_EQ(r.msg, c.text);
        EXPECT_EQ(read_file(job.answer), "ID=p1\n" + c.text + "\n");
    }
}

TEST(Performance, PollingPublishesChangesAndEndsWithTheLastReading) {
    PerfJob job;
    std::vector<long> waits;
    std::vector<std::string> published;
    // The media server moves on while we wait: a change, nothing, then its file is gone.
    set_sleeper([&](long us) {
        waits.push_back(us / 1000000);
        published.push_back(read_file(job.answer));
        if (waits.size() == 1) write_file(job.perf, perf_file("SMS_WRT", "7", 1));
        if (waits.size() == 3) ::unlink(job.perf.c_str());
    });
    write_file(job.perf, perf_file("IDLE", "0.0", 0));
    gszOpt_t = "5:10";
    const JobResult r = READ_PERFORMANCE_DATA();
    EXPECT_EQ(r.sts, 1);
    EXPECT_EQ(r.msg, "1 1 STATUS: SMS_WRT THROUGHPUT: 7 GB/h READY");  // the previous reading
    EXPECT_EQ(waits, (std::vector<long>{10, 10, 10}));
    EXPECT_EQ(published, (std::vector<std::string>{"ID=p1\n0 1 STATUS: IDLE THROUGHPUT: 0.0 GB/h READY\n",
                                                   "ID=p1\n" + r.msg + "\n", "ID=p1\n" + r.msg + "\n"}));

    ::unlink(job.answer.c_str());
    gszOpt_t = "3";
    EXPECT_EQ(READ_PERFORMANCE_DATA().msg, kPerfMissing);  // nothing read yet
    gszOpt_t = "0:10";
    EXPECT_EQ(READ_PERFORMANCE_DATA().msg, "");  // no reading, no wait
    EXPECT_EQ(waits.size(), 3u);
    EXPECT_FALSE(exists(job.answer));
    for (const char* sms : {"../3", "3/x"}) {
        gszOpt_s = sms;
        EXPECT_EQ(READ_PERFORMANCE_DATA().msg, std::string("invalid SMS number ") + sms);
    }
}
