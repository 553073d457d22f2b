#include <unordered_map>
#include <utility>

#include "api/api.hpp"
#include "api/queries.hpp"
#include "common/error.hpp"
#include "db/db.hpp"

namespace stratdesk::morvex_api {
namespace {

namespace asio = boost::asio;
using boost::json::array;
using boost::json::object;
using boost::json::value;

// The first day for which the service has factor data.
constexpr std::string_view earliest_analysable_day = "2010-01-01";
constexpr std::string_view brinson_default_benchmark = "000300.XSHG";
constexpr std::string_view default_sector_decider = "ShenWan";

// Copies every member of `from` into `into`, replacing members of the same name in place.
void merge(object& into, const object& from) {
  for (const auto& member : from) {
    into[member.key()] = member.value();
  }
}

[[noreturn]] void no_data_in_range(http::Request& request, std::int64_t backtest_id) {
  std::string range;
  if (const auto start = text_parameter(request, "start_date")) {
    range += "from " + *start;
  }
  if (const auto end = text_parameter(request, "end_date")) {
    range += (range.empty() ? "to " : " to ") + *end;
  }
  throw common::Error(common::ErrorKind::internal,
                      "no data lies in the requested range of backtest " +
                          std::to_string(backtest_id) + (range.empty() ? "" : " (" + range + ")"));
}

std::string timestamp_of(const db::Row& row) {
  const value& at = row.at("datetime");
  if (!at.is_string()) {
    throw common::Error(common::ErrorKind::internal, "a feed row's time is not a timestamp text");
  }
  return std::string(at.get_string());
}

// The benchmark the request names, else the backtest's own.
value configured_or_given(db::Connection& connection, std::int64_t backtest_id,
                          const std::optional<std::string>& given) {
  if (given) {
    return value(*given);
  }
  return _get_benchmark_for(connection, backtest_id);
}

// The row's "order_book_id" as text (an identifier stored as anything else matches none).
std::string instrument_of(const db::Row& row) {
  const value& id = row.at("order_book_id");
  return id.is_string() ? std::string(id.get_string()) : std::string();
}

// The text after the first dot, up to the next: the engine stores an enumeration's name and
// value, SIDE.BUY for BUY.
std::string side_value(const value& stored, std::int64_t backtest_id) {
  const std::string_view side = stored.is_string() ? std::string_view(stored.get_string()) : "";
  const auto dot = side.find('.');
  if (dot == std::string_view::npos) {
    throw common::Error(common::ErrorKind::internal,
                        "a trade of backtest " + std::to_string(backtest_id) + " has the side '" +
                            std::string(side) + "', which is not of the form SIDE.VALUE");
  }
  const std::string_view rest = side.substr(dot + 1);
  return std::string(rest.substr(0, rest.find('.')));
}

const value& answer_member(const object& answer, std::string_view key) {
  const value* member = answer.if_contains(key);
  if (member == nullptr) {
    throw common::Error(common::ErrorKind::internal,
                        "the analytics service's exposure answer lacks '" + std::string(key) + "'");
  }
  return *member;
}

object exposure_request(db::Rows positions, value benchmark, std::string date) {
  return object{{"cmd", "single_exposure_analysis"},
                {"portfolio", object{{"positions", db::to_array(std::move(positions))}}},
                {"benchmark", std::move(benchmark)},
                {"date", std::move(date)}};
}

// The indexes of the days ExposureDiff looks at: all of up to three, else first, middle, last.
std::vector<std::size_t> chosen_indexes(std::size_t n) {
  if (n <= 3) {
    std::vector<std::size_t> all(n);
    for (std::size_t i = 0; i < n; ++i) {
      all[i] = i;
    }
    return all;
  }
  return {0, n / 2, n - 1};
}

}  // namespace

asio::awaitable<http::Response> Overview::get(http::Request& request, std::int64_t backtest_id) {
  co_return http::Response::json(analytics_._get_overview(connection_of(request), backtest_id));
}

asio::awaitable<http::Response> Trade::get(http::Request& request, std::int64_t backtest_id) {
  db::Rows rows = connection_of(request).execute(
      "SELECT datetime, order_book_id, side, transaction_cost, last_price, last_quantity FROM "
      "trade_feeds WHERE backtest_id = ? ORDER BY datetime ASC",
      {backtest_id});
  for (db::Row& row : rows) {
    row["side"] = side_value(row.at("side"), backtest_id);
    std::string id = instrument_of(row);
    row["symbol"] = co_await service(request).symbol_for(std::move(id));
  }
  co_return http::Response::json(db::to_array(std::move(rows)));
}

asio::awaitable<http::Response> PnL::get(http::Request& request, std::int64_t backtest_id) {
  const auto start = date_parameter(request, "start_date");
  const auto end = date_parameter(request, "end_date");
  const auto given_benchmark = text_parameter(request, "benchmark");
  db::Connection& connection = connection_of(request);
  const object overview = analytics_._get_overview(connection, backtest_id);
  db::Rows portfolio = _get_portfolio_series(connection, backtest_id, start, end);
  value benchmark_series = nullptr;
  value benchmark;
  if (given_benchmark) {
    benchmark = *given_benchmark;
  } else {
    benchmark_series = db::to_array(_get_benchmark_series(connection, backtest_id, start, end));
    benchmark = _get_benchmark_for(connection, backtest_id);
  }
  object pnl_request{{"cmd", "pnl_analysis"},
                     {"portfolio_series", db::to_array(std::move(portfolio))},
                     {"benchmark", benchmark},
                     {"benchmark_series", std::move(benchmark_series)}};
  object result = co_await service(request).ask_service(std::move(pnl_request));
  merge(result, overview);
  result["benchmark"] = std::move(benchmark);
  co_return http::Response::json(std::move(result));
}

asio::awaitable<http::Response> Holdings::get(http::Request& request, std::int64_t backtest_id) {
  const auto date = date_parameter(request, "date");
  db::Connection& connection = connection_of(request);
  const std::optional<std::string> latest = get_latest_date_for(connection, backtest_id, date);
  if (!latest || latest->empty()) {
    co_return http::Response::json(object{});
  }
  const object overview = analytics_._get_overview(connection, backtest_id);
  db::Rows positions = _get_positions_for(connection, backtest_id, *latest);
  const db::Rows totals = connection.execute(
      "SELECT cash, total_value FROM portfolio_feeds WHERE backtest_id = ? AND datetime = ? AND "
      "is_benchmark = 0",
      {backtest_id, db::Value(*latest)});
  if (totals.empty()) {
    throw common::Error(common::ErrorKind::internal, "backtest " + std::to_string(backtest_id) +
                                                         " has no portfolio row of its own at " +
                                                         *latest);
  }
  for (db::Row& position : positions) {
    std::string id = instrument_of(position);
    position["symbol"] = co_await service(request).symbol_for(std::move(id));
  }
  co_return http::Response::json(object{{"date", *latest},
                                        {"backtest_start_date", overview.at("backtest_start_date")},
                                        {"backtest_end_date", overview.at("backtest_end_date")},
                                        {"starting_cash", overview.at("starting_cash")},
                                        {"market_value", totals.front().at("total_value")},
                                        {"cash", totals.front().at("cash")},
                                        {"positions", db::to_array(std::move(positions))}});
}

asio::awaitable<http::Response> Exposure::get(http::Request& request, std::int64_t backtest_id) {
  const auto date = date_parameter(request, "date");
  const auto given_benchmark = text_parameter(request, "benchmark");
  db::Connection& connection = connection_of(request);
  const std::optional<std::string> latest = get_latest_date_for(connection, backtest_id, date);
  if (!latest || *latest < earliest_analysable_day) {
    co_return http::Response::json(object{});
  }
  value benchmark = configured_or_given(connection, backtest_id, given_benchmark);
  const object overview = analytics_._get_overview(connection, backtest_id);
  object exposure = exposure_request(_get_positions_for(connection, backtest_id, *latest),
                                     std::move(benchmark), *latest);
  object result = co_await service(request).ask_service(std::move(exposure));
  merge(result, overview);
  co_return http::Response::json(std::move(result));
}

asio::awaitable<http::Response> ExposureDiff::get(http::Request& request,
                                                  std::int64_t backtest_id) {
  const auto start = date_parameter(request, "start_date");
  const auto end = date_parameter(request, "end_date");
  db::Connection& connection = connection_of(request);
  std::vector<std::string> dates;
  for (std::string& date : _get_dates_for(connection, backtest_id, start, end)) {
    if (date >= earliest_analysable_day) {
      dates.push_back(std::move(date));
    }
  }
  if (dates.empty()) {
    no_data_in_range(request, backtest_id);
  }
  const object overview = analytics_._get_overview(connection, backtest_id);
  object result;
  for (const std::size_t index : chosen_indexes(dates.size())) {
    const std::string& day = dates[index];
    db::Rows positions = _get_positions_for(connection, backtest_id, day);
    if (positions.empty()) {
      continue;
    }
    object exposure = exposure_request(std::move(positions), nullptr, day);
    const object answer = co_await service(request).ask_service(std::move(exposure));
    result[day] = object{{"factors", answer_member(answer, "factors")},
                         {"portfolio", answer_member(answer, "portfolio_exposure")},
                         {"st_stock_weight", answer_member(answer, "st_stock_weight")},
                         {"new_stock_weight", answer_member(answer, "new_stock_weight")}};
  }
  merge(result, overview);
  result["start_date"] = dates.front();
  result["end_date"] = dates.back();
  co_return http::Response::json(std::move(result));
}

asio::awaitable<http::Response> Sensitivity::get(http::Request& request, std::int64_t backtest_id) {
  const auto start = date_parameter(request, "start_date");
  const auto end = date_parameter(request, "end_date");
  db::Connection& connection = connection_of(request);
  db::Rows series = _get_portfolio_series(connection, backtest_id, start, end);
  if (series.empty()) {
    no_data_in_range(request, backtest_id);
  }
  const object overview = analytics_._get_overview(connection, backtest_id);
  const value first = series.front().at("datetime");
  const value last = series.back().at("datetime");
  object sensitivity_request{{"cmd", "sensitivity_analysis"},
                             {"portfolio", db::to_array(std::move(series))}};
  object result = co_await service(request).ask_service(std::move(sensitivity_request));
  merge(result, overview);
  result["start_date"] = first;
  result["end_date"] = last;
  co_return http::Response::json(std::move(result));
}

asio::awaitable<http::Response> Risk::get(http::Request& request, std::int64_t backtest_id) {
  const auto start = date_parameter(request, "start_date");
  const auto end = date_parameter(request, "end_date");
  const auto given_benchmark = text_parameter(request, "benchmark");
  db::Connection& connection = connection_of(request);
  db::Rows portfolio = _get_portfolio_series(connection, backtest_id, start, end);
  if (portfolio.empty()) {
    no_data_in_range(request, backtest_id);
  }
  value benchmark = configured_or_given(connection, backtest_id, given_benchmark);
  const object overview = analytics_._get_overview(connection, backtest_id);
  const std::string first_day = day_of(timestamp_of(portfolio.front()));
  const std::string last_day = day_of(timestamp_of(portfolio.back()));
  object risk_request{{"cmd", "risk_analysis"},
                      {"benchmark", benchmark},
                      {"portfolio", db::to_array(std::move(portfolio))}};
  object result = co_await service(request).ask_service(std::move(risk_request));
  result["start_date"] = first_day;
  result["end_date"] = last_day;
  result["benchmark"] = std::move(benchmark);
  result["backtest_start_date"] = overview.at("backtest_start_date");
  result["backtest_end_date"] = overview.at("backtest_end_date");
  co_return http::Response::json(std::move(result));
}

asio::awaitable<http::Response> Brinson::get(http::Request& request, std::int64_t backtest_id) {
  const auto start = date_parameter(request, "start_date");
  const auto end = date_parameter(request, "end_date");
  const std::string benchmark =
      text_parameter(request, "benchmark").value_or(std::string(brinson_default_benchmark));
  const std::string sector_decider =
      text_parameter(request, "sector_decider").value_or(std::string(default_sector_decider));
  db::Connection& connection = connection_of(request);

  Query portfolio{
      "SELECT datetime, total_value AS market_value, cash FROM portfolio_feeds WHERE "
      "backtest_id = ? AND is_benchmark = 0",
      {backtest_id}};
  Query holdings{
      "SELECT datetime, order_book_id, quantity, market_value FROM position_feeds WHERE "
      "backtest_id = ? AND quantity != 0",
      {backtest_id}};
  for (Query* q : {&portfolio, &holdings}) {
    if (start) {
      q->sql += " AND datetime >= ?";
      q->params.emplace_back(start->with_time(0, 0, 0).text());
    }
    if (end) {
      q->sql += " AND datetime <= ?";
      q->params.emplace_back(end->with_time(23, 59, 59).text());
    }
    q->sql += " ORDER BY datetime ASC";
  }
  const db::Rows rows = execute_query(connection, portfolio);
  if (rows.empty()) {
    no_data_in_range(request, backtest_id);
  }
  const object overview = analytics_._get_overview(connection, backtest_id);

  std::unordered_map<std::string, array> positions_at;
  for (db::Row& position : execute_query(connection, holdings)) {
    positions_at[timestamp_of(position)].emplace_back(std::move(position));
  }
  array series;
  series.reserve(rows.size());
  for (const db::Row& row : rows) {
    const std::string at = timestamp_of(row);
    const auto group = positions_at.find(at);
    series.emplace_back(object{{"market_value", row.at("market_value")},
                               {"cash", row.at("cash")},
                               {"positions", group == positions_at.end() ? array{} : group->second},
                               {"date", day_of(at)}});
  }
  const value first_day = series.front().at("date");
  const value last_day = series.back().at("date");
  object brinson_request{{"cmd", "brinson_analysis"},
                         {"benchmark", benchmark},
                         {"portfolio_series", std::move(series)},
                         {"sector_decider", sector_decider}};
  object result = co_await service(request).ask_service(std::move(brinson_request));
  merge(result, overview);
  result["start_date"] = first_day;
  result["end_date"] = last_day;
  result["benchmark"] = benchmark;
  result["sector_decider"] = sector_decider;
  co_return http::Response::json(std::move(result));
}

asio::awaitable<http::Response> CanAnalysis::get(http::Request& request, std::int64_t backtest_id) {
  const db::Rows rows = connection_of(request).execute(
      "SELECT order_book_id FROM trade_feeds WHERE backtest_id = ?", {backtest_id});
  for (const db::Row& row : rows) {
    std::string id = instrument_of(row);
    const bool stock = co_await service(request).is_stock(std::move(id));
    if (!stock) {
      co_return http::Response::json(false);
    }
  }
  co_return http::Response::json(true);
}

void register_api(http::Api& api, const std::string& base_uri, db::Database& database,
                  Analytics& analytics) {
  const std::string backtest = base_uri + "/morvex/<int:backtest_id>";
  api.add<Overview>(backtest + "/overview", database, analytics);
  api.add<Trade>(backtest + "/trades", database, analytics);
  api.add<PnL>(backtest + "/pnl", database, analytics);
  api.add<Holdings>(backtest + "/holdings", database, analytics);
  api.add<Exposure>(backtest + "/exposure", database, analytics);
  api.add<ExposureDiff>(backtest + "/exposure_diff", database, analytics);
  api.add<Sensitivity>(backtest + "/sensitivity", database, analytics);
  api.add<Risk>(backtest + "/risk", database, analytics);
  api.add<Brinson>(backtest + "/brinson", database, analytics);
  api.add<CanAnalysis>(backtest + "/can_analysis", database, analytics);
}

}  // namespace stratdesk::morvex_api
