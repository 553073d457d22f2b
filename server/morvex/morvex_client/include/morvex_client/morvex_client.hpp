#pragma once

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

// The client of the local analytics service: one connection per request to 127.0.0.1, one frame
// each way (a 4-byte little-endian signed body length, then a UTF-8 JSON body).
namespace stratdesk::morvex_client {

inline constexpr unsigned short default_port = 10301;
inline constexpr std::chrono::milliseconds default_timeout = std::chrono::seconds(60);

// Where the service listens and how long it may take.
struct Settings {
  // The service's port on 127.0.0.1.
  unsigned short port = default_port;
  // The time one exchange may take, connection, request and answer together. A request that
  // outlives it fails and its connection is closed. Non-positive values are taken as 1 ms.
  std::chrono::milliseconds time_limit = default_timeout;
};

// A failed exchange. The message is written for the person looking at the dashboard: it says
// what went wrong with the service and where it was looked for.
class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// The client the host builds once and hands to the analytics resources.
class Client {
 public:
  explicit Client(Settings settings);

  // Sends `request` (its members in the caller's order, "cmd" first) and returns the parsed
  // answer. The body is written as Python's json.dumps writes it: ", " and ": " separators,
  // members in insertion order, everything outside ASCII escaped. Yields while it connects,
  // sends and reads, so other tasks go on meanwhile: the caller must hold no transaction open.
  // Throws Error on every failure; the connection is closed on every path before the call
  // returns.
  [[nodiscard]] boost::asio::awaitable<boost::json::value> do_request(
      boost::json::object request) const;

  [[nodiscard]] const Settings& settings() const { return settings_; }

 private:
  Settings settings_;
};

}  // namespace stratdesk::morvex_client
