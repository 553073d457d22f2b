#pragma once

#include <chrono>
#include <memory>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "events/event_hub.hpp"
#include "http/request.hpp"
#include "http/response.hpp"
#include "http/router.hpp"
#include "http/stream_tickets.hpp"

// The event stream: the hub's events as a Server-Sent Events answer that stays open.
namespace stratdesk::event_stream {

struct StreamTimings {
  std::chrono::milliseconds keep_alive = std::chrono::seconds(15);
  std::chrono::milliseconds retry = std::chrono::seconds(2);
};

// GET <base>/events: 200 text/event-stream, "retry: <ms>" first, then the events replayed after
// the Last-Event-ID header (see EventHub::subscribe) and the live ones, with a ": keep-alive"
// comment whenever keep_alive passes. 503 with a message when the hub has no room for another
// subscriber. The stream ends when its client goes, when too much waits for it, or at shutdown.
class EventStream final {
 public:
  explicit EventStream(std::shared_ptr<events::EventHub> hub, StreamTimings timings = {})
      : hub_(std::move(hub)), timings_(timings) {}
  boost::asio::awaitable<http::Response> get(http::Request& request);

 private:
  std::shared_ptr<events::EventHub> hub_;
  StreamTimings timings_;
};

// POST <base>/events/ticket (with the access token, as every call): {"ticket", "expires_in"},
// a single-use ticket that opens the stream as GET <base>/events?ticket=<ticket> without the
// token, for a browser's EventSource, which cannot send headers.
class EventTicket final {
 public:
  explicit EventTicket(std::shared_ptr<http::StreamTickets> tickets)
      : tickets_(std::move(tickets)) {}
  boost::asio::awaitable<http::Response> post(http::Request& request);

 private:
  std::shared_ptr<http::StreamTickets> tickets_;
};

// The path the access policy admits with a ticket.
std::string stream_path(const std::string& base_uri);

// Mounts EventStream at stream_path(base_uri) and EventTicket beside it.
void register_api(http::Api& api, const std::string& base_uri,
                  std::shared_ptr<events::EventHub> hub,
                  std::shared_ptr<http::StreamTickets> tickets);

}  // namespace stratdesk::event_stream
