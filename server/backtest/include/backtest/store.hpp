#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <boost/json/value.hpp>

#include "db/connection.hpp"

// Every statement of the backtest module: the backtests table, and what a backtest reads of its
// algorithm's row and of its own portfolio rows. Each function works on the connection it is
// handed and commits only where it says so, so that it runs in a reader's or the writer's
// transaction and can be tested without HTTP.
namespace stratdesk::backtest::store {

// The algorithms row `id`, or nullopt.
std::optional<db::Row> algorithm(db::Connection& c, std::int64_t id);

// The backtest's latest portfolio row (benchmark rows included) with its datetime also under
// "order_key" first. Always one row: every value null when the backtest has no portfolio rows.
db::Row final_portfolio(db::Connection& c, std::int64_t backtest_id);

// The datetime of the backtest's latest own (not benchmark) portfolio row; null without one.
boost::json::value latest_own_portfolio_datetime(db::Connection& c,
                                                 const boost::json::value& algorithm_id,
                                                 std::int64_t backtest_id);

// The algorithm's backtests, every column.
db::Rows of_algorithm(db::Connection& c, std::int64_t algorithm_id);

// The backtest `id` of that algorithm, or nullopt.
std::optional<db::Row> find(db::Connection& c, std::int64_t algorithm_id, std::int64_t id);

// The backtest `id` whatever its algorithm, or nullopt.
std::optional<db::Row> find(db::Connection& c, std::int64_t id);

// Every backtest in `state` (compared as SQLite compares the bound value).
db::Rows in_state(db::Connection& c, const boost::json::value& state);

// The ids of the backtests that are "executing".
std::vector<std::int64_t> executing_ids(db::Connection& c);

// What the progress of backtest `id` is computed from: id, algorithm_id, state, exception,
// config, run_at and time_spent; nullopt when there is no such backtest.
std::optional<db::Row> progress_row(db::Connection& c, std::int64_t id);

// Updates the algorithm with the launch's configuration and code and inserts the backtest,
// "executing", in one transaction, which it commits. Returns the new backtest's id.
std::int64_t record_launch(db::Connection& c, std::int64_t algorithm_id,
                           const std::string& config_text, const std::string& code,
                           const std::string* comment, const std::string& run_at);

// Sets the backtest "stopped" with `exception`. Does not commit.
void set_stopped(db::Connection& c, std::int64_t id, const std::string& exception);

// Sets the comment of the backtest with both ids; none matching changes nothing. Does not
// commit.
void set_comment(db::Connection& c, std::int64_t algorithm_id, std::int64_t id,
                 const std::string& comment);

}  // namespace stratdesk::backtest::store
