#include <list>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "api/queries.hpp"
#include "common/error.hpp"
#include "common/json_parse.hpp"
#include "common/json_text.hpp"
#include "morvex_client/morvex_client.hpp"

namespace stratdesk::morvex_api {
namespace {

namespace asio = boost::asio;

constexpr std::string_view default_benchmark = "000300.XSHG";

}  // namespace

// Overviews by backtest id, most recently used first. Each entry remembers the configuration
// text it was built from: the overview is a function of that text alone, so an entry whose text
// still matches the row is right whatever happened to the row meanwhile, and one that does not
// match belongs to a deleted backtest whose id has been taken again. Used by the reads of
// several threads at once.
class OverviewCache {
 public:
  static constexpr std::size_t capacity = 32;

  std::optional<boost::json::object> find(std::int64_t id, std::string_view config) {
    const std::lock_guard lock(mutex_);
    const auto found = index_.find(id);
    if (found == index_.end()) {
      return std::nullopt;
    }
    if (found->second->config != config) {
      entries_.erase(found->second);
      index_.erase(found);
      return std::nullopt;
    }
    entries_.splice(entries_.begin(), entries_, found->second);
    return found->second->overview;
  }

  void put(std::int64_t id, std::string config, boost::json::object overview) {
    const std::lock_guard lock(mutex_);
    drop_entry(id);
    entries_.push_front({id, std::move(config), std::move(overview)});
    index_[id] = entries_.begin();
    if (entries_.size() > capacity) {
      index_.erase(entries_.back().id);
      entries_.pop_back();
    }
  }

  void drop(std::int64_t id) {
    const std::lock_guard lock(mutex_);
    drop_entry(id);
  }

 private:
  void drop_entry(std::int64_t id) {
    if (const auto found = index_.find(id); found != index_.end()) {
      entries_.erase(found->second);
      index_.erase(found);
    }
  }

  struct Entry {
    std::int64_t id;
    std::string config;
    boost::json::object overview;
  };
  std::mutex mutex_;
  std::list<Entry> entries_;
  std::unordered_map<std::int64_t, std::list<Entry>::iterator> index_;
};

namespace {

[[noreturn]] void no_such_backtest(std::int64_t backtest_id) {
  throw common::Error(common::ErrorKind::internal,
                      "backtest " + std::to_string(backtest_id) + " does not exist");
}

// The stored configuration text of the backtest; throws when there is no such backtest.
std::string config_text(db::Connection& connection, std::int64_t backtest_id) {
  db::Rows rows = connection.execute("SELECT config FROM backtests WHERE id = ?", {backtest_id});
  if (rows.empty()) {
    no_such_backtest(backtest_id);
  }
  const boost::json::value& config = rows.front().at("config");
  if (!config.is_string()) {
    throw common::Error(common::ErrorKind::internal,
                        "backtest " + std::to_string(backtest_id) + " has no configuration");
  }
  return std::string(config.get_string());
}

boost::json::object parse_config(std::int64_t backtest_id, const std::string& text) {
  boost::system::error_code ec;
  boost::json::value config = common::parse_json(text, ec);
  if (ec || !config.is_object()) {
    throw common::Error(
        common::ErrorKind::internal,
        "the configuration of backtest " + std::to_string(backtest_id) + " is not a JSON object");
  }
  return std::move(config.get_object());
}

db::Rows series(db::Connection& connection, std::int64_t backtest_id,
                const std::optional<DateTime>& start, const std::optional<DateTime>& end,
                int is_benchmark) {
  Query q{"SELECT datetime, unit_net_value FROM portfolio_feeds WHERE backtest_id = ?",
          {backtest_id}};
  if (start) {
    q.sql += " AND datetime >= ?";
    q.params.emplace_back(start->with_hour(0).text());
  }
  if (end) {
    q.sql += " AND datetime <= ?";
    q.params.emplace_back(end->with_hour(23).text());
  }
  q.sql += " AND is_benchmark = ? ORDER BY datetime ASC";
  q.params.emplace_back(is_benchmark);
  return execute_query(connection, q);
}

std::string cmd_of(const boost::json::object& request) {
  const boost::json::value* cmd = request.if_contains("cmd");
  return cmd != nullptr && cmd->is_string() ? std::string(cmd->get_string()) : "a request";
}

}  // namespace

Analytics::Analytics(const morvex_client::Client& client)
    : client_(client), overview_cache_(std::make_unique<OverviewCache>()) {}

Analytics::~Analytics() = default;

asio::awaitable<const boost::json::object*> Analytics::symbol_map() {
  if (!order_book_id_symbol_map_ || order_book_id_symbol_map_->empty()) {
    // Two requests may both find the map empty and both fetch it; the later answer stays.
    boost::json::object request{{"cmd", "get_id_symbol_map"}};
    boost::json::object answer = co_await ask_service(std::move(request));
    order_book_id_symbol_map_ = std::move(answer);
  }
  co_return &*order_book_id_symbol_map_;
}

db::Rows execute_query(db::Connection& connection, const Query& q) {
  return connection.execute(q.sql, q.params);
}

asio::awaitable<boost::json::object> Analytics::ask_service(boost::json::object request) {
  const std::string cmd = cmd_of(request);
  boost::json::value answer;
  try {
    answer = co_await client_.do_request(std::move(request));
  } catch (const morvex_client::Error& error) {
    throw common::Error(common::ErrorKind::internal, error.what());
  }
  if (!answer.is_object()) {
    throw common::Error(
        common::ErrorKind::internal,
        "the analytics service answered " + cmd + " with something other than a JSON object");
  }
  // The service refuses a request with an object carrying "error". Handing that on with status
  // 200 would show the dashboard an empty analysis as if it had succeeded, and would fill the
  // symbol map with a refusal that is never fetched again.
  if (const boost::json::value* refusal = answer.get_object().if_contains("error");
      refusal != nullptr && !refusal->is_null()) {
    throw common::Error(common::ErrorKind::internal,
                        "the analytics service could not answer " + cmd + ": " +
                            (refusal->is_string() ? std::string(refusal->get_string())
                                                  : common::to_json_text(*refusal)));
  }
  co_return std::move(answer.get_object());
}

asio::awaitable<boost::json::value> Analytics::symbol_for(std::string order_book_id) {
  const boost::json::object* map = co_await symbol_map();
  const boost::json::value* symbol = map->if_contains(order_book_id);
  if (symbol == nullptr) {
    throw common::Error(common::ErrorKind::internal,
                        "the analytics service knows no symbol for '" + order_book_id + "'");
  }
  co_return *symbol;
}

asio::awaitable<bool> Analytics::is_stock(std::string order_book_id) {
  const boost::json::object* map = co_await symbol_map();
  co_return map->contains(order_book_id);
}

boost::json::object Analytics::_get_overview(db::Connection& connection, std::int64_t backtest_id) {
  std::string text;
  try {
    text = config_text(connection, backtest_id);
  } catch (...) {
    overview_cache_->drop(backtest_id);
    throw;
  }
  if (std::optional<boost::json::object> cached = overview_cache_->find(backtest_id, text)) {
    return std::move(*cached);
  }
  const boost::json::object config = parse_config(backtest_id, text);
  boost::json::object overview;
  for (const auto& [key, name] :
       {std::pair{"backtest_start_date", "start_date"}, std::pair{"backtest_end_date", "end_date"},
        std::pair{"starting_cash", "stock_starting_cash"}}) {
    const boost::json::value* value = config.if_contains(name);
    if (value == nullptr) {
      throw common::Error(common::ErrorKind::internal, "the configuration of backtest " +
                                                           std::to_string(backtest_id) +
                                                           " has no '" + name + "'");
    }
    overview[key] = *value;
  }
  overview_cache_->put(backtest_id, std::move(text), overview);
  return overview;
}

db::Rows _get_portfolio_series(db::Connection& connection, std::int64_t backtest_id,
                               const std::optional<DateTime>& start,
                               const std::optional<DateTime>& end) {
  return series(connection, backtest_id, start, end, 0);
}

db::Rows _get_benchmark_series(db::Connection& connection, std::int64_t backtest_id,
                               const std::optional<DateTime>& start,
                               const std::optional<DateTime>& end) {
  return series(connection, backtest_id, start, end, 1);
}

std::optional<std::string> get_latest_date_for(db::Connection& connection, std::int64_t backtest_id,
                                               const std::optional<DateTime>& date) {
  const Query q =
      date ? Query{"SELECT datetime FROM portfolio_feeds WHERE backtest_id = ? AND datetime <= ? "
                   "ORDER BY datetime DESC LIMIT 1",
                   {backtest_id, db::Value(date->with_time(23, 59, 59).text())}}
           : Query{"SELECT MAX(datetime) AS datetime FROM portfolio_feeds WHERE backtest_id = ?",
                   {backtest_id}};
  const db::Rows rows = execute_query(connection, q);
  if (rows.empty() || rows.front().at("datetime").is_null()) {
    return std::nullopt;
  }
  const boost::json::value& latest = rows.front().at("datetime");
  if (!latest.is_string()) {
    throw common::Error(common::ErrorKind::internal,
                        "backtest " + std::to_string(backtest_id) +
                            " has a portfolio row whose time is not a timestamp");
  }
  return std::string(latest.get_string());
}

db::Rows _get_positions_for(db::Connection& connection, std::int64_t backtest_id,
                            const std::string& timestamp) {
  return execute_query(
      connection,
      {"SELECT datetime, order_book_id, quantity, last_price, avg_price, market_value FROM "
       "position_feeds WHERE backtest_id = ? AND datetime = ? AND quantity != 0",
       {backtest_id, db::Value(timestamp)}});
}

boost::json::value _get_benchmark_for(db::Connection& connection, std::int64_t backtest_id) {
  const boost::json::object config =
      parse_config(backtest_id, config_text(connection, backtest_id));
  if (const boost::json::value* benchmark = config.if_contains("benchmark")) {
    return *benchmark;
  }
  return boost::json::string(default_benchmark);
}

std::vector<std::string> _get_dates_for(db::Connection& connection, std::int64_t backtest_id,
                                        const std::optional<DateTime>& start,
                                        const std::optional<DateTime>& end) {
  Query q{"SELECT datetime FROM portfolio_feeds WHERE backtest_id = ? AND is_benchmark = 0",
          {backtest_id}};
  if (start) {
    q.sql += " AND datetime >= ?";
    q.params.emplace_back(start->text());
  }
  if (end) {
    q.sql += " AND datetime <= ?";
    q.params.emplace_back(end->with_hour(23).text());
  }
  std::vector<std::string> dates;
  for (const db::Row& row : execute_query(connection, q)) {
    const boost::json::value& at = row.at("datetime");
    if (at.is_string()) {
      dates.emplace_back(at.get_string());
    }
  }
  return dates;
}

db::Rows trades_of(db::Connection& connection, std::int64_t backtest_id) {
  return connection.execute(
      "SELECT datetime, order_book_id, side, transaction_cost, last_price, last_quantity FROM "
      "trade_feeds WHERE backtest_id = ? ORDER BY datetime ASC",
      {backtest_id});
}

db::Rows traded_instruments(db::Connection& connection, std::int64_t backtest_id) {
  return connection.execute("SELECT order_book_id FROM trade_feeds WHERE backtest_id = ?",
                            {backtest_id});
}

db::Rows totals_at(db::Connection& connection, std::int64_t backtest_id,
                   const std::string& timestamp) {
  return connection.execute(
      "SELECT cash, total_value FROM portfolio_feeds WHERE backtest_id = ? AND datetime = ? AND "
      "is_benchmark = 0",
      {backtest_id, db::Value(timestamp)});
}

namespace {

// `q` limited to whole days from `start` to `end`, in time order.
db::Rows within_days(db::Connection& connection, Query q, const std::optional<DateTime>& start,
                     const std::optional<DateTime>& end) {
  if (start) {
    q.sql += " AND datetime >= ?";
    q.params.emplace_back(start->with_time(0, 0, 0).text());
  }
  if (end) {
    q.sql += " AND datetime <= ?";
    q.params.emplace_back(end->with_time(23, 59, 59).text());
  }
  q.sql += " ORDER BY datetime ASC";
  return execute_query(connection, q);
}

}  // namespace

db::Rows brinson_portfolio(db::Connection& connection, std::int64_t backtest_id,
                           const std::optional<DateTime>& start,
                           const std::optional<DateTime>& end) {
  return within_days(connection,
                     {"SELECT datetime, total_value AS market_value, cash FROM portfolio_feeds "
                      "WHERE backtest_id = ? AND is_benchmark = 0",
                      {backtest_id}},
                     start, end);
}

db::Rows brinson_holdings(db::Connection& connection, std::int64_t backtest_id,
                          const std::optional<DateTime>& start,
                          const std::optional<DateTime>& end) {
  return within_days(connection,
                     {"SELECT datetime, order_book_id, quantity, market_value FROM position_feeds "
                      "WHERE backtest_id = ? AND quantity != 0",
                      {backtest_id}},
                     start, end);
}

}  // namespace stratdesk::morvex_api
