#include "schema.hpp"

namespace stratdesk::db::schema {

const std::array<Step, 11> creation_steps = {{
    {"Start creating algorithms table",
     {"CREATE TABLE if not exists algorithms (id INTEGER PRIMARY KEY, name text NOT NULL, "
      "securities text NOT NULL, code text DEFAULT '', config text DEFAULT '', parameters text, "
      "last_modified timestamp DEFAULT CURRENT_TIMESTAMP)"}},
    {"Start creating backtests table",
     {"CREATE TABLE if not exists backtests (id INTEGER PRIMARY KEY, algorithm_id INTEGER NOT "
      "NULL, config text NOT NULL, state text DEFAULT 'executing', comment text DEFAULT '', "
      "time_spent INTEGER DEFAULT 0, exception text DEFAULT '', code text DEFAULT '', uuid text "
      "DEFAULT '', run_at timestamp DEFAULT CURRENT_TIMESTAMP)",
      "create index if not exists backtests_index on backtests (algorithm_id)",
      "create index if not exists backtests_state_index on backtests (state)"}},
    {"Start creating portfolio_feeds table",
     {"CREATE TABLE if not exists portfolio_feeds (id INTEGER PRIMARY KEY, algorithm_id INTEGER "
      "NOT NULL, backtest_id INTEGER NOT NULL, datetime timestamp NOT NULL, is_benchmark INTEGER "
      "DEFAULT 0, cash REAL, total_value REAL, market_value REAL, unit_net_value REAL, units "
      "REAL, static_unit_net_value REAL, total_returns REAL, annualized_returns REAL, "
      "portfolio_value REAL, daily_returns REAL, starting_cash REAL)",
      "create index if not exists portfolio_feeds_index on portfolio_feeds (algorithm_id, "
      "backtest_id, is_benchmark, datetime)",
      "create index if not exists portfolio_feeds_after_id_index on portfolio_feeds (backtest_id, "
      "id)"}},
    {"Start creating trade_feeds table",
     {"CREATE TABLE if not exists trade_feeds (id INTEGER PRIMARY KEY, algorithm_id INTEGER NOT "
      "NULL, backtest_id INTEGER NOT NULL, datetime timestamp NOT NULL, order_book_id TEXT NOT "
      "NULL, order_id TEXT, side TEXT, position_effect TEXT, exec_id TEXT NOT NULL, "
      "transaction_cost REAL, last_quantity REAL, last_price REAL, commission REAL, tax REAL)",
      "create index if not exists trade_feeds_index on trade_feeds (algorithm_id, backtest_id, "
      "datetime)",
      "create index if not exists trade_feeds_after_id_index on trade_feeds (backtest_id, id)"}},
    {"Start creating log_feeds table",
     {"CREATE TABLE if not exists log_feeds (id INTEGER PRIMARY KEY, algorithm_id INTEGER NOT "
      "NULL, backtest_id INTEGER NOT NULL, datetime timestamp NOT NULL, content TEXT default '', "
      "type INTEGER NOT NULL)",
      "create index if not exists log_feeds_index on log_feeds (algorithm_id, backtest_id, "
      "datetime)",
      "create index if not exists log_feeds_after_id_index on log_feeds (backtest_id, id)"}},
    {"Start creating plot_feeds table",
     {"CREATE TABLE if not exists plot_feeds (id INTEGER PRIMARY KEY, algorithm_id INTEGER NOT "
      "NULL, backtest_id INTEGER NOT NULL, datetime timestamp NOT NULL, name TEXT NOT NULL, "
      "value REAL)",
      "create index if not exists plot_feeds_index on plot_feeds (algorithm_id, backtest_id, "
      "datetime)",
      "create index if not exists plot_feeds_after_id_index on plot_feeds (backtest_id, id)"}},
    {"Start creating position_feeds table",
     {"CREATE TABLE if not exists position_feeds (id INTEGER PRIMARY KEY, algorithm_id INTEGER "
      "NOT NULL, backtest_id INTEGER NOT NULL, datetime timestamp NOT NULL, order_book_id TEXT "
      "NOT NULL, type TEXT NOT NULL, quantity REAL, last_price REAL, avg_price REAL, "
      "market_value REAL, margin REAL, buy_pnl REAL, buy_margin REAL, buy_quantity REAL, "
      "buy_avg_open_price REAL, sell_pnl REAL, sell_margin REAL, sell_quantity REAL, "
      "sell_avg_open_price REAL, buy_market_value REAL, sell_market_value REAL, pnl REAL, "
      "transaction_cost REAL, buy_transaction_cost REAL, sell_transaction_cost REAL)",
      "create index if not exists position_feeds_index on position_feeds (algorithm_id, "
      "backtest_id, datetime)",
      "create index if not exists position_feeds_after_id_index on position_feeds (backtest_id, "
      "id)"}},
    {"Start creating account_feeds table",
     {"CREATE TABLE if not exists account_feeds (id INTEGER PRIMARY KEY, algorithm_id INTEGER "
      "NOT NULL, backtest_id INTEGER NOT NULL, datetime timestamp NOT NULL, type TEXT NOT NULL, "
      "cash REAL, transaction_cost REAL, market_value REAL, total_value REAL, margin REAL)",
      "create index if not exists account_feeds_index on account_feeds (algorithm_id, "
      "backtest_id, datetime)",
      "create index if not exists account_feeds_after_id_index on account_feeds (backtest_id, "
      "id)"}},
    {"Start creating risk_feeds table",
     {"CREATE TABLE if not exists risk_feeds (id INTEGER PRIMARY KEY, algorithm_id INTEGER NOT "
      "NULL, backtest_id INTEGER NOT NULL, datetime timestamp NOT NULL, alpha REAL, beta REAL, "
      "sharpe REAL, sortino REAL, information_ratio REAL, volatility REAL, max_drawdown REAL, "
      "tracking_error REAL, downside_risk REAL)",
      "create index if not exists risk_feeds_index on risk_feeds (algorithm_id, backtest_id, "
      "datetime)",
      "create index if not exists risk_feeds_after_id_index on risk_feeds (backtest_id, id)"}},
    // Parameter sweeps: a sweep, and one row per combination of its grid, linked to its
    // backtest once launched.
    {"Start creating sweeps table",
     {"CREATE TABLE if not exists sweeps (id INTEGER PRIMARY KEY, algorithm_id INTEGER NOT NULL, "
      "state text NOT NULL DEFAULT 'running', stop_requested INTEGER NOT NULL DEFAULT 0, "
      "concurrency INTEGER NOT NULL, objective text NOT NULL, comment text, config text NOT "
      "NULL, code text NOT NULL, created_at timestamp NOT NULL)",
      "create index if not exists sweeps_algorithm_index on sweeps (algorithm_id)"}},
    {"Start creating sweep_runs table",
     {"CREATE TABLE if not exists sweep_runs (id INTEGER PRIMARY KEY, sweep_id INTEGER NOT NULL, "
      "run_index INTEGER NOT NULL, parameters text NOT NULL, backtest_id INTEGER, summary text)",
      "create unique index if not exists sweep_runs_index on sweep_runs (sweep_id, run_index)",
      "create index if not exists sweep_runs_backtest_index on sweep_runs (backtest_id)"}},
}};

}  // namespace stratdesk::db::schema
