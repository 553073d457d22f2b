#include <cmath>
#include <csignal>

#include "db/db.hpp"
#include "log/log.hpp"
#include "server/server.hpp"

namespace stratdesk::server {
namespace {

void store_backtest_stopped(db::Connection& conn, std::int64_t backtest_id) {
  // A connection left inside a failed transaction would hold the database's read snapshot and
  // fail every later statement of the task the same way: the guard rolls a failure back.
  db::Transaction transaction(conn);
  conn.execute("UPDATE backtests SET state = ? WHERE backtests.id = ?",
               {db::Value("stopped"), db::Value(backtest_id)});
  transaction.commit();
}

}  // namespace

db::Connection create_connection(const std::string& sqlite_url) {
  return db::open_connection(sqlite_url);
}

asio::awaitable<void> mark_backtest_end(db::Writer& writer, std::int64_t backtest_id) {
  log::logger().info("Set backtest<{}> stopped", backtest_id);
  co_await writer.write(
      [backtest_id](db::Connection& conn) { store_backtest_stopped(conn, backtest_id); });
}

void publish_backtest_state(db::Connection& conn, events::EventHub& hub, std::int64_t backtest_id) {
  try {
    const db::Rows rows =
        conn.execute("SELECT algorithm_id, state, exception FROM backtests WHERE backtests.id = ?",
                     {db::Value(backtest_id)});
    if (!rows.empty()) {
      const db::Row& row = rows.front();
      hub.publish(events::BacktestEvent{backtest_id, row.at("algorithm_id"), row.at("state"),
                                        row.at("exception")});
    }
  } catch (const std::exception& e) {
    log::logger().error("cannot announce the state of backtest {}: {}", backtest_id, e.what());
  }
}

std::int64_t whole_seconds_between(double start, double end) {
  return static_cast<std::int64_t>(std::trunc(end)) - static_cast<std::int64_t>(std::trunc(start));
}

std::string end_exception_text(const ChildExit& exit, bool stop_requested) {
  if (exit.poll_code == 0 && !exit.status_lost) {
    return {};
  }
  if (stop_requested) {
    return "stopped by request";
  }
  if (exit.status_lost) {
    return "engine exit status unknown";
  }
  if (exit.poll_code > 0) {
    return "engine exited with code " + std::to_string(exit.poll_code);
  }
  return "engine ended by signal " + std::to_string(-exit.poll_code);
}

}  // namespace stratdesk::server
