#include <utility>

#include "backtest/backtest.hpp"
#include "http/arguments.hpp"

namespace stratdesk::backtest {

std::optional<db::Row> get_algo(db::Connection& conn, std::int64_t algo_id) {
  db::Rows rows = conn.execute("SELECT * FROM algorithms WHERE algorithms.id = ?", {algo_id});
  if (rows.empty()) {
    return std::nullopt;
  }
  return std::move(rows.front());
}

db::Row get_final_portfolio(std::int64_t backtest_id, db::Connection& conn) {
  // An aggregate without GROUP BY yields one row even over no rows, and SQLite takes the bare
  // columns from a row that holds the maximum.
  db::Rows rows = conn.execute(
      "SELECT MAX(portfolio_feeds.datetime) AS order_key, * FROM portfolio_feeds "
      "WHERE portfolio_feeds.backtest_id = ?",
      {backtest_id});
  return std::move(rows.at(0));
}

Arguments parse_arguments(http::Request& request, std::initializer_list<std::string_view> names) {
  Arguments args;
  for (std::string_view name : names) {
    if (auto text = http::argument_text(request, name)) {
      args[name] = *text;
    } else {
      args[name] = nullptr;
    }
  }
  return args;
}

boost::json::value get(const Arguments& args, std::string_view key,
                       const boost::json::value& default_value) {
  const boost::json::value* value = args.if_contains(key);
  return value == nullptr || value->is_null() ? default_value : *value;
}

}  // namespace stratdesk::backtest
