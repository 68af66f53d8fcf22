#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "util/strings.hpp"
#include "util/timeutil.hpp"

namespace {

std::vector<std::string> split_all(const char* s, char d) {
    std::vector<std::string> out;
    for (const char* t = cm_strtok(s, d); t; t = cm_strtok(nullptr, d)) out.emplace_back(t);
    return out;
}

// Runs the body with TZ set, restoring the previous zone afterwards.
struct ScopedTz {
    std::string old;
    bool had;
    explicit ScopedTz(const char* tz) {
        const char* o = std::getenv("TZ");
        had = o != nullptr;
        if (had) old = o;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTz() {
        if (had)
            setenv("TZ", old.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
};

time_t make_local(int y, int mo, int d, int h, int mi, int s) {
    struct tm t {};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    t.tm_isdst = -1;
    return mktime(&t);
}

std::string tg(const char* req, time_t now) {
    char buf[kTimeBuf] = {};
    std::strncpy(buf, req, kTimeBuf - 1);
    return time_get_at(buf, now);
}

}  // namespace

TEST(CmStrtok, KeepsEmptyFieldsAndTrailingField) {
    EXPECT_EQ(split_all("a,,b", ','), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(split_all("a,", ','), (std::vector<std::string>{"a", ""}));
    EXPECT_EQ(split_all("", ','), (std::vector<std::string>{""}));
    EXPECT_EQ(split_all(",", ','), (std::vector<std::string>{"", ""}));
    // After the end, further calls keep answering nullptr.
    EXPECT_EQ(cm_strtok(nullptr, ','), nullptr);
}

TEST(CmStrtok, CutsOverlongInputAt8191) {
    std::string big(9000, 'x');
    big[8190] = ',';  // inside the kept part
    big[8500] = ',';  // beyond it: must be gone
    testing::internal::CaptureStderr();
    auto parts = split_all(big.c_str(), ',');
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].size(), 8190u);
    EXPECT_EQ(parts[1], "");
    EXPECT_NE(err.find("string shortend to 8191 chars"), std::string::npos);
}

TEST(StrElem, PositionsDelimitersAndLimits) {
    std::string e;
    EXPECT_EQ(str_elem(2, '/', "/x/y/z", e), 1);
    EXPECT_EQ(e, "z");
    EXPECT_EQ(str_elem(3, '/', "/x/y/z", e), 0);
    EXPECT_EQ(e, "");
    EXPECT_EQ(str_elem(1, ',', "a,,b", e), 1);
    EXPECT_EQ(e, "");
    EXPECT_EQ(str_elem(0, '/', "", e), 0);
    EXPECT_EQ(str_elem(0, '/', "/", e), 0);
    std::string longword(1000, 'q');
    EXPECT_EQ(str_elem(0, '/', longword.c_str(), e), 1);
    EXPECT_EQ(e.size(), 1000u);  // whole, even beyond the work buffer
    // With a delimiter the work copy is cut at 767 characters.
    std::string longpath = "a/" + std::string(1000, 'b');
    EXPECT_EQ(str_elem(1, '/', longpath.c_str(), e), 1);
    EXPECT_EQ(e.size(), 765u);
}

TEST(TimeGet, RequestsOnAFixedNow) {
    ScopedTz tz("UTC0");
    time_t now = make_local(2007, 12, 21, 14, 38, 9);
    EXPECT_EQ(tg("", now), "2007-12-21 14:38:09 Fri");
    EXPECT_EQ(tg("unknown", now), "2007-12-21 14:38:09 Fri");
    EXPECT_EQ(tg("I", now), "20071221143809");
    EXPECT_EQ(tg("D -1", now), tg("Y", now));
    EXPECT_EQ(tg("T", now), "2007-12-22 14:38:09 Sat");
    EXPECT_EQ(tg("H 10", now), "2007-12-22 00:38:09 Sat");
    EXPECT_EQ(tg("M -39", now), "2007-12-21 13:59:09 Fri");
    EXPECT_EQ(tg("S 51", now), "2007-12-21 14:39:00 Fri");
    EXPECT_EQ(tg("D x", now), "2007-12-21 14:38:09 Fri");  // unreadable number: unchanged
}

TEST(TimeGet, DatePrefix) {
    ScopedTz tz("UTC0");
    time_t now = make_local(2020, 6, 1, 0, 0, 0);
    EXPECT_EQ(tg("2007-12-31 23:00:00 H 2", now), "2008-01-01 01:00:00 Tue");
    EXPECT_EQ(tg("2007-12-31 23:00:00 I", now), "20071231230000");
    EXPECT_EQ(tg("2007-12-31 23:00:00 ", now), "2007-12-31 23:00:00 Mon");
    // Exactly 19 characters: not a date prefix, the answer is now.
    EXPECT_EQ(tg("2007-12-31 23:00:00", now), "2020-06-01 00:00:00 Mon");
}

TEST(TimeGet, DaylightSavingFlagOfNowStaysInForce) {
    ScopedTz tz("Europe/Berlin");
    // Winter "now": the dst flag 0 is kept, so a summer date is read as
    // standard time and shows one hour later in summer time.
    time_t winter = make_local(2026, 12, 5, 12, 0, 0);
    EXPECT_EQ(tg("2026-07-01 10:00:00 ", winter), "2026-07-01 11:00:00 Wed");
    // Summer "now": a winter date read as summer time shows one hour earlier.
    time_t summer = make_local(2026, 7, 1, 12, 0, 0);
    EXPECT_EQ(tg("2026-12-01 10:00:00 ", summer), "2026-12-01 09:00:00 Tue");
    // Across the spring change in the night of 2026-03-29.
    EXPECT_EQ(tg("2026-03-29 01:30:00 H 1", winter), "2026-03-29 03:30:00 Sun");
    // "D 1" from the evening before the change keeps winter time semantics.
    time_t before = make_local(2026, 3, 28, 12, 0, 0);
    EXPECT_EQ(tg("D 1", before), "2026-03-29 13:00:00 Sun");
}

TEST(CmStrftime, MatchesCLibraryInTheCLocale) {
    ScopedTz tz("UTC0");
    // Years whose 1 January is neither a Sunday nor a Monday, where the week
    // numbers agree with the C library.
    const char* convs[] = {"%%", "%a", "%A", "%b", "%B", "%d", "%H", "%I", "%j", "%m", "%M",
                           "%p", "%S", "%u", "%U", "%w", "%W", "%X", "%y", "%Y", "%Z"};
    for (int year : {2020, 2021, 2025, 2026}) {
        for (int yday = 0; yday < 365; yday += 13) {
            for (int hour : {0, 11, 12, 23}) {
                time_t t = make_local(year, 1, 1 + yday, hour, 7, 9);
                struct tm tmv {};
                localtime_r(&t, &tmv);
                for (const char* c : convs) {
                    char mine[64], libc[64];
                    ASSERT_GT(cm_strftime(mine, sizeof mine, c, &tmv), 0u) << c;
                    ASSERT_GT(strftime(libc, sizeof libc, c, &tmv), 0u) << c;
                    EXPECT_STREQ(mine, libc) << c << " year " << year << " yday " << yday;
                }
            }
        }
    }
}

TEST(CmStrftime, OwnFormsWhereTheyDifferFromCLibrary) {
    ScopedTz tz("UTC0");
    struct tm t {};
    time_t when = make_local(2007, 12, 1, 14, 3, 9);
    gmtime_r(&when, &t);
    char buf[64];
    cm_strftime(buf, sizeof buf, "%c", &t);
    EXPECT_STREQ(buf, "Sat Dec 01 14:03:09 2007");  // day zero-padded
    cm_strftime(buf, sizeof buf, "%x", &t);
    EXPECT_STREQ(buf, "Sat Dec 01 2007");
    // 2023 starts on a Sunday: week counting stays at 0 for days whose
    // day-of-year remainder equals the weekday.
    time_t jan1 = make_local(2023, 1, 1, 0, 0, 0);
    gmtime_r(&jan1, &t);
    cm_strftime(buf, sizeof buf, "%U", &t);
    EXPECT_STREQ(buf, "00");
    cm_strftime(buf, sizeof buf, "%q|%", &t);
    EXPECT_STREQ(buf, "%q|%");
}

TEST(CmStrftime, TooSmallBufferIsCutAndReportsZero) {
    struct tm t {};
    t.tm_year = 107;
    t.tm_mon = 11;
    t.tm_mday = 21;
    char buf[5];
    EXPECT_EQ(cm_strftime(buf, sizeof buf, "%Y-%m-%d", &t), 0u);
    EXPECT_STREQ(buf, "2007");
    char exact[11];
    EXPECT_EQ(cm_strftime(exact, sizeof exact, "%Y-%m-%d", &t), 10u);
}

TEST(Wait, GoesThroughTheReplaceableSleeper) {
    long slept = 0;
    set_sleeper([&](long us) { slept += us; });
    wait_msec(1500);
    wait_sec(2);
    set_sleeper({});
    EXPECT_EQ(slept, 3500000L);
}
