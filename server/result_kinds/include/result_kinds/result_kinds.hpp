#pragma once

#include <array>
#include <span>
#include <string_view>

// The kinds of result rows engines post: one table that the schema's tests, ingestion, paging,
// deletion and the API document's tests iterate.
namespace stratdesk::result_kinds {

using Columns = std::span<const std::string_view>;

// Posted row layouts: the columns each posted row's values bind to, in order.
inline constexpr std::array<std::string_view, 15> portfolio_feeds_fields = {
    "algorithm_id",          "backtest_id",    "datetime",
    "is_benchmark",          "cash",           "total_value",
    "market_value",          "unit_net_value", "units",
    "static_unit_net_value", "total_returns",  "annualized_returns",
    "portfolio_value",       "daily_returns",  "starting_cash"};
inline constexpr std::array<std::string_view, 24> position_feeds_fields = {"algorithm_id",
                                                                           "backtest_id",
                                                                           "datetime",
                                                                           "order_book_id",
                                                                           "type",
                                                                           "quantity",
                                                                           "last_price",
                                                                           "avg_price",
                                                                           "market_value",
                                                                           "margin",
                                                                           "buy_pnl",
                                                                           "buy_margin",
                                                                           "buy_quantity",
                                                                           "buy_avg_open_price",
                                                                           "sell_pnl",
                                                                           "sell_margin",
                                                                           "sell_quantity",
                                                                           "sell_avg_open_price",
                                                                           "buy_market_value",
                                                                           "sell_market_value",
                                                                           "pnl",
                                                                           "transaction_cost",
                                                                           "buy_transaction_cost",
                                                                           "sell_transaction_cost"};
inline constexpr std::array<std::string_view, 13> trade_feeds_fields = {
    "algorithm_id", "backtest_id",     "datetime", "order_book_id",    "order_id",
    "side",         "position_effect", "exec_id",  "transaction_cost", "last_quantity",
    "last_price",   "commission",      "tax"};
inline constexpr std::array<std::string_view, 12> risk_feeds_fields = {
    "algorithm_id", "backtest_id",  "datetime",       "alpha",
    "beta",         "sharpe",       "sortino",        "information_ratio",
    "volatility",   "max_drawdown", "tracking_error", "downside_risk"};
inline constexpr std::array<std::string_view, 9> account_feeds_fields = {
    "algorithm_id",     "backtest_id",  "datetime",    "type",  "cash",
    "transaction_cost", "market_value", "total_value", "margin"};
inline constexpr std::array<std::string_view, 5> log_feeds_fields = {"algorithm_id", "backtest_id",
                                                                     "datetime", "content", "type"};
inline constexpr std::array<std::string_view, 5> plot_feeds_fields = {"algorithm_id", "backtest_id",
                                                                      "datetime", "name", "value"};

// Columns whose nulls the queries show as "N/A".
inline constexpr std::array<std::string_view, 11> portfolio_fields_name = {"cash",
                                                                           "total_value",
                                                                           "market_value",
                                                                           "unit_net_value",
                                                                           "units",
                                                                           "static_unit_net_value",
                                                                           "total_returns",
                                                                           "annualized_returns",
                                                                           "portfolio_value",
                                                                           "daily_returns",
                                                                           "starting_cash"};
inline constexpr std::array<std::string_view, 6> trade_fields_name = {
    "position_effect", "transaction_cost", "last_quantity", "last_price", "commission", "tax"};
inline constexpr std::array<std::string_view, 1> plot_fields_name = {"value"};
inline constexpr std::array<std::string_view, 17> position_fields_name = {"quantity",
                                                                          "last_price",
                                                                          "avg_price",
                                                                          "market_value",
                                                                          "margin",
                                                                          "buy_pnl",
                                                                          "buy_margin",
                                                                          "buy_quantity",
                                                                          "buy_avg_open_price",
                                                                          "sell_pnl",
                                                                          "sell_margin",
                                                                          "sell_quantity",
                                                                          "sell_avg_open_price",
                                                                          "buy_transaction_cost",
                                                                          "sell_transaction_cost",
                                                                          "sell_market_value",
                                                                          "buy_market_value"};
inline constexpr std::array<std::string_view, 5> account_fields_name = {
    "cash", "transaction_cost", "market_value", "total_value", "margin"};
inline constexpr std::array<std::string_view, 9> risk_fields_name = {
    "alpha",      "beta",         "sharpe",         "sortino",      "information_ratio",
    "volatility", "max_drawdown", "tracking_error", "downside_risk"};

// A kind of result an engine posts: its table (also the feed group's form field), the columns a
// posted row binds to in order, the columns whose nulls a page shows as "N/A", the route of its
// pages below a backtest's "/feeds/", and whether its pages split by is_benchmark.
struct ResultKind {
  std::string_view table;
  Columns posted;
  Columns not_available;
  std::string_view route;
  bool by_benchmark;
};

// Every kind, in the order a POST's kinds are stored. Ingestion, pages, deletion and the tests
// of the schema and of the API document all go by this table.
inline constexpr std::array<ResultKind, 7> result_kinds = {{
    {"portfolio_feeds", portfolio_feeds_fields, portfolio_fields_name, "portfolio", true},
    {"position_feeds", position_feeds_fields, position_fields_name, "position", false},
    {"trade_feeds", trade_feeds_fields, trade_fields_name, "trade", false},
    {"risk_feeds", risk_feeds_fields, risk_fields_name, "risk", false},
    {"account_feeds", account_feeds_fields, account_fields_name, "account", false},
    {"log_feeds", log_feeds_fields, {}, "log", false},
    {"plot_feeds", plot_feeds_fields, plot_fields_name, "plot", false},
}};

}  // namespace stratdesk::result_kinds
