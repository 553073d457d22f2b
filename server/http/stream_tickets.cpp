#include "http/stream_tickets.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>

namespace stratdesk::http {

std::string StreamTickets::issue(Clock::time_point now) {
  // random_device reads the system's entropy source; a ticket must not be guessable.
  std::random_device entropy;
  constexpr std::string_view hex_digits = "0123456789abcdef";
  std::string ticket;
  for (int word = 0; word < 4; ++word) {
    std::uint32_t bits = entropy();
    for (int digit = 0; digit < 8; ++digit, bits >>= 4) {
      ticket.push_back(hex_digits[bits & 0x0f]);
    }
  }
  const std::lock_guard lock(mutex_);
  drop_expired(now);
  if (expiry_.size() >= max_outstanding) {
    const auto oldest =
        std::min_element(expiry_.begin(), expiry_.end(),
                         [](const auto& a, const auto& b) { return a.second < b.second; });
    expiry_.erase(oldest);
  }
  expiry_.emplace(ticket, now + lifetime);
  return ticket;
}

bool StreamTickets::redeem(std::string_view ticket, Clock::time_point now) {
  const std::lock_guard lock(mutex_);
  const auto found = expiry_.find(ticket);
  if (found == expiry_.end()) {
    return false;
  }
  const bool valid = now < found->second;
  expiry_.erase(found);
  return valid;
}

void StreamTickets::drop_expired(Clock::time_point now) {
  std::erase_if(expiry_, [now](const auto& entry) { return entry.second <= now; });
}

}  // namespace stratdesk::http
