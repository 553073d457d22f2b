#include "events/event_hub.hpp"

#include <vector>

#include "common/json_text.hpp"

namespace stratdesk::events {

Subscription::~Subscription() {
  if (auto hub = hub_.lock()) {
    hub->subscribers_.erase(this);
  }
}

void Subscription::push(const std::shared_ptr<const std::string>& text, std::size_t limit) {
  if (overflowed_) {
    return;
  }
  pending_bytes_ += text->size();
  if (pending_bytes_ > limit) {
    overflowed_ = true;
    queue_.clear();
  } else {
    queue_.push_back(text);
  }
  if (on_change_) {
    on_change_();
  }
}

std::string Subscription::take() {
  std::string out;
  for (const auto& text : queue_) {
    out += *text;
  }
  queue_.clear();
  in_flight_ += out.size();
  return out;
}

void Subscription::written() {
  pending_bytes_ -= in_flight_;
  in_flight_ = 0;
}

EventHub::EventHub(HubLimits limits, std::int64_t first_id)
    : limits_(limits), first_id_(first_id), next_id_(first_id) {}

std::string EventHub::event_text(std::int64_t id, std::string_view type,
                                 const boost::json::object& data) {
  std::string text = "id: " + std::to_string(id) + "\nevent: ";
  text += type;
  text += "\ndata: ";
  // JSON text escapes line breaks inside strings, so the data stays one line.
  text += common::to_json_text(data);
  text += "\n\n";
  return text;
}

std::int64_t EventHub::publish(std::string_view type, const boost::json::object& data) {
  const std::int64_t id = next_id_++;
  auto text = std::make_shared<const std::string>(event_text(id, type, data));
  kept_.push_back({id, text});
  kept_bytes_ += text->size();
  while (kept_.size() > 1 &&
         (kept_.size() > limits_.kept_events || kept_bytes_ > limits_.kept_bytes)) {
    kept_bytes_ -= kept_.front().text->size();
    kept_.pop_front();
  }
  // A callback may end its stream's subscription; iterate over a copy.
  const std::vector<Subscription*> subscribers(subscribers_.begin(), subscribers_.end());
  for (Subscription* subscriber : subscribers) {
    if (subscribers_.contains(subscriber)) {
      subscriber->push(text, limits_.max_pending_bytes);
    }
  }
  return id;
}

std::int64_t EventHub::publish_reset() {
  return publish(ResetEvent{next_id_});
}

std::unique_ptr<Subscription> EventHub::subscribe(std::optional<std::int64_t> last_event_id) {
  if (subscribers_.size() >= limits_.max_subscribers) {
    return nullptr;
  }
  std::unique_ptr<Subscription> subscription(new Subscription(weak_from_this()));
  if (last_event_id) {
    replay(*subscription, *last_event_id);
  }
  subscribers_.insert(subscription.get());
  return subscription;
}

void EventHub::replay(Subscription& subscription, std::int64_t last_event_id) const {
  const std::int64_t oldest_kept = kept_.empty() ? next_id_ : kept_.front().id;
  const std::int64_t seen = last_event_id == 0 ? first_id_ - 1 : last_event_id;
  // Compared without adding to the client's id, which may be as large as an int64 goes.
  if (seen < oldest_kept - 1 || seen > last_id()) {
    // The reset carries the newest id, so a client that reconnects after it is not reset again.
    subscription.push(std::make_shared<const std::string>(
                          event_text(last_id(), ResetEvent::type, ResetEvent{last_id()}.to_json())),
                      limits_.max_pending_bytes);
    return;
  }
  for (const Kept& event : kept_) {
    if (event.id > seen) {
      subscription.push(event.text, limits_.max_pending_bytes);
    }
  }
}

}  // namespace stratdesk::events
