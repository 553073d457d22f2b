#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace stratdesk::common {

// A calendar day and a time of day, as the stored timestamps and the front end write them:
// YYYY-MM-DD or YYYY-MM-DD HH:MM:SS, in a zone the text does not name.
struct DateTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;

  // The stored timestamp layout, YYYY-MM-DD HH:MM:SS.
  [[nodiscard]] std::string text() const;
  [[nodiscard]] DateTime with_hour(int new_hour) const;
  [[nodiscard]] DateTime with_time(int new_hour, int new_minute, int new_second) const;
  // The day, and the instant, on a clock of the text's own zone.
  [[nodiscard]] std::chrono::sys_days calendar_day() const;
  [[nodiscard]] std::chrono::sys_seconds instant() const;
};

// The date-time of `text` (time of day 00:00:00 when it is a bare date); nullopt unless `text`
// is exactly one of the two layouts and names a real calendar day and time.
std::optional<DateTime> parse_date_time(std::string_view text);

// The date `text` starts with, "YYYY-MM-DD" followed by anything; nullopt when it does not.
std::optional<DateTime> leading_date(std::string_view text);

}  // namespace stratdesk::common
