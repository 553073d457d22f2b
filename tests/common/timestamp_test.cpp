#include "common/timestamp.hpp"

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

}  // namespace
}  // namespace stratdesk::common
