#include "analytics_support.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include <boost/json/serialize.hpp>

#include "db/connection.hpp"

namespace stratdesk::morvex_api::support {

std::string prepared_data_dir(const std::string& data_dir) {
  std::filesystem::create_directories(data_dir);
  test::write_file(data_dir + "/stratdesk.db", "");
  return data_dir;
}

std::int64_t insert_backtest(const std::string& db_path, std::int64_t id, const std::string& config,
                             const std::string& run_at) {
  db::Connection connection(db_path);
  connection.execute(
      "INSERT INTO backtests (id, algorithm_id, config, state, run_at) VALUES (?, 1, ?, "
      "'stopped', ?)",
      {id == 0 ? db::Value(nullptr) : db::Value(id), db::Value(config), db::Value(run_at)});
  const std::int64_t inserted = connection.last_insert_rowid();
  connection.commit();
  return inserted;
}

void delete_backtest(const std::string& db_path, std::int64_t id) {
  db::Connection connection(db_path);
  connection.execute("DELETE FROM backtests WHERE id = ?", {id});
  connection.commit();
}

boost::json::array portfolio_row(std::int64_t backtest_id, const std::string& at, int is_benchmark,
                                 double cash, double total_value, double unit_net_value) {
  const double market_value = total_value - cash;
  return {1,           backtest_id, at,           is_benchmark,
          cash,        total_value, market_value, unit_net_value,
          total_value, 1.0,         0.0,          0.0,
          total_value, 0.0,         100000.0};
}

boost::json::array position_row(std::int64_t backtest_id, const std::string& at,
                                const std::string& order_book_id, double quantity,
                                double last_price, double avg_price) {
  const double market_value = quantity * last_price;
  return {1,         backtest_id,  at,  order_book_id, "STOCK",      quantity, last_price,
          avg_price, market_value, 0.0, 0.0,           0.0,          quantity, avg_price,
          0.0,       0.0,          0.0, 0.0,           market_value, 0.0,      0.0,
          0.0,       0.0,          0.0};
}

boost::json::array trade_row(std::int64_t backtest_id, const std::string& at,
                             const std::string& order_book_id, const std::string& side,
                             double quantity, double price, const std::string& exec_id) {
  const double cost = quantity * price * 0.0008;
  return {
      1,       backtest_id, at,       order_book_id, "o-" + exec_id, side, "POSITION_EFFECT.OPEN",
      exec_id, cost,        quantity, price,         cost,           0.0};
}

void post_feeds(test::HttpClient& client,
                const std::vector<std::pair<std::string, boost::json::array>>& kinds) {
  std::vector<std::pair<std::string, std::string>> fields;
  for (const auto& [kind, rows] : kinds) {
    fields.emplace_back(kind, boost::json::serialize(rows));
  }
  const test::HttpResponse response = client.post_form("/api/feedgroup", fields);
  ASSERT_EQ(response.status, 200) << response.body;
}

}  // namespace stratdesk::morvex_api::support
