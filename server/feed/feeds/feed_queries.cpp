#include <algorithm>
#include <charconv>
#include <optional>

#include <boost/json/serialize.hpp>

#include "db/db.hpp"
#include "feeds/feeds.hpp"

namespace stratdesk::feeds {
namespace {

// An argument's text from the query string, else a form field, else a JSON body member;
// nullopt when absent (or JSON null).
std::optional<std::string> argument_text(http::Request& request, std::string_view name) {
  if (const std::string* value = request.query().first(name)) {
    return *value;
  }
  if (const std::string* value = request.form().first(name)) {
    return *value;
  }
  if (const boost::json::value* body = request.json_body(); body != nullptr && body->is_object()) {
    if (const boost::json::value* member = body->get_object().if_contains(name)) {
      if (member->is_null()) {
        return std::nullopt;
      }
      if (member->is_string()) {
        return std::string(member->get_string());
      }
      return boost::json::serialize(*member);
    }
  }
  return std::nullopt;
}

[[noreturn]] void reject(std::string_view name, std::string_view value, std::string_view why) {
  throw http::BadRequest("invalid value '" + std::string(value) + "' for argument '" +
                         std::string(name) + "': " + std::string(why));
}

bool parse_boolean(std::string_view name, const std::string& text) {
  std::string lowered(text);
  std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lowered == "true" || lowered == "1") {
    return true;
  }
  if (lowered == "false" || lowered == "0") {
    return false;
  }
  reject(name, text, "expected true, false, 1 or 0");
}

std::int64_t parse_count(std::string_view name, const std::string& text) {
  std::string_view digits = text;
  while (!digits.empty() && std::isspace(static_cast<unsigned char>(digits.front()))) {
    digits.remove_prefix(1);
  }
  while (!digits.empty() && std::isspace(static_cast<unsigned char>(digits.back()))) {
    digits.remove_suffix(1);
  }
  if (digits.starts_with('+')) {
    digits.remove_prefix(1);
  }
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || ec != std::errc{} || end != digits.data() + digits.size()) {
    reject(name, text, "expected an integer");
  }
  // SQLite reads a negative LIMIT as "no limit", which would fetch a whole backtest.
  if (value < 0) {
    reject(name, text, "must not be negative");
  }
  return value;
}

}  // namespace

FeedArgs parse_feed_args(http::Request& request) {
  FeedArgs args;
  if (auto text = argument_text(request, "is_benchmark")) {
    args.is_benchmark = parse_boolean("is_benchmark", *text);
  }
  if (auto text = argument_text(request, "start_index")) {
    args.start_index = parse_count("start_index", *text);
  }
  if (auto text = argument_text(request, "limit")) {
    args.limit = parse_count("limit", *text);
  }
  return args;
}

db::Rows fill_nan_if_none(db::Rows data, Columns fields) {
  for (db::Row& row : data) {
    for (std::string_view field : fields) {
      boost::json::value& value = row.at(field);
      if (value.is_null()) {
        value = "N/A";
      }
    }
  }
  return data;
}

FeedQuery::FeedQuery(std::string_view table, Columns substituted, bool by_benchmark)
    : sql_("SELECT * FROM " + std::string(table) + " WHERE algorithm_id = ? AND backtest_id = ?" +
           (by_benchmark ? " AND is_benchmark = ?" : "") +
           " ORDER BY datetime ASC LIMIT ? OFFSET ?"),
      substituted_(substituted),
      by_benchmark_(by_benchmark) {}

boost::asio::awaitable<http::Response> FeedQuery::get(http::Request& request,
                                                      std::int64_t algorithm_id,
                                                      std::int64_t backtest_id) {
  const FeedArgs args = parse_feed_args(request);
  db::Connection& connection = db::get_connection(request);
  db::Rows rows =
      by_benchmark_
          ? connection.execute(sql_, {algorithm_id, backtest_id, args.is_benchmark ? 1 : 0,
                                      args.limit, args.start_index})
          : connection.execute(sql_, {algorithm_id, backtest_id, args.limit, args.start_index});
  rows = fill_nan_if_none(std::move(rows), substituted_);
  boost::json::array page;
  page.reserve(rows.size());
  for (db::Row& row : rows) {
    page.emplace_back(std::move(row));
  }
  co_return http::Response::json(std::move(page));
}

void register_api(http::Api& api, const std::string& base_uri) {
  const std::string backtest =
      base_uri + "/algorithms/<int:algorithm_id>/backtests/<int:backtest_id>";
  api.add<PortfolioFeed>(backtest + "/feeds/portfolio");
  api.add<TradeFeed>(backtest + "/feeds/trade");
  api.add<LogFeed>(backtest + "/feeds/log");
  api.add<PlotFeed>(backtest + "/feeds/plot");
  api.add<PositionFeed>(backtest + "/feeds/position");
  api.add<AccountFeed>(backtest + "/feeds/account");
  api.add<RiskFeed>(backtest + "/feeds/risk");
  api.add<FeedGroup>(base_uri + "/feedgroup");
}

}  // namespace stratdesk::feeds
