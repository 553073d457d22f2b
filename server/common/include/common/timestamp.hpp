#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace stratdesk::common {

// The layout of every stored date-time: "%Y-%m-%d %H:%M:%S".
inline constexpr std::string_view timestamp_layout = "%Y-%m-%d %H:%M:%S";

// `instant` converted to the IANA zone `zone` and written in the timestamp layout.
// Throws std::runtime_error when the zone is unknown to the system's tz database.
std::string format_in_zone(std::chrono::system_clock::time_point instant, std::string_view zone);

// The current time in "Asia/Shanghai", in the timestamp layout: the stamp written into
// last_modified and run_at.
std::string shanghai_now();

// Seconds since the epoch, with fraction, from the wall clock.
double wall_clock_seconds();

}  // namespace stratdesk::common
