#include "cleanup/cleanup.hpp"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "db/db.hpp"
#include "log/log.hpp"

namespace stratdesk::cleanup {

boost::json::object refusal_map() {
  return boost::json::object{{"msg", running_refusal_message}};
}

UnknownBacktest::UnknownBacktest(std::int64_t backtest_id)
    : common::Error(common::ErrorKind::internal,
                    "backtest " + std::to_string(backtest_id) + " does not exist"),
      backtest_id_(backtest_id) {}

void delete_feeds(db::Connection& c, std::string_view table, std::int64_t backtest_id) {
  const auto& kinds = result_kinds::result_kinds;
  if (std::none_of(kinds.begin(), kinds.end(),
                   [table](const auto& kind) { return kind.table == table; })) {
    throw std::invalid_argument("'" + std::string(table) + "' is not a feed table");
  }
  const std::string name(table);
  c.execute("DELETE FROM " + name + " WHERE " + name + ".backtest_id = ?", {backtest_id});
}

std::optional<boost::json::object> delete_backtest(db::Connection& conn, std::int64_t backtest_id) {
  const db::Rows rows =
      conn.execute("SELECT * FROM backtests WHERE backtests.id = ?", {backtest_id});
  if (rows.empty()) {
    throw UnknownBacktest(backtest_id);
  }
  const boost::json::value* state = rows.front().if_contains("state");
  if (state != nullptr && state->is_string() && state->get_string() == "executing") {
    return refusal_map();
  }
  db::Transaction transaction(conn);
  for (const result_kinds::ResultKind& kind : result_kinds::result_kinds) {
    delete_feeds(conn, kind.table, backtest_id);
  }
  conn.execute("DELETE FROM backtests WHERE backtests.id = ?", {backtest_id});
  transaction.commit();
  return std::nullopt;
}

std::optional<boost::json::object> delete_algorithm(db::Connection& conn, std::int64_t algo_id,
                                                    std::vector<std::int64_t>& deleted_backtests) {
  // The index on algorithm_id already yields ascending ids; the ORDER BY makes that a promise.
  const db::Rows backtests = conn.execute(
      "SELECT id FROM backtests WHERE backtests.algorithm_id = ? ORDER BY id", {algo_id});
  for (const db::Row& backtest : backtests) {
    const std::int64_t backtest_id = backtest.at("id").as_int64();
    if (auto refusal = delete_backtest(conn, backtest_id)) {
      return refusal;
    }
    deleted_backtests.push_back(backtest_id);
  }
  db::Transaction transaction(conn);
  conn.execute("DELETE FROM algorithms WHERE algorithms.id = ?", {algo_id});
  transaction.commit();
  return std::nullopt;
}

void discard_strategy_folders(const std::string& strategy_dir,
                              std::span<const std::int64_t> backtest_ids) {
  if (strategy_dir.empty()) {
    return;
  }
  for (const std::int64_t backtest_id : backtest_ids) {
    std::error_code ec;
    const std::filesystem::path folder =
        std::filesystem::absolute(strategy_dir, ec) / std::to_string(backtest_id);
    if (!ec) {
      std::filesystem::remove_all(folder, ec);
    }
    if (ec) {
      log::logger().warning("cannot remove the strategy files of deleted backtest {}: {}: {}",
                            backtest_id, folder.string(), ec.message());
    }
  }
}

}  // namespace stratdesk::cleanup
