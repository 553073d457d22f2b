#include "sweeps/store.hpp"

#include <array>
#include <string_view>

#include "db/db.hpp"

namespace stratdesk::sweeps::store {
namespace {

namespace json = boost::json;

constexpr std::string_view sweep_columns =
    "id, algorithm_id, state, stop_requested, concurrency, objective, comment, created_at";

constexpr std::array<std::string_view, 3> portfolio_summary = {
    "total_returns", "annualized_returns", "unit_net_value"};
constexpr std::array<std::string_view, 7> risk_summary = {
    "sharpe", "sortino", "information_ratio", "volatility", "max_drawdown", "alpha", "beta"};

// The named columns of the row, null where the row or a value is missing.
void copy_columns(json::object& into, const std::optional<db::Row>& row,
                  std::span<const std::string_view> columns) {
  for (const std::string_view column : columns) {
    const json::value* value = row ? row->if_contains(column) : nullptr;
    into[column] = value != nullptr ? *value : json::value(nullptr);
  }
}

std::optional<db::Row> first(db::Rows rows) {
  if (rows.empty()) {
    return std::nullopt;
  }
  return std::move(rows.front());
}

}  // namespace

std::int64_t create(db::Connection& c, const NewSweep& sweep) {
  db::Transaction transaction(c);
  c.execute("UPDATE algorithms SET config = ?, code = ? WHERE algorithms.id = ?",
            {db::Value(sweep.config), db::Value(sweep.code), db::Value(sweep.algorithm_id)});
  c.execute(
      "INSERT INTO sweeps (algorithm_id, concurrency, objective, comment, config, code, "
      "created_at) VALUES (?, ?, ?, ?, ?, ?, ?)",
      {db::Value(sweep.algorithm_id), db::Value(sweep.concurrency), db::Value(sweep.objective),
       sweep.comment != nullptr ? db::Value(*sweep.comment) : db::Value(nullptr),
       db::Value(sweep.config), db::Value(sweep.code), db::Value(sweep.created_at)});
  const std::int64_t id = c.last_insert_rowid();
  db::Statement insert(c,
                       "INSERT INTO sweep_runs (sweep_id, run_index, parameters) VALUES (?, ?, ?)");
  for (std::size_t index = 0; index < sweep.run_parameters.size(); ++index) {
    insert.reset();
    insert.bind_integer(1, id);
    insert.bind_integer(2, static_cast<std::int64_t>(index));
    insert.bind_text(3, sweep.run_parameters[index]);
    insert.step();
  }
  transaction.commit();
  return id;
}

std::optional<db::Row> find(db::Connection& c, std::int64_t id) {
  return first(c.execute("SELECT " + std::string(sweep_columns) + " FROM sweeps WHERE id = ?",
                         {db::Value(id)}));
}

db::Rows of_algorithm(db::Connection& c, std::int64_t algorithm_id) {
  return c.execute("SELECT " + std::string(sweep_columns) +
                       " FROM sweeps WHERE algorithm_id = ? ORDER BY id DESC",
                   {db::Value(algorithm_id)});
}

std::vector<Run> runs_of(db::Connection& c, std::int64_t sweep_id) {
  const db::Rows rows = c.execute(
      "SELECT sweep_runs.run_index, sweep_runs.parameters, sweep_runs.backtest_id, "
      "sweep_runs.summary, backtests.id AS found, backtests.state, backtests.exception, "
      "backtests.time_spent FROM sweep_runs LEFT JOIN backtests ON backtests.id = "
      "sweep_runs.backtest_id WHERE sweep_runs.sweep_id = ? ORDER BY sweep_runs.run_index",
      {db::Value(sweep_id)});
  std::vector<Run> runs;
  runs.reserve(rows.size());
  for (const db::Row& row : rows) {
    Run run;
    run.index = row.at("run_index").as_int64();
    run.parameters = std::string(row.at("parameters").as_string());
    if (row.at("backtest_id").is_int64()) {
      run.backtest_id = row.at("backtest_id").as_int64();
      run.state = row.at("found").is_null()     ? std::string("gone")
                  : row.at("state").is_string() ? std::string(row.at("state").as_string())
                                                : std::string("stopped");
    }
    run.exception = row.at("exception");
    run.time_spent = row.at("time_spent");
    if (row.at("summary").is_string()) {
      run.summary = std::string(row.at("summary").as_string());
    }
    runs.push_back(std::move(run));
  }
  return runs;
}

std::vector<std::int64_t> running(db::Connection& c) {
  std::vector<std::int64_t> ids;
  for (const db::Row& row :
       c.execute("SELECT id FROM sweeps WHERE state = 'running' ORDER BY id")) {
    ids.push_back(row.at("id").as_int64());
  }
  return ids;
}

std::optional<LaunchSettings> launch_settings(db::Connection& c, std::int64_t sweep_id) {
  const auto row = first(c.execute(
      "SELECT algorithm_id, config, code, comment, concurrency, stop_requested FROM sweeps "
      "WHERE id = ?",
      {db::Value(sweep_id)}));
  if (!row) {
    return std::nullopt;
  }
  LaunchSettings settings;
  settings.algorithm_id = row->at("algorithm_id").as_int64();
  settings.config = std::string(row->at("config").as_string());
  settings.code = std::string(row->at("code").as_string());
  if (row->at("comment").is_string()) {
    settings.comment = std::string(row->at("comment").as_string());
  }
  settings.concurrency = row->at("concurrency").as_int64();
  settings.stop_requested = row->at("stop_requested").as_int64() != 0;
  return settings;
}

void link_run(db::Connection& c, std::int64_t sweep_id, std::int64_t index,
              std::int64_t backtest_id) {
  c.execute("UPDATE sweep_runs SET backtest_id = ? WHERE sweep_id = ? AND run_index = ?",
            {db::Value(backtest_id), db::Value(sweep_id), db::Value(index)});
}

void store_summary(db::Connection& c, std::int64_t sweep_id, std::int64_t index,
                   const std::string& summary) {
  c.execute("UPDATE sweep_runs SET summary = ? WHERE sweep_id = ? AND run_index = ?",
            {db::Value(summary), db::Value(sweep_id), db::Value(index)});
}

bool request_stop(db::Connection& c, std::int64_t id) {
  if (!find(c, id)) {
    return false;
  }
  c.execute("UPDATE sweeps SET stop_requested = 1 WHERE id = ?", {db::Value(id)});
  return true;
}

void set_state(db::Connection& c, std::int64_t id, const std::string& state) {
  c.execute("UPDATE sweeps SET state = ? WHERE id = ?", {db::Value(state), db::Value(id)});
}

json::object summary_of(db::Connection& c, std::int64_t backtest_id,
                        const json::value& time_spent) {
  json::object summary;
  copy_columns(summary,
               first(c.execute("SELECT total_returns, annualized_returns, unit_net_value FROM "
                               "portfolio_feeds WHERE backtest_id = ? AND is_benchmark = 0 "
                               "ORDER BY datetime DESC, id DESC LIMIT 1",
                               {db::Value(backtest_id)})),
               portfolio_summary);
  copy_columns(summary,
               first(c.execute("SELECT sharpe, sortino, information_ratio, volatility, "
                               "max_drawdown, alpha, beta FROM risk_feeds WHERE backtest_id = ? "
                               "ORDER BY datetime DESC, id DESC LIMIT 1",
                               {db::Value(backtest_id)})),
               risk_summary);
  summary["trades"] = c.execute("SELECT count(*) AS n FROM trade_feeds WHERE backtest_id = ?",
                                {db::Value(backtest_id)})
                          .front()
                          .at("n");
  summary["time_spent"] = time_spent;
  return summary;
}

std::vector<std::int64_t> backtests_of(db::Connection& c, std::int64_t sweep_id) {
  std::vector<std::int64_t> ids;
  for (const db::Row& row :
       c.execute("SELECT backtest_id FROM sweep_runs WHERE sweep_id = ? AND backtest_id IS NOT "
                 "NULL ORDER BY backtest_id",
                 {db::Value(sweep_id)})) {
    ids.push_back(row.at("backtest_id").as_int64());
  }
  return ids;
}

void delete_rows(db::Connection& c, std::int64_t sweep_id) {
  c.execute("DELETE FROM sweep_runs WHERE sweep_id = ?", {db::Value(sweep_id)});
  c.execute("DELETE FROM sweeps WHERE id = ?", {db::Value(sweep_id)});
}

}  // namespace stratdesk::sweeps::store
