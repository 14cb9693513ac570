// The instants of text values: the accepted forms, their values and the
// texts that are no instant.
#include "time_text.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

int64_t secondsOrMinus(const std::string& text) {
    std::optional<time_text::Instant> instant = time_text::instantOf(text);
    return instant ? instant->seconds : -1;
}

TEST(TimeTextTest, FormsAndOffsetsGiveTheSameInstant) {
    EXPECT_EQ(0, secondsOrMinus("1970-01-01"));
    EXPECT_EQ(0, secondsOrMinus("1970-01-01T00:00:00Z"));
    EXPECT_EQ(1796646122, secondsOrMinus("2026-12-07T12:22:02Z"));
    EXPECT_EQ(1796646122, secondsOrMinus("2026-12-07t14:22:02+02:00"));
    EXPECT_EQ(1796646122, secondsOrMinus("2026-12-07T07:52:02-04:30"));
    EXPECT_EQ(1796646122, secondsOrMinus("2026-12-07T12:22:02"));
    EXPECT_EQ(951782400, secondsOrMinus("2000-02-29"));  // a leap day of a 400th year
    // Every day of four centuries agrees with the C library's calendar.
    for (int64_t day = -300000; day < 300000; day += 997) {
        const time_t at = static_cast<time_t>(day * 86400 + 3661);
        std::tm parts{};
        gmtime_r(&at, &parts);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
        if (parts.tm_year + 1900 >= 0 && parts.tm_year + 1900 <= 9999) {
            EXPECT_EQ(static_cast<int64_t>(at), secondsOrMinus(text)) << text;
        }
    }
}

TEST(TimeTextTest, FractionsKeepTheirDigits) {
    std::optional<time_text::Instant> instant = time_text::instantOf("1969-12-31T23:59:59.25Z");
    ASSERT_TRUE(instant);
    EXPECT_EQ(-1, instant->seconds);
    EXPECT_DOUBLE_EQ(-0.75, time_text::secondsOf(*instant));
    bool whole = true;
    EXPECT_EQ(-750, time_text::millisecondsOf(*instant, whole));
    EXPECT_TRUE(whole);
    instant = time_text::instantOf("2026-12-07T12:22:02.123456789+00:00");
    ASSERT_TRUE(instant);
    EXPECT_EQ(1796646122123, time_text::millisecondsOf(*instant, whole));
    EXPECT_FALSE(whole);
}

TEST(TimeTextTest, OtherTextsAreNoInstants) {
    for (const char* text : {"",
                             "2026",
                             "2026-12",
                             "2026-13-01",
                             "2026-02-29",
                             "1900-02-29",
                             "2026-04-31",
                             "2026-12-07T24:00:00Z",
                             "2026-12-07T12:60:00Z",
                             "2026-12-07T12:00:60Z",
                             "2026-12-07T12:00Z",
                             "2026-12-07 12:00:00Z",
                             "2026-12-07T12:00:00,5Z",
                             "2026-12-07T12:00:00.Z",
                             "2026-12-07T12:00:00.1234567890Z",
                             "2026-12-07T12:00:00+24:00",
                             "2026-12-07T12:00:00+0200",
                             "2026-12-07T12:00:00+02",
                             " 2026-12-07",
                             "2026-12-07Z",
                             "+2026-12-07",
                             "20261207",
                             "2026-W49-1",
                             "1796646122",
                             "now"}) {
        EXPECT_FALSE(time_text::instantOf(text)) << text;
    }
}

}  // namespace
