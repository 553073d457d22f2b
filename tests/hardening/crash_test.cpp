// The server is killed with SIGKILL at random moments while several clients post feed batches:
// every POST answered 200 must be stored in full, no POST may be stored in part, and the file
// must stay sound.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include <boost/json/serialize.hpp>

#include "db/connection.hpp"
#include "test_support.hpp"

namespace stratdesk::test {
namespace {

constexpr int rows_per_post = 120;  // three statements of 50, 50 and 20 rows
constexpr int clients = 3;
constexpr int rounds = 8;

std::string post_body(int client, int post) {
  boost::json::array rows;
  for (int row = 0; row < rows_per_post; ++row) {
    rows.push_back(boost::json::array{1, client, "2016-01-04 15:00:00",
                                      "p" + std::to_string(post) + "-r" + std::to_string(row), 20});
  }
  return form_encode({{"log_feeds", boost::json::serialize(rows)}});
}

TEST(CrashSafety, KilledServersKeepEveryAnsweredPostWholeAndNoPartialOne) {
  TempDir dir;
  std::mt19937 random(20261208);
  std::map<std::pair<int, int>, bool> answered;  // (client, post) -> answered 200
  std::mutex answered_mutex;
  int next_post[clients] = {};

  for (int round = 0; round < rounds; ++round) {
    ServerProcess server(dir.path());
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int client = 0; client < clients; ++client) {
      threads.emplace_back([&, client] {
        HttpClient http("127.0.0.1", server.port());
        while (!stop) {
          const int post = next_post[client]++;
          bool ok = false;
          try {
            ok = http.request("POST", "/api/feedgroup", post_body(client, post),
                              "application/x-www-form-urlencoded")
                     .status == 200;
          } catch (const std::exception&) {
            // The server died mid-request: the outcome is unknown, either whole or absent.
          }
          std::lock_guard lock(answered_mutex);
          answered[{client, post}] = ok;
          if (!ok) {
            return;
          }
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 300));
    server.kill_hard();
    stop = true;
    for (auto& thread : threads) {
      thread.join();
    }
  }

  db::Connection c(dir.path() + "/stratdesk.db");
  ASSERT_EQ(c.execute("PRAGMA integrity_check").at(0).at("integrity_check"), "ok");
  std::map<std::pair<int, int>, std::int64_t> stored;
  for (const auto& row : c.execute(
           "SELECT backtest_id, substr(content, 2, instr(content, '-') - 2) AS post, count(*) AS n "
           "FROM log_feeds GROUP BY backtest_id, post")) {
    stored[{static_cast<int>(row.at("backtest_id").as_int64()),
            std::stoi(std::string(row.at("post").as_string()))}] = row.at("n").as_int64();
  }
  int confirmed = 0;
  for (const auto& [key, ok] : answered) {
    const auto found = stored.find(key);
    const std::int64_t rows = found == stored.end() ? 0 : found->second;
    if (ok) {
      ++confirmed;
      EXPECT_EQ(rows, rows_per_post) << "answered POST " << key.first << "/" << key.second;
    } else {
      EXPECT_TRUE(rows == 0 || rows == rows_per_post)
          << "POST " << key.first << "/" << key.second << " stored in part: " << rows;
    }
  }
  EXPECT_GT(confirmed, rounds) << "the load must have reached the server";
  for (const auto& [key, rows] : stored) {
    EXPECT_TRUE(answered.contains(key)) << "rows nobody posted";
  }
}

}  // namespace
}  // namespace stratdesk::test
