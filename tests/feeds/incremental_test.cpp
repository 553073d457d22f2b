#include "feeds/feeds.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "db/connection.hpp"
#include "test_support.hpp"

namespace stratdesk::feeds {
namespace {

using boost::json::array;
using boost::json::value;
using test::HttpResponse;

// Rows for algorithm 3 of backtests 7 and 8, posted together as an engine would not but a
// client must cope with: ids of the two backtests interleave.
class IncrementalReadsTest : public ::testing::Test {
 protected:
  IncrementalReadsTest() : server_(dir_.path()), client_("127.0.0.1", server_.port()) {}

  void post_round(int round) {
    array logs;
    array portfolios;
    for (int n = 0; n < 4; ++n) {
      for (int backtest : {7, 8}) {
        const std::string text = "r" + std::to_string(round) + " b" + std::to_string(backtest) +
                                 " n" + std::to_string(n);
        // Later rounds carry earlier datetimes: id order and time order differ.
        const std::string at = "2016-01-" + std::to_string(20 - round * 5 - n) + " 15:00:00";
        logs.push_back(array{3, backtest, at, text, 20});
        portfolios.push_back(array{3, backtest, at, n % 2, nullptr, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0,
                                   1.0, 1.0, 1.0, 1.0});
      }
    }
    const HttpResponse answer = client_.post_form(
        "/api/feedgroup", {{"log_feeds", boost::json::serialize(logs)},
                           {"portfolio_feeds", boost::json::serialize(portfolios)}});
    ASSERT_EQ(answer.status, 200) << answer.body;
  }

  // Follows a backtest's log from `after` in pages of `limit`, as a live client does.
  std::vector<std::string> follow(int backtest, std::int64_t& after, int limit) {
    std::vector<std::string> seen;
    for (;;) {
      const HttpResponse response = client_.get(
          "/api/algorithms/3/backtests/" + std::to_string(backtest) +
          "/feeds/log?after_id=" + std::to_string(after) + "&limit=" + std::to_string(limit));
      EXPECT_EQ(response.status, 200) << response.body;
      const array rows = response.json().as_array();
      EXPECT_LE(rows.size(), static_cast<std::size_t>(limit));
      for (const auto& row : rows) {
        EXPECT_GT(row.at("id").as_int64(), after);
        after = row.at("id").as_int64();
        seen.emplace_back(row.at("content").as_string());
      }
      if (rows.size() < static_cast<std::size_t>(limit)) {
        return seen;
      }
    }
  }

  test::TempDir dir_;
  test::ServerProcess server_;
  test::HttpClient client_;
};

TEST_F(IncrementalReadsTest, ReadsEachNewRowOnceAcrossPostsAndBacktests) {
  std::int64_t after7 = 0;
  std::int64_t after8 = 0;
  for (int round = 0; round < 3; ++round) {
    post_round(round);
    const auto seen7 = follow(7, after7, 3);
    const auto seen8 = follow(8, after8, 3);
    ASSERT_EQ(seen7.size(), 4u) << "round " << round;
    ASSERT_EQ(seen8.size(), 4u) << "round " << round;
    for (int n = 0; n < 4; ++n) {
      const std::string round_text = "r" + std::to_string(round);
      EXPECT_EQ(seen7[n], round_text + " b7 n" + std::to_string(n));
      EXPECT_EQ(seen8[n], round_text + " b8 n" + std::to_string(n));
    }
  }
  // Nothing new: an empty page, not the last one again.
  EXPECT_EQ(
      client_.get("/api/algorithms/3/backtests/7/feeds/log?after_id=" + std::to_string(after7))
          .body,
      "[]");
  // Another algorithm's view of the same backtest id is empty.
  EXPECT_EQ(client_.get("/api/algorithms/4/backtests/7/feeds/log?after_id=0").body, "[]");

  // The portfolio route keeps its benchmark filter and its "N/A" substitution; the default
  // limit is 10.
  const HttpResponse own =
      client_.get("/api/algorithms/3/backtests/7/feeds/portfolio?after_id=0&limit=100");
  const array own_rows = own.json().as_array();
  ASSERT_EQ(own_rows.size(), 6u);
  for (const auto& row : own_rows) {
    EXPECT_EQ(row.at("is_benchmark"), 0);
    EXPECT_EQ(row.at("cash"), "N/A");
  }
  const array benchmark =
      client_.get("/api/algorithms/3/backtests/7/feeds/portfolio?after_id=0&is_benchmark=true")
          .json()
          .as_array();
  ASSERT_EQ(benchmark.size(), 6u);
  EXPECT_EQ(benchmark[0].at("is_benchmark"), 1);
  EXPECT_EQ(
      client_.get("/api/algorithms/3/backtests/8/feeds/log?after_id=0").json().as_array().size(),
      10u);
}

TEST_F(IncrementalReadsTest, BadAfterIdIsRefusedNamingTheArgumentOnEveryRoute) {
  for (const char* kind : {"portfolio", "trade", "log", "plot", "position", "account", "risk"}) {
    const std::string route = std::string("/api/algorithms/3/backtests/7/feeds/") + kind;
    for (const char* query : {"?after_id=-1", "?after_id=1.5", "?after_id=", "?after_id=x"}) {
      const HttpResponse response = client_.get(route + query);
      EXPECT_EQ(response.status, 400) << kind << query;
      EXPECT_NE(std::string(response.json().at("message").as_string()).find("after_id"),
                std::string::npos)
          << response.body;
    }
    const HttpResponse both = client_.get(route + "?after_id=3&start_index=0");
    EXPECT_EQ(both.status, 400) << kind;
    const std::string message(both.json().at("message").as_string());
    EXPECT_NE(message.find("after_id"), std::string::npos) << message;
    EXPECT_NE(message.find("start_index"), std::string::npos) << message;
  }
}

TEST_F(IncrementalReadsTest, AfterIdSearchesOnlyTheBacktestsOwnLaterRows) {
  post_round(0);  // the statistics-free planner must still choose the key on a filled table
  db::Connection c(server_.db_path());
  std::vector<std::pair<std::string, std::string>> statements;
  for (const auto& kind : feed_kinds) {
    statements.emplace_back(kind.table,
                            FeedQuery::after_id_sql(kind.table, kind.table == "portfolio_feeds"));
  }
  for (const auto& [table, sql] : statements) {
    EXPECT_NE(sql.find(table), std::string::npos);
    std::string plan;
    std::vector<value> parameters = {3, 7, 5, 10};
    if (std::count(sql.begin(), sql.end(), '?') == 5) {
      parameters.insert(parameters.begin() + 2, 0);
    }
    for (const auto& row : c.execute("EXPLAIN QUERY PLAN " + sql, parameters)) {
      plan += std::string(row.at("detail").as_string()) + "\n";
    }
    // Only the backtest's own later rows are visited, never those of other backtests.
    EXPECT_NE(plan.find("USING INDEX " + table + "_after_id_index (backtest_id=? AND id>?)"),
              std::string::npos)
        << table << "\n"
        << plan;
    EXPECT_EQ(plan.find("SCAN"), std::string::npos) << table << "\n" << plan;
    EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << table << "\n" << plan;
    EXPECT_EQ(plan.find("OFFSET"), std::string::npos);
  }
}

// A file written before the (backtest_id, id) indexes existed gets them when the server opens
// it, and every after_id page holds the rows a walk of the whole table finds.
TEST_F(IncrementalReadsTest, AnOlderFileGetsTheAfterIdIndexAtOpenWithAnswersUnchanged) {
  for (int round = 0; round < 3; ++round) {
    post_round(round);
  }
  const auto pages = [](test::HttpClient& client) {
    std::vector<std::string> bodies;
    for (int backtest : {7, 8}) {
      for (int after = 0; after <= 26; after += 3) {
        for (int limit : {1, 4, 100}) {
          bodies.push_back(client
                               .get("/api/algorithms/3/backtests/" + std::to_string(backtest) +
                                    "/feeds/log?after_id=" + std::to_string(after) +
                                    "&limit=" + std::to_string(limit))
                               .body);
        }
      }
    }
    return bodies;
  };
  const std::vector<std::string> before = pages(client_);
  ASSERT_EQ(server_.stop(), 0);
  {
    db::Connection c(server_.db_path());
    for (const char* table : {"portfolio_feeds", "trade_feeds", "log_feeds", "plot_feeds",
                              "position_feeds", "account_feeds", "risk_feeds"}) {
      c.execute("DROP INDEX " + std::string(table) + "_after_id_index");
    }
    c.commit();
  }
  test::ServerProcess reopened(dir_.path());
  test::HttpClient reopened_client("127.0.0.1", reopened.port());
  db::Connection c(server_.db_path());
  EXPECT_EQ(c.execute("SELECT name FROM sqlite_master WHERE name LIKE '%_after_id_index'").size(),
            7u);
  EXPECT_EQ(pages(reopened_client), before);

  std::size_t page = 0;
  for (int backtest : {7, 8}) {
    for (int after = 0; after <= 26; after += 3) {
      for (int limit : {1, 4, 100}) {
        std::vector<std::int64_t> expected;
        for (const auto& row : c.execute("SELECT id FROM log_feeds NOT INDEXED WHERE "
                                         "algorithm_id = 3 AND backtest_id = ? AND id > ? "
                                         "ORDER BY id LIMIT ?",
                                         {backtest, after, limit})) {
          expected.push_back(row.at("id").as_int64());
        }
        std::vector<std::int64_t> ids;
        const value body = boost::json::parse(before[page++]);
        for (const auto& row : body.as_array()) {
          ids.push_back(row.at("id").as_int64());
        }
        EXPECT_EQ(ids, expected) << backtest << " after " << after << " limit " << limit;
      }
    }
  }
}

}  // namespace
}  // namespace stratdesk::feeds
