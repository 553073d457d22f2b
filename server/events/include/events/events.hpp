#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

// The events the stream carries, one type each, with the data they are written with. Every
// publisher builds its event here, so each type has one shape; the API document's schemas
// describe the same shapes.
namespace stratdesk::events {

// A backtest was launched ("executing") or marked stopped, whichever way.
struct BacktestEvent {
  static constexpr std::string_view type = "backtest";
  std::int64_t id = 0;
  boost::json::value algorithm_id;
  boost::json::value state;
  boost::json::value exception;

  [[nodiscard]] boost::json::object to_json() const {
    return {{"id", id}, {"algorithm_id", algorithm_id}, {"state", state}, {"exception", exception}};
  }
};

// A feed POST committed rows of one backtest: the greatest id stored per kind table.
struct FeedsEvent {
  static constexpr std::string_view type = "feeds";
  std::int64_t algorithm_id = 0;
  std::int64_t backtest_id = 0;
  boost::json::object last_ids;

  [[nodiscard]] boost::json::object to_json() const {
    return {{"algorithm_id", algorithm_id}, {"backtest_id", backtest_id}, {"last_ids", last_ids}};
  }
};

// A running backtest's simulated time moved: its progress object.
struct ProgressEvent {
  static constexpr std::string_view type = "progress";
  boost::json::object progress;

  [[nodiscard]] const boost::json::object& to_json() const { return progress; }
};

// A run of a sweep started or ended, or the sweep ended: its state and its runs counted by
// state.
struct SweepEvent {
  static constexpr std::string_view type = "sweep";
  std::int64_t id = 0;
  std::string state;
  boost::json::object counts;

  [[nodiscard]] boost::json::object to_json() const {
    return {{"id", id}, {"state", state}, {"counts", counts}};
  }
};

// A deletion was committed: a backtest's.
struct BacktestDeletedEvent {
  static constexpr std::string_view type = "deleted";
  std::int64_t backtest_id = 0;

  [[nodiscard]] boost::json::object to_json() const { return {{"backtest_id", backtest_id}}; }
};

// A deletion was committed: an algorithm's (after each of its backtests').
struct AlgorithmDeletedEvent {
  static constexpr std::string_view type = "deleted";
  std::int64_t algorithm_id = 0;

  [[nodiscard]] boost::json::object to_json() const { return {{"algorithm_id", algorithm_id}}; }
};

// Read again what you follow; `last_id` is the newest id when it is sent.
struct ResetEvent {
  static constexpr std::string_view type = "reset";
  std::int64_t last_id = 0;

  [[nodiscard]] boost::json::object to_json() const { return {{"last_id", last_id}}; }
};

}  // namespace stratdesk::events
