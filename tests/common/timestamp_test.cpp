#include "common/timestamp.hpp"

#include "common/date_time.hpp"

#include <gtest/gtest.h>

#include <date/date.h>

namespace stratdesk::common {
namespace {

std::chrono::system_clock::time_point utc(int y, unsigned m, unsigned d, int hh, int mm, int ss) {
  return date::sys_days{date::year{y} / m / d} + std::chrono::hours(hh) + std::chrono::minutes(mm) +
         std::chrono::seconds(ss);
}

TEST(Timestamp, ShanghaiIsUtcPlusEightWithTheShanghaiDate) {
  EXPECT_EQ(format_in_zone(utc(2017, 3, 1, 1, 30, 0), "Asia/Shanghai"), "2017-03-01 09:30:00");
  EXPECT_EQ(format_in_zone(utc(2016, 12, 31, 20, 5, 9), "Asia/Shanghai"), "2017-01-01 04:05:09");
  // No daylight saving: summer and winter stamps differ by exactly eight hours from UTC.
  EXPECT_EQ(format_in_zone(utc(2020, 7, 1, 0, 0, 0), "Asia/Shanghai"), "2020-07-01 08:00:00");
}

TEST(Timestamp, FractionsOfASecondAreDropped) {
  const auto instant = utc(2017, 3, 1, 8, 5, 9) + std::chrono::milliseconds(999);
  EXPECT_EQ(format_in_zone(instant, "UTC"), "2017-03-01 08:05:09");
}

TEST(Timestamp, UnknownZoneIsAnError) {
  EXPECT_THROW(format_in_zone(std::chrono::system_clock::now(), "Mars/Olympus"),
               std::runtime_error);
}

TEST(Timestamp, NowHasTheStoredLayout) {
  const std::string now = shanghai_now();
  ASSERT_EQ(now.size(), 19u);
  EXPECT_EQ(now[4], '-');
  EXPECT_EQ(now[10], ' ');
  EXPECT_EQ(now[16], ':');
}

TEST(DateTime, OnlyTheTwoLayoutsOfARealDayAndTimeAreRead) {
  const auto noon = parse_date_time("2024-02-29 12:30:05");
  ASSERT_TRUE(noon);
  EXPECT_EQ(noon->text(), "2024-02-29 12:30:05");
  EXPECT_EQ(parse_date_time("2024-02-29")->text(), "2024-02-29 00:00:00");
  for (const char* bad : {"2023-02-29", "2024-13-01", "2024-01-01 24:00:00", "2024-01-01T12:00:00",
                          "2024-01-01 12:00", "2024-1-01", "-024-01-01", "2024-01-01 "}) {
    EXPECT_FALSE(parse_date_time(bad)) << bad;
  }
  EXPECT_EQ(leading_date("2024-03-01T09:30:00+08:00")->text(), "2024-03-01 00:00:00");
  EXPECT_FALSE(leading_date("2024-03"));
  // Two stamps of one zone differ by their wall-clock difference, across a leap day.
  EXPECT_EQ(parse_date_time("2024-03-01 00:00:01")->instant() -
                parse_date_time("2024-02-28 23:59:59")->instant(),
            std::chrono::hours(24) + std::chrono::seconds(2));
}

}  // namespace
}  // namespace stratdesk::common
