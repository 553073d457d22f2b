// SIGKILL in the middle of launches and cascading deletions: an answered launch is recorded, a
// deletion is whole or absent, and the next start settles what the dead server left running.
#include <gtest/gtest.h>

#include <signal.h>

#include <random>
#include <thread>

#include "../server/engine_fakes.hpp"
#include "db/connection.hpp"
#include "test_support.hpp"

namespace stratdesk::test {
namespace {

constexpr int feed_rows_per_table = 400;

const char* const feed_tables[] = {"portfolio_feeds", "trade_feeds",   "log_feeds", "plot_feeds",
                                   "position_feeds",  "account_feeds", "risk_feeds"};

std::int64_t count(db::Connection& c, const std::string& sql, std::int64_t id) {
  return c.execute(sql, {id}).at(0).begin()->value().as_int64();
}

// Finished backtests with rows in every feed table, written straight into the database.
std::vector<std::int64_t> seed_finished_backtests(const std::string& db_path, int how_many) {
  db::Connection c(db_path);
  std::vector<std::int64_t> ids;
  for (int n = 0; n < how_many; ++n) {
    c.execute("INSERT INTO backtests (algorithm_id, config, state) VALUES (1, '{}', 'stopped')");
    const std::int64_t id = c.last_insert_rowid();
    ids.push_back(id);
    for (int row = 0; row < feed_rows_per_table; ++row) {
      c.execute(
          "INSERT INTO portfolio_feeds (algorithm_id, backtest_id, datetime) VALUES (1, ?, 'd')",
          {id});
      c.execute(
          "INSERT INTO trade_feeds (algorithm_id, backtest_id, datetime, order_book_id, "
          "exec_id) VALUES (1, ?, 'd', 'X', 'e')",
          {id});
      c.execute(
          "INSERT INTO log_feeds (algorithm_id, backtest_id, datetime, type) VALUES (1, ?, 'd', 2)",
          {id});
      c.execute(
          "INSERT INTO plot_feeds (algorithm_id, backtest_id, datetime, name) VALUES (1, ?, 'd', "
          "'p')",
          {id});
      c.execute(
          "INSERT INTO position_feeds (algorithm_id, backtest_id, datetime, order_book_id, "
          "type) VALUES (1, ?, 'd', 'X', 'STOCK')",
          {id});
      c.execute(
          "INSERT INTO account_feeds (algorithm_id, backtest_id, datetime, type) VALUES (1, "
          "?, 'd', 'STOCK')",
          {id});
      c.execute("INSERT INTO risk_feeds (algorithm_id, backtest_id, datetime) VALUES (1, ?, 'd')",
                {id});
    }
  }
  c.commit();
  return ids;
}

TEST(CrashSafety, ACascadingDeletionKilledHalfwayIsWholeOrAbsent) {
  TempDir dir;
  std::mt19937 random(7);
  std::vector<std::int64_t> ids;
  {
    ServerProcess first(dir.file("data"));
    ids = seed_finished_backtests(first.db_path(), 24);
  }
  std::vector<bool> answered(ids.size(), false);
  std::size_t next = 0;
  for (int round = 0; round < 6 && next < ids.size(); ++round) {
    ServerProcess server(dir.file("data"));
    std::thread deleter([&] {
      HttpClient client("127.0.0.1", server.port());
      for (; next < ids.size(); ++next) {
        try {
          const auto answer =
              client.request("DELETE", "/api/algorithms/1/backtests/" + std::to_string(ids[next]));
          answered[next] = answer.status == 200;
        } catch (const std::exception&) {
          return;  // killed mid-request: this one may be whole or absent
        }
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 80));
    server.kill_hard();
    deleter.join();
    ++next;
  }
  db::Connection c(dir.file("data") + "/stratdesk.db");
  ASSERT_EQ(c.execute("PRAGMA integrity_check").at(0).at("integrity_check"), "ok");
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const bool row = count(c, "SELECT count(*) FROM backtests WHERE id = ?", ids[i]) == 1;
    EXPECT_TRUE(!answered[i] || !row) << "answered deletion of " << ids[i] << " undone";
    for (const char* table : feed_tables) {
      const std::int64_t rows =
          count(c, std::string("SELECT count(*) FROM ") + table + " WHERE backtest_id = ?", ids[i]);
      EXPECT_EQ(rows, row ? feed_rows_per_table : 0)
          << "backtest " << ids[i] << " in " << table << ": deleted in part";
    }
  }
}

TEST(CrashSafety, LaunchesKilledAtAnyMomentLeaveNoBacktestRunningWithoutAnEngine) {
  TempDir dir;
  FakeEngine engine(dir.path());
  std::mt19937 random(11);
  std::vector<std::int64_t> answered;
  for (int round = 0; round < 5; ++round) {
    ServerProcess server(dir.file("data"), engine.server_options());
    std::thread launcher([&] {
      HttpClient client("127.0.0.1", server.port());
      for (;;) {
        try {
          const auto answer = launch(client, 1, minimal_config, "import time\ntime.sleep(60)\n");
          if (answer.status == 200) {
            answered.push_back(answer.json().at("id").as_int64());
          }
        } catch (const std::exception&) {
          return;
        }
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 200));
    server.kill_hard();
    launcher.join();
  }
  ASSERT_FALSE(answered.empty());
  // Engines of dead servers keep running; the next start settles their backtests. The log is
  // shared by every run, and a server killed while settling never wrote its own start-up line:
  // look for this run's line after what the earlier runs left.
  const std::size_t earlier_log = read_file(dir.file("data") + "/logs/stratdesk.log").size();
  ServerProcess server(dir.file("data"), engine.server_options());
  ASSERT_TRUE(wait_until([&] {
    return server.log_text().find("kestrun manager started", earlier_log) != std::string::npos;
  }));
  db::Connection c(server.db_path());
  ASSERT_EQ(c.execute("PRAGMA integrity_check").at(0).at("integrity_check"), "ok");
  for (std::int64_t id : answered) {
    EXPECT_EQ(count(c, "SELECT count(*) FROM backtests WHERE id = ?", id), 1) << id;
  }
  EXPECT_EQ(c.execute("SELECT count(*) AS n FROM backtests WHERE state = 'executing'")
                .at(0)
                .at("n")
                .as_int64(),
            0);
  std::error_code no_records;
  for (const auto& entry :
       std::filesystem::directory_iterator(dir.path() + "/records", no_records)) {
    if (entry.path().extension() != ".json") {
      continue;  // a record still being written
    }
    const auto record = boost::json::parse(read_file(entry.path().string())).as_object();
    ::kill(static_cast<pid_t>(record.at("pid").as_int64()), SIGKILL);
  }
}

}  // namespace
}  // namespace stratdesk::test
