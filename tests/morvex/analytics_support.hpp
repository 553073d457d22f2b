#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <boost/json/array.hpp>

#include "test_support.hpp"

// What the analytics tests share: a server data directory whose database exists before
// start-up (so nothing is seeded and the server starts at once), backtest rows written straight
// into the database, and feed rows posted the way engines post them.
namespace stratdesk::morvex_api::support {

// Creates `data_dir` with an empty database file in it; returns `data_dir`.
std::string prepared_data_dir(const std::string& data_dir);

// Inserts a finished backtest row; with `id` 0 SQLite picks the id (the largest plus one).
// Returns the row's id.
std::int64_t insert_backtest(const std::string& db_path, std::int64_t id, const std::string& config,
                             const std::string& run_at = "2017-06-01 10:00:00");
void delete_backtest(const std::string& db_path, std::int64_t id);

boost::json::array portfolio_row(std::int64_t backtest_id, const std::string& at, int is_benchmark,
                                 double cash, double total_value, double unit_net_value);
boost::json::array position_row(std::int64_t backtest_id, const std::string& at,
                                const std::string& order_book_id, double quantity,
                                double last_price, double avg_price);
boost::json::array trade_row(std::int64_t backtest_id, const std::string& at,
                             const std::string& order_book_id, const std::string& side,
                             double quantity, double price, const std::string& exec_id);

// POSTs the rows of each named feed kind in one feed-group request; fails the test unless 200.
void post_feeds(test::HttpClient& client,
                const std::vector<std::pair<std::string, boost::json::array>>& kinds);

}  // namespace stratdesk::morvex_api::support
