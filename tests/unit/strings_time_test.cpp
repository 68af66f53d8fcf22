#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <tuple>
#include <vector>

#include "util/strings.hpp"
#include "util/timeutil.hpp"

namespace {

using Words = std::vector<std::string>;

Words split_all(const char* s, char d) {
    Words out;
    for (const char* t = cm_strtok(s, d); t; t = cm_strtok(nullptr, d)) out.emplace_back(t);
    return out;
}

// Sets TZ for the scope and restores the previous zone afterwards.
struct ScopedTz {
    const char* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    explicit ScopedTz(const char* tz) { setenv("TZ", tz, 1), tzset(); }
    ~ScopedTz() { old ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ"), tzset(); }
};

time_t make_local(int y, int mo, int d, int h, int mi = 0, int s = 0) {
    struct tm t {};
    t.tm_year = y - 1900, t.tm_mon = mo - 1, t.tm_mday = d, t.tm_hour = h, t.tm_min = mi, t.tm_sec = s;
    t.tm_isdst = -1;
    return mktime(&t);
}

std::string tg(const char* req, time_t now) {
    char buf[kTimeBuf] = {};
    std::strncpy(buf, req, kTimeBuf - 1);
    return time_get_at(buf, now);
}

}  // namespace

TEST(Strings, TokensAndElements) {
    EXPECT_EQ(split_all("a,,b", ','), (Words{"a", "", "b"}));  // empty fields are kept
    EXPECT_EQ(split_all(",", ','), (Words{"", ""}));
    EXPECT_EQ(split_all("", ','), (Words{""}));
    EXPECT_EQ(cm_strtok(nullptr, ','), nullptr);  // after the end, still nothing

    std::string big(9000, 'x');
    big[8190] = ',';  // inside the kept part
    big[8500] = ',';  // beyond it: must be gone
    testing::internal::CaptureStderr();
    const Words parts = split_all(big.c_str(), ',');
    EXPECT_NE(testing::internal::GetCapturedStderr().find("string shortend to 8191 chars"),
              std::string::npos);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].size(), 8190u);

    const std::tuple<int, std::string, int, std::string> elems[] = {
        {2, "/x/y/z", 1, "z"},
        {3, "/x/y/z", 0, ""},
        {1, "a//b", 1, ""},
        {0, "/", 0, ""},
        {0, std::string(1000, 'q'), 1, std::string(1000, 'q')},        // whole, beyond the work buffer
        {1, "a/" + std::string(1000, 'b'), 1, std::string(765, 'b')},  // work copy cut at 767
    };
    for (const auto& [pos, in, rc, want] : elems) {
        std::string e = "old";
        EXPECT_EQ(str_elem(pos, '/', in.c_str(), e), rc) << in.substr(0, 10);
        EXPECT_EQ(e, want) << in.substr(0, 10);
    }
}

TEST(TimeGet, RequestsOnAFixedNow) {
    ScopedTz tz("UTC0");
    const time_t now = make_local(2007, 12, 21, 14, 38, 9);
    const std::pair<const char*, const char*> cases[] = {
        {"", "2007-12-21 14:38:09 Fri"},
        {"D x", "2007-12-21 14:38:09 Fri"},  // unreadable number: unchanged
        {"I", "20071221143809"},
        {"Y", "2007-12-20 14:38:09 Thu"},
        {"T", "2007-12-22 14:38:09 Sat"},
        {"H 10", "2007-12-22 00:38:09 Sat"},
        {"S 51", "2007-12-21 14:39:00 Fri"},
        {"2007-12-31 23:00:00 H 2", "2008-01-01 01:00:00 Tue"},
        {"2007-12-31 23:00:00 I", "20071231230000"},
        {"2007-12-31 23:00:00", "2007-12-21 14:38:09 Fri"},  // 19 characters: no date prefix
    };
    for (const auto& [req, want] : cases) EXPECT_EQ(tg(req, now), want) << req;
}

TEST(TimeGet, DaylightSavingFlagOfNowStaysInForce) {
    ScopedTz tz("Europe/Berlin");
    // Winter "now": a summer date is read as standard time and shows one
    // hour later; the other way round one hour earlier.
    const time_t winter = make_local(2026, 12, 5, 12), summer = make_local(2026, 7, 1, 12);
    EXPECT_EQ(tg("2026-07-01 10:00:00 ", winter), "2026-07-01 11:00:00 Wed");
    EXPECT_EQ(tg("2026-12-01 10:00:00 ", summer), "2026-12-01 09:00:00 Tue");
    // Across the spring change in the night of 2026-03-29.
    EXPECT_EQ(tg("2026-03-29 01:30:00 H 1", winter), "2026-03-29 03:30:00 Sun");
    EXPECT_EQ(tg("D 1", make_local(2026, 3, 28, 12)), "2026-03-29 13:00:00 Sun");
}

TEST(CmStrftime, OwnFormsAndCuts) {
    ScopedTz tz("UTC0");
    // %c and %x pad the day with a zero; 2023 starts on a Sunday, where week
    // counting stays at 0; unknown conversions stay as written.
    const time_t dec1 = make_local(2007, 12, 1, 14, 3, 9), jan1 = make_local(2023, 1, 1, 0);
    const std::tuple<const char*, time_t, const char*> own[] = {
        {"%c", dec1, "Sat Dec 01 14:03:09 2007"},
        {"%x", dec1, "Sat Dec 01 2007"},
        {"%a %A %b %B %j %I%p %u %w %U %W %y %X %%", make_local(2021, 12, 4, 14, 3, 9),
         "Sat Saturday Dec December 338 02PM 6 6 48 48 21 14:03:09 %"},
        {"%U", jan1, "00"},
        {"%q|%", jan1, "%q|%"},
    };
    char mine[96];
    struct tm tmv {};
    for (const auto& [fmt, when, want] : own) {
        gmtime_r(&when, &tmv);
        cm_strftime(mine, sizeof mine, fmt, &tmv);
        EXPECT_STREQ(mine, want) << fmt;
    }
    // Too small a buffer: cut, and the answer is 0.
    char small[5], exact[11];
    EXPECT_EQ(cm_strftime(small, sizeof small, "%Y-%m-%d", &tmv), 0u);
    EXPECT_STREQ(small, "2023");
    EXPECT_EQ(cm_strftime(exact, sizeof exact, "%Y-%m-%d", &tmv), 10u);
}
