#include "events/event_hub.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace stratdesk::events {
namespace {

std::string text_of(std::int64_t id, const char* type, const boost::json::object& data) {
  return EventHub::event_text(id, type, data);
}

TEST(EventHub, KeepsTheLatestEventsAndResetsClientsThatMissedMore) {
  auto hub = std::make_shared<EventHub>(HubLimits{.kept_events = 3});
  EXPECT_EQ(hub->subscribe(0)->take(), "") << "nothing published yet, nothing missed";
  for (int n = 1; n <= 5; ++n) {
    EXPECT_EQ(hub->publish("feeds", {{"n", n}}), n);
  }
  EXPECT_EQ(hub->last_id(), 5);
  // Events 3 to 5 are kept: a client that saw 2 missed nothing that is gone.
  EXPECT_EQ(hub->subscribe(2)->take(), text_of(3, "feeds", {{"n", 3}}) +
                                           text_of(4, "feeds", {{"n", 4}}) +
                                           text_of(5, "feeds", {{"n", 5}}));
  EXPECT_EQ(hub->subscribe(5)->take(), "");
  EXPECT_EQ(hub->subscribe(1)->take(), text_of(5, "reset", {{"last_id", 5}}));
  EXPECT_EQ(hub->subscribe(6)->take(), text_of(5, "reset", {{"last_id", 5}}));
  // Without Last-Event-ID only live events.
  auto live = hub->subscribe(std::nullopt);
  EXPECT_FALSE(live->has_pending());
  hub->publish("deleted", {{"backtest_id", 9}});
  EXPECT_EQ(live->take(), "id: 6\nevent: deleted\ndata: {\"backtest_id\":9}\n\n");
}

TEST(EventHub, ASubscriberThatFallsTooFarBehindIsDroppedAloneAndItsPlaceFreed) {
  const boost::json::object data{{"text", std::string(60, 'x')}};
  const std::size_t size = EventHub::event_text(1, "feeds", data).size();
  // Room for three and a half events.
  auto hub = std::make_shared<EventHub>(
      HubLimits{.kept_events = 16, .max_subscribers = 2, .max_pending_bytes = size * 7 / 2});
  auto slow = hub->subscribe(std::nullopt);
  auto fast = hub->subscribe(std::nullopt);
  EXPECT_EQ(hub->subscribe(std::nullopt), nullptr) << "two places only";
  int slow_changes = 0;
  slow->on_change([&] { ++slow_changes; });

  for (int n = 0; n < 3; ++n) {
    hub->publish("feeds", data);
    EXPECT_FALSE(fast->take().empty());
    fast->written();
  }
  // In flight counts as waiting until written.
  const std::string in_flight = slow->take();
  EXPECT_FALSE(slow->overflowed());
  hub->publish("feeds", data);
  EXPECT_TRUE(slow->overflowed());
  EXPECT_FALSE(slow->has_pending());
  EXPECT_EQ(slow_changes, 4);
  EXPECT_FALSE(fast->overflowed());
  EXPECT_FALSE(fast->take().empty());

  slow.reset();
  EXPECT_EQ(hub->subscriber_count(), 1u);
  EXPECT_NE(hub->subscribe(std::nullopt), nullptr);
}

TEST(EventHub, IdsOfAnotherRunAndIdsAtTheEdgeOfTheRangeAreReset) {
  auto hub = std::make_shared<EventHub>(HubLimits{}, 1000);
  EXPECT_EQ(hub->subscribe(0)->take(), "") << "nothing published yet, nothing missed";
  EXPECT_EQ(hub->publish("feeds", {{"n", 1}}), 1000);
  EXPECT_EQ(hub->subscribe(0)->take(), text_of(1000, "feeds", {{"n", 1}}));
  EXPECT_EQ(hub->subscribe(999)->take(), text_of(1000, "feeds", {{"n", 1}}));
  const std::string reset = text_of(1000, "reset", {{"last_id", 1000}});
  for (std::int64_t other : {std::int64_t{1}, std::int64_t{998}, std::int64_t{1001},
                             std::numeric_limits<std::int64_t>::max(),
                             std::numeric_limits<std::int64_t>::min(), std::int64_t{-1}}) {
    EXPECT_EQ(hub->subscribe(other)->take(), reset) << other;
  }
}

TEST(EventHub, TheReplayWindowIsBoundedByBytesAsWellAsByCount) {
  const boost::json::object big{{"text", std::string(1000, 'x')}};
  const std::size_t size = EventHub::event_text(1, "feeds", big).size();
  auto hub = std::make_shared<EventHub>(HubLimits{.kept_events = 100, .kept_bytes = size * 3});
  for (int n = 1; n <= 5; ++n) {
    hub->publish("feeds", big);
  }
  // Three events fit: a client that saw 2 gets 3 to 5, one that saw 1 missed what is gone.
  EXPECT_EQ(hub->subscribe(2)->take(),
            text_of(3, "feeds", big) + text_of(4, "feeds", big) + text_of(5, "feeds", big));
  EXPECT_EQ(hub->subscribe(1)->take(), text_of(5, "reset", {{"last_id", 5}}));
  // An event larger than the whole bound is still kept, alone.
  const boost::json::object huge{{"text", std::string(size * 4, 'y')}};
  hub->publish("feeds", huge);
  EXPECT_EQ(hub->subscribe(5)->take(), text_of(6, "feeds", huge));
  EXPECT_EQ(hub->subscribe(4)->take(), text_of(6, "reset", {{"last_id", 6}}));
}

TEST(EventHub, ALiveResetReachesEveryStreamAndIsReplayedLikeAnyEvent) {
  auto hub = std::make_shared<EventHub>(HubLimits{}, 10);
  auto live = hub->subscribe(std::nullopt);
  hub->publish("feeds", {{"n", 1}});
  EXPECT_EQ(hub->publish_reset(), 11);
  const std::string reset = text_of(11, "reset", {{"last_id", 11}});
  EXPECT_EQ(live->take(), text_of(10, "feeds", {{"n", 1}}) + reset);
  EXPECT_EQ(hub->subscribe(10)->take(), reset);
  EXPECT_EQ(hub->subscribe(11)->take(), "");
}

TEST(EventHub, DataStaysOnOneLine) {
  const std::string text = EventHub::event_text(1, "log", {{"content", "two\nlines\r"}});
  EXPECT_EQ(text, "id: 1\nevent: log\ndata: {\"content\":\"two\\nlines\\r\"}\n\n");
}

}  // namespace
}  // namespace stratdesk::events
