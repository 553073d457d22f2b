#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "db/connection.hpp"

// Every statement of the sweeps: the sweeps and sweep_runs tables, and what a sweep reads of its
// runs' backtests and results. Each function works on the connection it is handed and commits
// only where it says so.
namespace stratdesk::sweeps::store {

struct NewSweep {
  std::int64_t algorithm_id = 0;
  std::int64_t concurrency = 0;
  std::string objective;
  const std::string* comment = nullptr;  // none when null
  std::string config;
  std::string code;
  std::string created_at;
  std::vector<std::string> run_parameters;  // one JSON object text per run, in index order
};

// Stores the sweep, "running", with a pending run per entry of `run_parameters`, and the
// algorithm's `config` and `code` as a launch stores them; commits. Returns the sweep's id.
std::int64_t create(db::Connection& c, const NewSweep& sweep);

// The sweep's row (every column but config and code), or nullopt.
std::optional<db::Row> find(db::Connection& c, std::int64_t id);

// The algorithm's sweeps as find() gives them, newest first.
db::Rows of_algorithm(db::Connection& c, std::int64_t algorithm_id);

// One run of a sweep with what its backtest says of it.
struct Run {
  std::int64_t index = 0;
  std::string parameters;                   // its JSON object text
  std::optional<std::int64_t> backtest_id;  // none while pending
  // "executing" or "stopped" while its backtest row exists; none while pending, and "gone" when
  // its backtest was deleted on its own.
  std::optional<std::string> state;
  boost::json::value exception;  // the backtest's, null without one
  boost::json::value time_spent;
  std::optional<std::string> summary;  // its JSON object text, once computed
};

// The sweep's runs in index order.
std::vector<Run> runs_of(db::Connection& c, std::int64_t sweep_id);

// The ids of the sweeps in state "running", oldest first.
std::vector<std::int64_t> running(db::Connection& c);

// The launch settings of a sweep: its config and code texts, its algorithm, comment,
// concurrency and whether a stop was asked.
struct LaunchSettings {
  std::int64_t algorithm_id = 0;
  std::string config;
  std::string code;
  std::optional<std::string> comment;
  std::int64_t concurrency = 0;
  bool stop_requested = false;
};
std::optional<LaunchSettings> launch_settings(db::Connection& c, std::int64_t sweep_id);

// Links run `index` of the sweep to its launched backtest. Does not commit.
void link_run(db::Connection& c, std::int64_t sweep_id, std::int64_t index,
              std::int64_t backtest_id);

// Keeps the run's summary. Does not commit.
void store_summary(db::Connection& c, std::int64_t sweep_id, std::int64_t index,
                   const std::string& summary);

// Marks a stop asked; false when no sweep has that id. Does not commit.
bool request_stop(db::Connection& c, std::int64_t id);

// Sets the sweep's state. Does not commit.
void set_state(db::Connection& c, std::int64_t id, const std::string& state);

// What the engine last posted for a backtest: total_returns, annualized_returns and
// unit_net_value of its last own portfolio row; sharpe, sortino, information_ratio, volatility,
// max_drawdown, alpha and beta of its last risk row (null when absent); the number of its trade
// rows, and `time_spent`.
boost::json::object summary_of(db::Connection& c, std::int64_t backtest_id,
                               const boost::json::value& time_spent);

// The ids of the backtests the sweep launched, ascending.
std::vector<std::int64_t> backtests_of(db::Connection& c, std::int64_t sweep_id);

// Deletes the sweep's own rows (its backtests are deleted apart). Does not commit.
void delete_rows(db::Connection& c, std::int64_t sweep_id);

}  // namespace stratdesk::sweeps::store
