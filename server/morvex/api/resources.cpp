#include <optional>
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

asio::awaitable<http::Response> overview(const AnalyticsContext& context,
                                         http::Request& /*request*/, std::int64_t backtest_id) {
  auto read = [&context, backtest_id](db::Connection& connection) {
    return context.analytics._get_overview(connection, backtest_id);
  };
  co_return http::Response::json(co_await context.reads.read(read));
}

asio::awaitable<http::Response> trades(const AnalyticsContext& context, http::Request& /*request*/,
                                       std::int64_t backtest_id) {
  auto read = [backtest_id](db::Connection& connection) {
    return trades_of(connection, backtest_id);
  };
  db::Rows rows = co_await context.reads.read(read);
  for (db::Row& row : rows) {
    row["side"] = side_value(row.at("side"), backtest_id);
    std::string id = instrument_of(row);
    row["symbol"] = co_await context.analytics.symbol_for(std::move(id));
  }
  co_return http::Response::json(db::to_array(std::move(rows)));
}

asio::awaitable<http::Response> pnl(const AnalyticsContext& context, http::Request& request,
                                    std::int64_t backtest_id) {
  const auto start = date_parameter(request, "start_date");
  const auto end = date_parameter(request, "end_date");
  const auto given_benchmark = text_parameter(request, "benchmark");
  struct Read {
    object overview;
    db::Rows portfolio;
    value benchmark_series = nullptr;
    value benchmark;
  };
  auto read = [&](db::Connection& connection) {
    Read got;
    got.overview = context.analytics._get_overview(connection, backtest_id);
    got.portfolio = _get_portfolio_series(connection, backtest_id, start, end);
    if (given_benchmark) {
      got.benchmark = *given_benchmark;
    } else {
      got.benchmark_series =
          db::to_array(_get_benchmark_series(connection, backtest_id, start, end));
      got.benchmark = _get_benchmark_for(connection, backtest_id);
    }
    return got;
  };
  Read got = co_await context.reads.read(read);
  object pnl_request{{"cmd", "pnl_analysis"},
                     {"portfolio_series", db::to_array(std::move(got.portfolio))},
                     {"benchmark", got.benchmark},
                     {"benchmark_series", std::move(got.benchmark_series)}};
  object result = co_await context.analytics.ask_service(std::move(pnl_request));
  merge(result, got.overview);
  result["benchmark"] = std::move(got.benchmark);
  co_return http::Response::json(std::move(result));
}

asio::awaitable<http::Response> holdings(const AnalyticsContext& context, http::Request& request,
                                         std::int64_t backtest_id) {
  const auto date = date_parameter(request, "date");
  struct Read {
    std::optional<std::string> latest;
    object overview;
    db::Rows positions;
    db::Rows totals;
  };
  auto read = [&](db::Connection& connection) {
    Read got;
    got.latest = get_latest_date_for(connection, backtest_id, date);
    if (!got.latest || got.latest->empty()) {
      return got;
    }
    got.overview = context.analytics._get_overview(connection, backtest_id);
    got.positions = _get_positions_for(connection, backtest_id, *got.latest);
    got.totals = totals_at(connection, backtest_id, *got.latest);
    return got;
  };
  Read got = co_await context.reads.read(read);
  if (!got.latest || got.latest->empty()) {
    co_return http::Response::json(object{});
  }
  if (got.totals.empty()) {
    throw common::Error(common::ErrorKind::internal, "backtest " + std::to_string(backtest_id) +
                                                         " has no portfolio row of its own at " +
                                                         *got.latest);
  }
  for (db::Row& position : got.positions) {
    std::string id = instrument_of(position);
    position["symbol"] = co_await context.analytics.symbol_for(std::move(id));
  }
  const object& overview = got.overview;
  co_return http::Response::json(object{{"date", *got.latest},
                                        {"backtest_start_date", overview.at("backtest_start_date")},
                                        {"backtest_end_date", overview.at("backtest_end_date")},
                                        {"starting_cash", overview.at("starting_cash")},
                                        {"market_value", got.totals.front().at("total_value")},
                                        {"cash", got.totals.front().at("cash")},
                                        {"positions", db::to_array(std::move(got.positions))}});
}

asio::awaitable<http::Response> exposure(const AnalyticsContext& context, http::Request& request,
                                         std::int64_t backtest_id) {
  const auto date = date_parameter(request, "date");
  const auto given_benchmark = text_parameter(request, "benchmark");
  struct Read {
    std::optional<std::string> latest;
    value benchmark;
    object overview;
    db::Rows positions;
  };
  auto read = [&](db::Connection& connection) {
    Read got;
    got.latest = get_latest_date_for(connection, backtest_id, date);
    if (!got.latest || *got.latest < earliest_analysable_day) {
      return got;
    }
    got.benchmark = configured_or_given(connection, backtest_id, given_benchmark);
    got.overview = context.analytics._get_overview(connection, backtest_id);
    got.positions = _get_positions_for(connection, backtest_id, *got.latest);
    return got;
  };
  Read got = co_await context.reads.read(read);
  if (!got.latest || *got.latest < earliest_analysable_day) {
    co_return http::Response::json(object{});
  }
  object exposure =
      exposure_request(std::move(got.positions), std::move(got.benchmark), *got.latest);
  object result = co_await context.analytics.ask_service(std::move(exposure));
  merge(result, got.overview);
  co_return http::Response::json(std::move(result));
}

asio::awaitable<http::Response> exposure_diff(const AnalyticsContext& context,
                                              http::Request& request, std::int64_t backtest_id) {
  const auto start = date_parameter(request, "start_date");
  const auto end = date_parameter(request, "end_date");
  struct Read {
    std::vector<std::string> dates;
    object overview;
  };
  auto read_days = [&](db::Connection& connection) {
    Read got;
    for (std::string& date : _get_dates_for(connection, backtest_id, start, end)) {
      if (date >= earliest_analysable_day) {
        got.dates.push_back(std::move(date));
      }
    }
    if (!got.dates.empty()) {
      got.overview = context.analytics._get_overview(connection, backtest_id);
    }
    return got;
  };
  const Read got = co_await context.reads.read(read_days);
  if (got.dates.empty()) {
    no_data_in_range(request, backtest_id);
  }
  object result;
  for (const std::size_t index : chosen_indexes(got.dates.size())) {
    const std::string& day = got.dates[index];
    auto read_positions = [backtest_id, &day](db::Connection& connection) {
      return _get_positions_for(connection, backtest_id, day);
    };
    db::Rows positions = co_await context.reads.read(read_positions);
    if (positions.empty()) {
      continue;
    }
    object exposure = exposure_request(std::move(positions), nullptr, day);
    const object answer = co_await context.analytics.ask_service(std::move(exposure));
    result[day] = object{{"factors", answer_member(answer, "factors")},
                         {"portfolio", answer_member(answer, "portfolio_exposure")},
                         {"st_stock_weight", answer_member(answer, "st_stock_weight")},
                         {"new_stock_weight", answer_member(answer, "new_stock_weight")}};
  }
  merge(result, got.overview);
  result["start_date"] = got.dates.front();
  result["end_date"] = got.dates.back();
  co_return http::Response::json(std::move(result));
}

asio::awaitable<http::Response> sensitivity(const AnalyticsContext& context, http::Request& request,
                                            std::int64_t backtest_id) {
  const auto start = date_parameter(request, "start_date");
  const auto end = date_parameter(request, "end_date");
  struct Read {
    db::Rows series;
    object overview;
  };
  auto read = [&](db::Connection& connection) {
    Read got;
    got.series = _get_portfolio_series(connection, backtest_id, start, end);
    if (!got.series.empty()) {
      got.overview = context.analytics._get_overview(connection, backtest_id);
    }
    return got;
  };
  Read got = co_await context.reads.read(read);
  if (got.series.empty()) {
    no_data_in_range(request, backtest_id);
  }
  const value first = got.series.front().at("datetime");
  const value last = got.series.back().at("datetime");
  object sensitivity_request{{"cmd", "sensitivity_analysis"},
                             {"portfolio", db::to_array(std::move(got.series))}};
  object result = co_await context.analytics.ask_service(std::move(sensitivity_request));
  merge(result, got.overview);
  result["start_date"] = first;
  result["end_date"] = last;
  co_return http::Response::json(std::move(result));
}

asio::awaitable<http::Response> risk(const AnalyticsContext& context, http::Request& request,
                                     std::int64_t backtest_id) {
  const auto start = date_parameter(request, "start_date");
  const auto end = date_parameter(request, "end_date");
  const auto given_benchmark = text_parameter(request, "benchmark");
  struct Read {
    db::Rows portfolio;
    value benchmark;
    object overview;
  };
  auto read = [&](db::Connection& connection) {
    Read got;
    got.portfolio = _get_portfolio_series(connection, backtest_id, start, end);
    if (!got.portfolio.empty()) {
      got.benchmark = configured_or_given(connection, backtest_id, given_benchmark);
      got.overview = context.analytics._get_overview(connection, backtest_id);
    }
    return got;
  };
  Read got = co_await context.reads.read(read);
  if (got.portfolio.empty()) {
    no_data_in_range(request, backtest_id);
  }
  const std::string first_day = day_of(timestamp_of(got.portfolio.front()));
  const std::string last_day = day_of(timestamp_of(got.portfolio.back()));
  object risk_request{{"cmd", "risk_analysis"},
                      {"benchmark", got.benchmark},
                      {"portfolio", db::to_array(std::move(got.portfolio))}};
  object result = co_await context.analytics.ask_service(std::move(risk_request));
  result["start_date"] = first_day;
  result["end_date"] = last_day;
  result["benchmark"] = std::move(got.benchmark);
  result["backtest_start_date"] = got.overview.at("backtest_start_date");
  result["backtest_end_date"] = got.overview.at("backtest_end_date");
  co_return http::Response::json(std::move(result));
}

asio::awaitable<http::Response> brinson(const AnalyticsContext& context, http::Request& request,
                                        std::int64_t backtest_id) {
  const auto start = date_parameter(request, "start_date");
  const auto end = date_parameter(request, "end_date");
  const std::string benchmark =
      text_parameter(request, "benchmark").value_or(std::string(brinson_default_benchmark));
  const std::string sector_decider =
      text_parameter(request, "sector_decider").value_or(std::string(default_sector_decider));

  struct Read {
    array series;
    object overview;
  };
  // The day series with each day's holdings, assembled beside the loop as well.
  auto read = [&](db::Connection& connection) {
    Read got;
    const db::Rows rows = brinson_portfolio(connection, backtest_id, start, end);
    if (rows.empty()) {
      return got;
    }
    got.overview = context.analytics._get_overview(connection, backtest_id);
    std::unordered_map<std::string, array> positions_at;
    for (db::Row& position : brinson_holdings(connection, backtest_id, start, end)) {
      positions_at[timestamp_of(position)].emplace_back(std::move(position));
    }
    got.series.reserve(rows.size());
    for (const db::Row& row : rows) {
      const std::string at = timestamp_of(row);
      const auto group = positions_at.find(at);
      got.series.emplace_back(
          object{{"market_value", row.at("market_value")},
                 {"cash", row.at("cash")},
                 {"positions", group == positions_at.end() ? array{} : group->second},
                 {"date", day_of(at)}});
    }
    return got;
  };
  Read got = co_await context.reads.read(read);
  if (got.series.empty()) {
    no_data_in_range(request, backtest_id);
  }
  const value first_day = got.series.front().at("date");
  const value last_day = got.series.back().at("date");
  object brinson_request{{"cmd", "brinson_analysis"},
                         {"benchmark", benchmark},
                         {"portfolio_series", std::move(got.series)},
                         {"sector_decider", sector_decider}};
  object result = co_await context.analytics.ask_service(std::move(brinson_request));
  merge(result, got.overview);
  result["start_date"] = first_day;
  result["end_date"] = last_day;
  result["benchmark"] = benchmark;
  result["sector_decider"] = sector_decider;
  co_return http::Response::json(std::move(result));
}

asio::awaitable<http::Response> can_analysis(const AnalyticsContext& context,
                                             http::Request& /*request*/, std::int64_t backtest_id) {
  auto read = [backtest_id](db::Connection& connection) {
    return traded_instruments(connection, backtest_id);
  };
  const db::Rows rows = co_await context.reads.read(read);
  for (const db::Row& row : rows) {
    std::string id = instrument_of(row);
    const bool stock = co_await context.analytics.is_stock(std::move(id));
    if (!stock) {
      co_return http::Response::json(false);
    }
  }
  co_return http::Response::json(true);
}

void register_api(http::Api& api, const std::string& base_uri, db::ReadPool& reads,
                  Analytics& analytics) {
  const std::string backtest = base_uri + "/morvex/<int:backtest_id>/";
  const std::pair<const char*, AnalyticsHandler> routes[] = {
      {"overview", overview},        {"trades", trades},     {"pnl", pnl},
      {"holdings", holdings},        {"exposure", exposure}, {"exposure_diff", exposure_diff},
      {"sensitivity", sensitivity},  {"risk", risk},         {"brinson", brinson},
      {"can_analysis", can_analysis}};
  for (const auto& [name, handler] : routes) {
    api.add<AnalyticsRoute>(backtest + name, reads, analytics, handler);
  }
}

}  // namespace stratdesk::morvex_api
