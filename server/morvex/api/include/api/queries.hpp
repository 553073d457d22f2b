#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "common/date_time.hpp"
#include "db/connection.hpp"
#include "http/request.hpp"
#include "morvex_client/morvex_client.hpp"

// Portfolio analytics: the queries over a backtest's feed rows that the analytics resources are
// built from, and the two pieces of state they share (the symbol map and the overview cache).
namespace stratdesk::morvex_api {

using common::DateTime;

// Query parameter `name` when given: nullopt when absent or empty.
std::optional<std::string> text_parameter(http::Request& request, std::string_view name);
// Query parameter `name` as a date-time when given; throws common::Error (bad_request) naming the
// parameter when its value is not a date-time.
std::optional<DateTime> date_parameter(http::Request& request, std::string_view name);

// The day part of a timestamp text: everything before its first space.
std::string day_of(std::string_view timestamp);

// A statement and its values in placeholder order.
struct Query {
  std::string sql;
  std::vector<db::Value> params;
};

// Every row of `q`, as row maps.
db::Rows execute_query(db::Connection& connection, const Query& q);

class OverviewCache;

// What the analytics resources share: the service's client, the identifier-to-symbol map and
// the overview cache. Built once by the host's wiring; lives on the I/O thread only.
class Analytics {
 public:
  explicit Analytics(const morvex_client::Client& client);
  ~Analytics();
  Analytics(const Analytics&) = delete;
  Analytics& operator=(const Analytics&) = delete;

  // Sends one request to the analytics service and returns its answer, which must be a JSON
  // object. Throws common::Error (internal, with a message for the user) when the service
  // cannot be reached, does not answer in time, answers something other than an object, or
  // answers an object carrying "error" (its way of refusing a request).
  boost::asio::awaitable<boost::json::object> ask_service(boost::json::object request);

  // The display symbol of an instrument, from the service's identifier-to-symbol map (fetched
  // on first use, and again only while it is empty). An identifier the map lacks is a
  // common::Error.
  boost::asio::awaitable<boost::json::value> symbol_for(std::string order_book_id);
  // Whether the identifier is in the symbol map, which holds stocks only.
  boost::asio::awaitable<bool> is_stock(std::string order_book_id);

  // The backtest's dates and starting cash from its stored configuration: "backtest_start_date",
  // "backtest_end_date", "starting_cash". Kept in a 32-entry least-recently-used cache. An entry
  // is used only while the row's configuration text is the one it was built from, so a deleted
  // backtest is never answered and an id taken over by a new backtest gets the new overview.
  // Throws common::Error when the row or one of the keys is missing. Safe from several threads.
  boost::json::object _get_overview(db::Connection& connection, std::int64_t backtest_id);

 private:
  boost::asio::awaitable<const boost::json::object*> symbol_map();

  const morvex_client::Client& client_;
  // Identifier to display symbol, as the service last sent it; empty until the first fetch.
  std::optional<boost::json::object> order_book_id_symbol_map_;
  std::unique_ptr<OverviewCache> overview_cache_;
};

// The strategy's unit net values ("datetime", "unit_net_value") in time order, from `start` with
// its hour set to 0 to `end` with its hour set to 23 (minutes and seconds kept as given).
db::Rows _get_portfolio_series(db::Connection& connection, std::int64_t backtest_id,
                               const std::optional<DateTime>& start,
                               const std::optional<DateTime>& end);
// The same for the benchmark rows the engine posted.
db::Rows _get_benchmark_series(db::Connection& connection, std::int64_t backtest_id,
                               const std::optional<DateTime>& start,
                               const std::optional<DateTime>& end);

// The last portfolio timestamp (benchmark rows included) on or before `date` at 23:59:59, or
// the backtest's last one without a date; nullopt when there is none.
std::optional<std::string> get_latest_date_for(db::Connection& connection, std::int64_t backtest_id,
                                               const std::optional<DateTime>& date);

// The open positions at exactly `timestamp`: "datetime", "order_book_id", "quantity",
// "last_price", "avg_price", "market_value", in storage order.
db::Rows _get_positions_for(db::Connection& connection, std::int64_t backtest_id,
                            const std::string& timestamp);

// The configured benchmark, "000300.XSHG" when the configuration names none. Throws
// common::Error when the backtest does not exist.
boost::json::value _get_benchmark_for(db::Connection& connection, std::int64_t backtest_id);

// The strategy's portfolio timestamps, in storage order, from `start` as given to `end` with its
// hour set to 23.
std::vector<std::string> _get_dates_for(db::Connection& connection, std::int64_t backtest_id,
                                        const std::optional<DateTime>& start,
                                        const std::optional<DateTime>& end);

// The backtest's trades in time order: "datetime", "order_book_id", "side", "transaction_cost",
// "last_price", "last_quantity".
db::Rows trades_of(db::Connection& connection, std::int64_t backtest_id);

// The "order_book_id" of every trade of the backtest, in storage order.
db::Rows traded_instruments(db::Connection& connection, std::int64_t backtest_id);

// The strategy's own "cash" and "total_value" at exactly `timestamp` (no row or one).
db::Rows totals_at(db::Connection& connection, std::int64_t backtest_id,
                   const std::string& timestamp);

// What a Brinson attribution reads, each in time order from the start of `start`'s day to the
// end of `end`'s: the strategy's own "datetime", "market_value" (its total value) and "cash";
// and its non-zero holdings, "datetime", "order_book_id", "quantity", "market_value".
db::Rows brinson_portfolio(db::Connection& connection, std::int64_t backtest_id,
                           const std::optional<DateTime>& start,
                           const std::optional<DateTime>& end);
db::Rows brinson_holdings(db::Connection& connection, std::int64_t backtest_id,
                          const std::optional<DateTime>& start, const std::optional<DateTime>& end);

}  // namespace stratdesk::morvex_api
