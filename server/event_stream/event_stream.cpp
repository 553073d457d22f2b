#include "event_stream/event_stream.hpp"

#include <charconv>
#include <optional>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace stratdesk::event_stream {
namespace {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

// The id the client saw last. Text that is no id of ours (a reader cannot tell what it missed)
// counts as older than anything kept, so the client is told to reload.
std::optional<std::int64_t> last_event_id(const http::Request& request) {
  const auto& header = request.message();
  const auto found = header.find("Last-Event-ID");
  if (found == header.end()) {
    return std::nullopt;
  }
  const std::string_view text = found->value();
  std::int64_t id = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || id < 0) {
    return -1;
  }
  return id;
}

// Detaches the writer's callbacks from the subscription and the server, whose lifetimes are
// longer than the writer's frame the callbacks point into.
struct Detach {
  events::Subscription& subscription;
  asio::cancellation_slot shutdown;
  ~Detach() {
    subscription.on_change(nullptr);
    shutdown.clear();
  }
};

asio::awaitable<void> write_events(std::shared_ptr<events::Subscription> subscription,
                                   StreamTimings timings, http::StreamChannel& channel) {
  asio::steady_timer wake(co_await asio::this_coro::executor);
  bool shutting_down = false;
  Detach detach{*subscription, channel.shutdown_slot()};
  detach.shutdown.assign([&](asio::cancellation_type) {
    shutting_down = true;
    wake.cancel();
    channel.abort();
  });
  subscription->on_change([&] {
    // A client that stopped reading is dropped even in the middle of a write to it.
    if (subscription->overflowed()) {
      channel.abort();
    }
    wake.cancel();
  });

  if (!co_await channel.write("retry: " + std::to_string(timings.retry.count()) + "\n\n")) {
    co_return;
  }
  auto next_keep_alive = Clock::now() + timings.keep_alive;
  while (!shutting_down && !subscription->overflowed()) {
    if (subscription->has_pending()) {
      const std::string text = subscription->take();
      if (!co_await channel.write(text)) {
        co_return;
      }
      subscription->written();
      continue;
    }
    if (Clock::now() >= next_keep_alive) {
      if (!co_await channel.write(": keep-alive\n\n")) {
        co_return;
      }
      next_keep_alive = Clock::now() + timings.keep_alive;
      continue;
    }
    wake.expires_at(next_keep_alive);
    co_await wake.async_wait(asio::as_tuple(asio::use_awaitable));
  }
}

}  // namespace

asio::awaitable<http::Response> EventStream::get(http::Request& request) {
  std::shared_ptr<events::Subscription> subscription = hub_->subscribe(last_event_id(request));
  if (!subscription) {
    http::Response refused = http::Response::message(
        common::ErrorKind::unavailable, "too many event streams are open; try again later");
    // A place frees as soon as another stream ends; a browser's own retry comes sooner anyway.
    refused.headers.emplace_back("Retry-After", "5");
    co_return refused;
  }
  http::Response response = http::Response::json(nullptr);
  response.headers.emplace_back("Content-Type", "text/event-stream");
  response.headers.emplace_back("Cache-Control", "no-cache");
  response.stream = [subscription, timings = timings_](http::StreamChannel& channel) {
    return write_events(subscription, timings, channel);
  };
  co_return response;
}

asio::awaitable<http::Response> EventTicket::post(http::Request&) {
  co_return http::Response::json(
      {{"ticket", tickets_->issue()}, {"expires_in", http::StreamTickets::lifetime.count()}});
}

std::string stream_path(const std::string& base_uri) {
  return base_uri + "/events";
}

void register_api(http::Api& api, const std::string& base_uri,
                  std::shared_ptr<events::EventHub> hub,
                  std::shared_ptr<http::StreamTickets> tickets) {
  api.add<EventStream>(stream_path(base_uri), std::move(hub));
  api.add<EventTicket>(stream_path(base_uri) + "/ticket", std::move(tickets));
}

}  // namespace stratdesk::event_stream
