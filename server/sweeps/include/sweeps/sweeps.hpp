#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/json/object.hpp>

#include "backtest/backtest.hpp"
#include "db/read_pool.hpp"
#include "db/writer.hpp"
#include "events/event_hub.hpp"
#include "http/request.hpp"
#include "http/response.hpp"
#include "http/router.hpp"
#include "sweeps/store.hpp"
#include "tasks/task_group.hpp"

// Parameter sweeps: many backtests of one strategy over a grid of its parameters, launched a few
// at a time as places free up, ranked by an objective, and resumed after a restart.
namespace stratdesk::sweeps {

// A sweep as the routes answer it: its row, its runs counted by state, the estimated time left,
// and, with `with_runs`, every run and the ranking of the finished ones.
boost::json::object sweep_view(const db::Row& sweep, const std::vector<store::Run>& runs,
                               bool with_runs);

// The runs of one sweep counted by state: pending, executing, finished (ended with an empty
// exception), failed and stopped (by request).
boost::json::object counts_of(const std::vector<store::Run>& runs);

// "running" while a run is executing or may still start, then "stopped" when a stop was asked,
// else "finished".
std::string state_of(const std::vector<store::Run>& runs, bool stop_requested);

// Starts the sweeps' runs as places free up, records each ended run's summary and each sweep's
// end, and tells the hub. One task on the event loop; every write goes through the writer.
class Scheduler final : public std::enable_shared_from_this<Scheduler> {
 public:
  // `max_running`: the sweeps' executing runs together, at most.
  Scheduler(boost::asio::any_io_executor executor, backtest::Dependencies launches,
            std::int64_t max_running);

  // Starts the scheduling task in `tasks`; it keeps the scheduler alive until cancelled.
  void start(tasks::TaskGroup& tasks);
  // Looks at the sweeps again now instead of at the next pause's end.
  void wake();

  // The scheduling task: a pass, then a pause until woken or, while a sweep runs, a fifth of a
  // second. Failures are logged and retried; it ends only when cancelled.
  boost::asio::awaitable<void> run();

 private:
  // One look at every running sweep: summaries, stops, launches, ends. True when a sweep is
  // still running.
  boost::asio::awaitable<bool> pass();
  boost::asio::awaitable<void> advance(std::int64_t sweep_id, std::int64_t& executing_total);
  // Launches a pending run; false when its sweep was stopped or deleted meanwhile. A run whose
  // engine could not start is recorded failed and counts as launched.
  boost::asio::awaitable<bool> launch(std::int64_t sweep_id, const store::LaunchSettings& settings,
                                      store::Run& run);
  void publish(std::int64_t sweep_id, const std::vector<store::Run>& runs, bool stop_requested);

  boost::asio::any_io_executor executor_;
  backtest::Dependencies launches_;
  std::int64_t max_running_;
  boost::asio::steady_timer pause_;
  // Executing runs whose stop was handed to the engines already.
  std::set<std::int64_t> stops_sent_;
  bool woken_ = false;
};

// Mounts the sweeps' routes under `base_uri`:
// <base>/algorithms/<int:algorithm_id>/sweeps (GET, POST) and <base>/sweeps/<int:id> (GET,
// PATCH, DELETE). The scheduler is woken by launches and stops.
void register_api(http::Api& api, const std::string& base_uri, backtest::Dependencies deps,
                  std::shared_ptr<Scheduler> scheduler);

}  // namespace stratdesk::sweeps
