#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace stratdesk::http {

// Short-lived, single-use passes for a stream: a browser's EventSource cannot send the
// Authorization header, so a page that holds the token trades it for a ticket it may put in the
// URL. The token itself is never accepted in a URL, where logs and histories keep it.
class StreamTickets {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds lifetime{30};

  // A new ticket, valid for `lifetime` from `now`: 128 random bits in hex.
  std::string issue(Clock::time_point now = Clock::now());
  // True once for a ticket issued less than `lifetime` before `now`; the ticket is spent.
  bool redeem(std::string_view ticket, Clock::time_point now = Clock::now());

 private:
  // Unredeemed tickets a burst of requests may leave; the oldest go first past it.
  static constexpr std::size_t max_outstanding = 1024;
  void drop_expired(Clock::time_point now);

  std::mutex mutex_;
  std::map<std::string, Clock::time_point, std::less<>> expiry_;
};

}  // namespace stratdesk::http
