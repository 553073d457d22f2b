#include "common/timestamp.hpp"

#include <date/tz.h>

namespace stratdesk::common {

std::string format_in_zone(std::chrono::system_clock::time_point instant, std::string_view zone) {
  const date::time_zone* tz = date::locate_zone(zone);
  const auto seconds = date::floor<std::chrono::seconds>(instant);
  return date::format(std::string(timestamp_layout), date::make_zoned(tz, seconds));
}

std::string shanghai_now() {
  return format_in_zone(std::chrono::system_clock::now(), "Asia/Shanghai");
}

double wall_clock_seconds() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(since_epoch).count();
}

}  // namespace stratdesk::common
