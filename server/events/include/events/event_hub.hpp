#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include <boost/json/object.hpp>

#include "events/events.hpp"

// Events: what clients following the server's work are told, as Server-Sent Events text. The
// hub keeps the latest events for clients that reconnect and hands each new one to every
// subscriber's own queue; it neither writes to sockets nor waits for anything, so the code that
// publishes after its commit never waits for a client.
namespace stratdesk::events {

struct HubLimits {
  std::size_t kept_events = 1024;            // kept for replay, at least 1,000
  std::size_t kept_bytes = 512u << 10;       // and no more text than this (the newest is kept)
  std::size_t max_subscribers = 64;          // streams open at once
  std::size_t max_pending_bytes = 1u << 20;  // waiting for one subscriber before it is dropped
};

class EventHub;

// One client's view of the hub: the event texts it has not written yet, oldest first. Owned by
// the stream that reads it; unsubscribes when destroyed. Not thread-safe: used on the thread
// that publishes.
class Subscription {
 public:
  Subscription(const Subscription&) = delete;
  Subscription& operator=(const Subscription&) = delete;
  ~Subscription();

  // Takes every waiting text, joined, and counts it as in flight until written() is called.
  std::string take();
  // The text taken last has reached the socket.
  void written();
  [[nodiscard]] bool has_pending() const { return !queue_.empty(); }
  // True once more than the limit was waiting: the queue is dropped and the stream must end.
  [[nodiscard]] bool overflowed() const { return overflowed_; }
  // Called after every event queued and when the subscription overflows. The stream uses it to
  // wake its writer; it must not publish.
  void on_change(std::function<void()> callback) { on_change_ = std::move(callback); }

 private:
  friend class EventHub;
  explicit Subscription(std::weak_ptr<EventHub> hub) : hub_(std::move(hub)) {}
  void push(const std::shared_ptr<const std::string>& text, std::size_t limit);

  std::weak_ptr<EventHub> hub_;
  std::deque<std::shared_ptr<const std::string>> queue_;
  std::size_t pending_bytes_ = 0;  // queued plus in flight
  std::size_t in_flight_ = 0;
  bool overflowed_ = false;
  std::function<void()> on_change_;
};

// The server-wide sequence of events. Ids start after `first_id - 1` and grow by one per
// published event. The server starts them at its start instant in microseconds, so that no id of
// an earlier run on the same data is ever reused: such an id is older than anything kept.
// Every member is called on the server's event-loop thread.
class EventHub final : public std::enable_shared_from_this<EventHub> {
 public:
  explicit EventHub(HubLimits limits = {}, std::int64_t first_id = 1);

  // Appends `event: <type>` with `data` as one line of JSON, and hands it to every subscriber.
  // Never waits and never throws for a slow subscriber; returns the event's id.
  std::int64_t publish(std::string_view type, const boost::json::object& data);
  // The same for one of the typed events of events.hpp.
  template <class Event>
  std::int64_t publish(const Event& event) {
    return publish(Event::type, event.to_json());
  }
  // Publishes a `reset`: too much changed at once to tell event by event, and every client
  // reads again what it follows. Its data names its own id as `last_id`.
  std::int64_t publish_reset();

  // A new subscription, nullptr when max_subscribers are open. With `last_event_id`, its queue
  // starts with every kept event after that id; when events after it are no longer kept (or
  // the id is beyond the newest or was given by an earlier run), with one `reset` event instead.
  // Id 0 stands for "saw nothing yet": every kept event of this run, if none was dropped.
  std::unique_ptr<Subscription> subscribe(std::optional<std::int64_t> last_event_id);

  [[nodiscard]] std::int64_t last_id() const { return next_id_ - 1; }
  [[nodiscard]] std::size_t subscriber_count() const { return subscribers_.size(); }

  // The Server-Sent Events text of one event.
  static std::string event_text(std::int64_t id, std::string_view type,
                                const boost::json::object& data);

 private:
  friend class Subscription;
  struct Kept {
    std::int64_t id;
    std::shared_ptr<const std::string> text;
  };
  void replay(Subscription& subscription, std::int64_t last_event_id) const;

  HubLimits limits_;
  std::int64_t first_id_;
  std::int64_t next_id_;
  std::deque<Kept> kept_;
  std::size_t kept_bytes_ = 0;
  std::unordered_set<Subscription*> subscribers_;
};

}  // namespace stratdesk::events
