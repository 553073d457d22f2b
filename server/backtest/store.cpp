#include "backtest/store.hpp"

#include <utility>

#include "db/db.hpp"

namespace stratdesk::backtest::store {
namespace {

std::optional<db::Row> first_of(db::Rows rows) {
  if (rows.empty()) {
    return std::nullopt;
  }
  return std::move(rows.front());
}

}  // namespace

std::optional<db::Row> algorithm(db::Connection& c, std::int64_t id) {
  return first_of(c.execute("SELECT * FROM algorithms WHERE algorithms.id = ?", {id}));
}

db::Row final_portfolio(db::Connection& c, std::int64_t backtest_id) {
  // An aggregate without GROUP BY yields one row even over no rows, and SQLite takes the bare
  // columns from a row that holds the maximum.
  db::Rows rows = c.execute(
      "SELECT MAX(portfolio_feeds.datetime) AS order_key, * FROM portfolio_feeds "
      "WHERE portfolio_feeds.backtest_id = ?",
      {backtest_id});
  return std::move(rows.at(0));
}

boost::json::value latest_own_portfolio_datetime(db::Connection& c,
                                                 const boost::json::value& algorithm_id,
                                                 std::int64_t backtest_id) {
  // Descends the (algorithm_id, backtest_id, is_benchmark, datetime) index: one row read.
  const db::Rows rows = c.execute(
      "SELECT datetime FROM portfolio_feeds WHERE algorithm_id = ? AND backtest_id = ? AND "
      "is_benchmark = 0 ORDER BY datetime DESC LIMIT 1",
      {algorithm_id, db::Value(backtest_id)});
  return rows.empty() ? boost::json::value(nullptr) : rows.front().at("datetime");
}

db::Rows of_algorithm(db::Connection& c, std::int64_t algorithm_id) {
  return c.execute("SELECT * FROM backtests WHERE backtests.algorithm_id = ?",
                   {db::Value(algorithm_id)});
}

std::optional<db::Row> find(db::Connection& c, std::int64_t algorithm_id, std::int64_t id) {
  return first_of(
      c.execute("SELECT * FROM backtests WHERE backtests.algorithm_id = ? AND backtests.id = ?",
                {db::Value(algorithm_id), db::Value(id)}));
}

std::optional<db::Row> find(db::Connection& c, std::int64_t id) {
  return first_of(c.execute("SELECT * FROM backtests WHERE backtests.id = ?", {db::Value(id)}));
}

db::Rows in_state(db::Connection& c, const boost::json::value& state) {
  return c.execute("SELECT * FROM backtests WHERE backtests.state = ?", {state});
}

std::vector<std::int64_t> executing_ids(db::Connection& c) {
  std::vector<std::int64_t> ids;
  for (const db::Row& row :
       c.execute("SELECT id FROM backtests WHERE backtests.state = ?", {db::Value("executing")})) {
    ids.push_back(row.at("id").as_int64());
  }
  return ids;
}

std::optional<db::Row> progress_row(db::Connection& c, std::int64_t id) {
  return first_of(
      c.execute("SELECT id, algorithm_id, state, exception, config, run_at, time_spent FROM "
                "backtests WHERE backtests.id = ?",
                {db::Value(id)}));
}

std::int64_t record_launch(db::Connection& c, std::int64_t algorithm_id,
                           const std::string& config_text, const std::string& code,
                           const std::string* comment, const std::string& run_at) {
  db::Transaction record(c);
  c.execute("UPDATE algorithms SET config = ?, code = ? WHERE algorithms.id = ?",
            {db::Value(config_text), db::Value(code), db::Value(algorithm_id)});
  c.execute(
      "INSERT INTO backtests (algorithm_id, config, state, comment, time_spent, code, run_at) "
      "VALUES (?, ?, ?, ?, ?, ?, ?)",
      {db::Value(algorithm_id), db::Value(config_text), db::Value("executing"),
       db::Value(comment ? *comment : std::string()), db::Value(0), db::Value(code),
       db::Value(run_at)});
  const std::int64_t backtest_id = c.last_insert_rowid();
  record.commit();
  return backtest_id;
}

void set_stopped(db::Connection& c, std::int64_t id, const std::string& exception) {
  c.execute("UPDATE backtests SET state = ?, exception = ? WHERE backtests.id = ?",
            {db::Value("stopped"), db::Value(exception), db::Value(id)});
}

void set_comment(db::Connection& c, std::int64_t algorithm_id, std::int64_t id,
                 const std::string& comment) {
  c.execute(
      "UPDATE backtests SET comment = ? WHERE backtests.algorithm_id = ? AND backtests.id = ?",
      {db::Value(comment), db::Value(algorithm_id), db::Value(id)});
}

}  // namespace stratdesk::backtest::store
