#include "common/date_time.hpp"

#include <cstdio>

namespace stratdesk::common {
namespace {

bool is_leap(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int days_in_month(int year, int month) {
  static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap(year) ? 29 : days[month - 1];
}

// The decimal number of `text[at, at + width)`, or -1 when those are not all digits.
int digits(std::string_view text, std::size_t at, std::size_t width) {
  int value = 0;
  for (std::size_t i = at; i < at + width; ++i) {
    if (text[i] < '0' || text[i] > '9') {
      return -1;
    }
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace

std::string DateTime::text() const {
  char out[32];
  std::snprintf(out, sizeof out, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, minute,
                second);
  return out;
}

DateTime DateTime::with_hour(int new_hour) const {
  DateTime changed = *this;
  changed.hour = new_hour;
  return changed;
}

DateTime DateTime::with_time(int new_hour, int new_minute, int new_second) const {
  DateTime changed = *this;
  changed.hour = new_hour;
  changed.minute = new_minute;
  changed.second = new_second;
  return changed;
}

std::optional<DateTime> parse_date_time(std::string_view text) {
  if (text.size() != 10 && text.size() != 19) {
    return std::nullopt;
  }
  if (text[4] != '-' || text[7] != '-') {
    return std::nullopt;
  }
  DateTime parsed;
  parsed.year = digits(text, 0, 4);
  parsed.month = digits(text, 5, 2);
  parsed.day = digits(text, 8, 2);
  if (text.size() == 19) {
    if (text[10] != ' ' || text[13] != ':' || text[16] != ':') {
      return std::nullopt;
    }
    parsed.hour = digits(text, 11, 2);
    parsed.minute = digits(text, 14, 2);
    parsed.second = digits(text, 17, 2);
  }
  if (parsed.year < 1 || parsed.month < 1 || parsed.month > 12 || parsed.day < 1 ||
      parsed.day > days_in_month(parsed.year, parsed.month) || parsed.hour < 0 ||
      parsed.hour > 23 || parsed.minute < 0 || parsed.minute > 59 || parsed.second < 0 ||
      parsed.second > 59) {
    return std::nullopt;
  }
  return parsed;
}

std::chrono::sys_days DateTime::calendar_day() const {
  return std::chrono::sys_days(std::chrono::year_month_day(
      std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
      std::chrono::day(static_cast<unsigned>(day))));
}

std::chrono::sys_seconds DateTime::instant() const {
  return calendar_day() + std::chrono::hours(hour) + std::chrono::minutes(minute) +
         std::chrono::seconds(second);
}

std::optional<DateTime> leading_date(std::string_view text) {
  return text.size() < 10 ? std::nullopt : parse_date_time(text.substr(0, 10));
}

}  // namespace stratdesk::common
