#include "feeds/feeds.hpp"

#include <gtest/gtest.h>

#include <limits>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "db/connection.hpp"
#include "test_support.hpp"

namespace stratdesk::feeds {
namespace {

using boost::json::array;
using boost::json::value;
using test::HttpResponse;

const std::string feeds_prefix = "/api/algorithms/3/backtests/7/feeds/";

std::string day(int n) {
  char text[32];
  std::snprintf(text, sizeof text, "2016-01-%02d 15:00:00", n);
  return text;
}

array portfolio_row(int algorithm, int backtest, const std::string& at, value is_benchmark,
                    double total) {
  return array{algorithm, backtest, at,  is_benchmark, 1000.0, total, total - 1000.0, 1.01,
               total,     1.0,      0.1, 0.2,          total,  0.01,  100000.0};
}

array log_row(int n, value type = 20) {
  return array{3, 7, day(1 + n % 28), "line " + std::to_string(n), type};
}

class FeedsTest : public ::testing::Test {
 protected:
  FeedsTest() : server_(dir_.path()), client_("127.0.0.1", server_.port()) {}

  HttpResponse post(const std::vector<std::pair<std::string, value>>& kinds) {
    std::vector<std::pair<std::string, std::string>> fields;
    for (const auto& [name, rows] : kinds) {
      fields.emplace_back(name, boost::json::serialize(rows));
    }
    return client_.post_form("/api/feedgroup", fields);
  }

  array page(const std::string& kind, const std::string& query = "") {
    const HttpResponse response = client_.get(feeds_prefix + kind + query);
    EXPECT_EQ(response.status, 200) << response.body;
    return response.json().as_array();
  }

  std::int64_t rows_in(const std::string& table) {
    db::Connection c(server_.db_path());
    return c.execute("SELECT count(*) AS n FROM " + table).at(0).at("n").as_int64();
  }

  test::TempDir dir_;
  test::ServerProcess server_;
  test::HttpClient client_;
};

TEST_F(FeedsTest, StoresEveryKindFromBothFormEncodings) {
  const array position{3,      7,   day(4), "000001.XSHE", "STOCK", 100.0, 10.5, 10.0,
                       1050.0, 0.0, 1.0,    0.0,           100.0,   10.0,  0.0,  0.0,
                       0.0,    0.0, 1050.0, 0.0,           50.0,    5.0,   5.0,  0.0};
  const array trade{3,    7,   day(4), "000001.XSHE", "o1", "SIDE.BUY", "POSITION_EFFECT.OPEN",
                    "e1", 5.0, 100.0,  10.0,          5.0,  0.0};
  const array risk{3, 7, day(4), 0.1, 1.1, 1.5, 2.0, 0.3, 0.2, 0.05, 0.04, 0.1};
  const array account{3, 7, day(4), "STOCK", 1000.0, 5.0, 1050.0, 2050.0, 0.0};
  const HttpResponse urlencoded =
      post({{"portfolio_feeds", array{portfolio_row(3, 7, day(4), 0, 2050.0)}},
            {"position_feeds", array{position}},
            {"trade_feeds", array{trade}},
            {"risk_feeds", array{risk}},
            {"account_feeds", array{account}},
            {"log_feeds", array{log_row(1)}},
            {"ignored_field", array{array{1}}}});
  ASSERT_EQ(urlencoded.status, 200) << urlencoded.body;
  EXPECT_EQ(urlencoded.body, "null");

  const std::string boundary = "----WebKitFormBoundary7MA4YWxkTrZu0gW";
  const std::string body =
      "--" + boundary + "\r\nContent-Disposition: form-data; name=\"plot_feeds\"\r\n\r\n" +
      R"([[3, 7, "2016-01-04 15:00:00", "ma5", 10.2]])" + "\r\n--" + boundary + "--\r\n";
  const HttpResponse multipart =
      client_.request("POST", "/api/feedgroup", body, "multipart/form-data; boundary=" + boundary);
  ASSERT_EQ(multipart.status, 200) << multipart.body;

  for (const char* kind : {"portfolio", "position", "trade", "risk", "account", "log", "plot"}) {
    EXPECT_EQ(page(kind).size(), 1u) << kind;
  }
  const auto plot = page("plot").at(0).as_object();
  EXPECT_EQ(plot.at("name"), "ma5");
  EXPECT_EQ(plot.at("value"), 10.2);
  EXPECT_EQ(plot.at("datetime"), "2016-01-04 15:00:00");
  const auto stored = page("position").at(0).as_object();
  EXPECT_EQ(stored.at("buy_market_value"), 1050.0);
  EXPECT_EQ(stored.at("sell_market_value"), 0.0);
  EXPECT_EQ(stored.at("pnl"), 50.0);
  EXPECT_EQ(stored.at("sell_transaction_cost"), 0.0);
}

TEST_F(FeedsTest, BatchesOfFiftyKeepPostedOrderAndAscendingIds) {
  array rows;
  for (int n = 0; n < 120; ++n) {
    rows.push_back(array{3, 7, "2016-01-04 15:00:00", "row " + std::to_string(n), 20});
  }
  ASSERT_EQ(post({{"log_feeds", rows}, {"plot_feeds", array{}}}).status, 200);
  db::Connection c(server_.db_path());
  const auto stored = c.execute("SELECT id, content FROM log_feeds ORDER BY id");
  ASSERT_EQ(stored.size(), 120u);
  for (std::size_t n = 0; n < stored.size(); ++n) {
    EXPECT_EQ(stored[n].at("content"), boost::json::value("row " + std::to_string(n)));
    if (n > 0) {
      EXPECT_GT(stored[n].at("id").as_int64(), stored[n - 1].at("id").as_int64());
    }
  }
  // The same rows again are stored again.
  ASSERT_EQ(post({{"log_feeds", rows}}).status, 200);
  EXPECT_EQ(rows_in("log_feeds"), 240);
}

TEST_F(FeedsTest, AFailingBatchIsReportedWithItsSizeAndNothingOfThePostIsStored) {
  for (const auto& [bad_row, batch_size] : {std::pair{30, 50}, std::pair{110, 20}}) {
    array rows;
    for (int n = 0; n < 120; ++n) {
      rows.push_back(log_row(n, n == bad_row ? value(nullptr) : value(20)));
    }
    const HttpResponse response = post(
        {{"portfolio_feeds", array{portfolio_row(3, 7, day(4), 0, 1.0)}}, {"log_feeds", rows}});
    EXPECT_EQ(response.status, 500);
    EXPECT_TRUE(response.json().at("message").is_string());
    EXPECT_NE(server_.stderr_text().find(std::to_string(batch_size) + "   [[3,7,"),
              std::string::npos)
        << "diagnostic for a failing batch of " << batch_size;
  }
  EXPECT_EQ(rows_in("log_feeds"), 0);
  EXPECT_EQ(rows_in("portfolio_feeds"), 0);
}

TEST_F(FeedsTest, RowsThatCannotBeStoredFailTheWholePost) {
  const array good = portfolio_row(3, 7, day(4), 0, 1.0);
  array short_row = good;
  short_row.pop_back();
  array long_row = good;
  long_row.push_back(1);
  array nested = good;
  nested[5] = array{1};
  const array trade_without_exec{3,       7,   day(4), "000001.XSHE", "o1", "SIDE.BUY", nullptr,
                                 nullptr, 1.0, 1.0,    1.0,           1.0,  1.0};
  const std::vector<std::vector<std::pair<std::string, value>>> bad_posts = {
      {{"portfolio_feeds", array{good, short_row}}},
      {{"portfolio_feeds", array{good, long_row}}},
      {{"portfolio_feeds", array{good, nested}}},
      {{"portfolio_feeds", array{good}}, {"trade_feeds", array{trade_without_exec}}},
      {{"portfolio_feeds", array{good}}, {"plot_feeds", array{1, 2}}},
      {{"portfolio_feeds", array{good}}, {"plot_feeds", boost::json::object{}}},
      {{"plot_feeds", array{array{3, 7, day(4), nullptr, 1.0}}}},
  };
  for (const auto& kinds : bad_posts) {
    const HttpResponse response = post(kinds);
    EXPECT_EQ(response.status, 500) << boost::json::serialize(kinds.back().second);
  }
  const HttpResponse not_json =
      client_.post_form("/api/feedgroup", {{"portfolio_feeds", "[[3, 7,"}});
  EXPECT_EQ(not_json.status, 500);
  EXPECT_EQ(rows_in("portfolio_feeds"), 0);
  EXPECT_EQ(rows_in("trade_feeds"), 0);
  EXPECT_EQ(rows_in("plot_feeds"), 0);

  // The server keeps serving, and rows of unknown algorithms and backtests are stored as posted.
  EXPECT_EQ(post({{"portfolio_feeds", array{portfolio_row(99, 98, day(4), 0, 1.0)}}}).status, 200);
  EXPECT_EQ(rows_in("portfolio_feeds"), 1);
}

TEST_F(FeedsTest, AFormWithoutFeedsOrAJsonBodyStoresNothing) {
  EXPECT_EQ(client_.post_form("/api/feedgroup", {{"other", "1"}}).body, "null");
  const HttpResponse json = client_.request(
      "POST", "/api/feedgroup", R"({"log_feeds": [[3,7,"x","y",1]]})", "application/json");
  EXPECT_EQ(json.status, 200);
  EXPECT_EQ(rows_in("log_feeds"), 0);
}

TEST_F(FeedsTest, BenchmarkFlagSelectsRowsAndNullFlagsAreNeverServed) {
  ASSERT_EQ(post({{"portfolio_feeds", array{portfolio_row(3, 7, day(5), 0, 1.0),
                                            portfolio_row(3, 7, day(5), true, 2.0),
                                            portfolio_row(3, 7, day(6), false, 3.0),
                                            portfolio_row(3, 7, day(6), nullptr, 4.0)}}})
                .status,
            200);
  const auto own = page("portfolio");
  ASSERT_EQ(own.size(), 2u);
  EXPECT_EQ(own[0].at("total_value"), 1.0);
  EXPECT_EQ(own[1].at("total_value"), 3.0);
  for (const char* truth : {"true", "TRUE", "True", "1"}) {
    const auto benchmark = page("portfolio", std::string("?is_benchmark=") + truth);
    ASSERT_EQ(benchmark.size(), 1u) << truth;
    EXPECT_EQ(benchmark[0].at("is_benchmark"), 1);
  }
  EXPECT_EQ(page("portfolio", "?is_benchmark=FALSE").size(), 2u);
  db::Connection c(server_.db_path());
  EXPECT_EQ(c.execute("SELECT count(*) AS n FROM portfolio_feeds WHERE is_benchmark IS NULL")
                .at(0)
                .at("n"),
            1);
}

TEST_F(FeedsTest, PagesFollowDatetimeOrderWithOffsetAndLimit) {
  array rows;
  for (int n = 25; n >= 1; --n) {
    rows.push_back(array{3, 7, day(n), "s", static_cast<double>(n)});
  }
  rows.push_back(array{4, 7, day(1), "other algorithm", 0.0});
  ASSERT_EQ(post({{"plot_feeds", rows}}).status, 200);
  const auto first = page("plot");
  ASSERT_EQ(first.size(), 10u);
  for (int n = 0; n < 10; ++n) {
    EXPECT_EQ(first[static_cast<std::size_t>(n)].at("value"), static_cast<double>(n + 1));
  }
  const auto second = page("plot", "?start_index=20&limit=10");
  ASSERT_EQ(second.size(), 5u);
  EXPECT_EQ(second[0].at("value"), 21.0);
  EXPECT_TRUE(page("plot", "?limit=0").empty()) << "an explicit 0 is not the default";
  EXPECT_TRUE(page("plot", "?start_index=25").empty());
  EXPECT_EQ(page("plot", "?limit=+3&start_index=%201").size(), 3u);
  const auto wrong_algorithm = client_.get("/api/algorithms/5/backtests/7/feeds/plot");
  EXPECT_EQ(wrong_algorithm.body, "[]");
}

TEST_F(FeedsTest, MalformedArgumentsAreRefusedOnEveryRouteNamingTheArgument) {
  for (const char* kind : {"portfolio", "trade", "log", "plot", "position", "account", "risk"}) {
    for (const auto& [query, name] :
         std::vector<std::pair<std::string, std::string>>{{"?is_benchmark=yes", "is_benchmark"},
                                                          {"?is_benchmark=", "is_benchmark"},
                                                          {"?start_index=-1", "start_index"},
                                                          {"?limit=-5", "limit"},
                                                          {"?limit=ten", "limit"},
                                                          {"?limit=", "limit"},
                                                          {"?start_index=1.5", "start_index"}}) {
      const HttpResponse response = client_.get(feeds_prefix + kind + query);
      EXPECT_EQ(response.status, 400) << kind << query;
      const std::string message(response.json().at("message").as_string());
      EXPECT_NE(message.find(name), std::string::npos) << message;
    }
  }
  EXPECT_EQ(client_.get("/api/algorithms/x/backtests/7/feeds/log").status, 404);
  EXPECT_EQ(client_.get("/api/algorithms/-3/backtests/7/feeds/log").status, 404);
  EXPECT_EQ(client_.get("/api/feedgroup").status, 405);
  EXPECT_EQ(client_.request("POST", feeds_prefix + "log").status, 405);
}

TEST_F(FeedsTest, NullsShowAsNotAvailableOnlyInTheListedColumns) {
  const array trade{3,    7,       day(4),  "000001.XSHE", nullptr, nullptr, nullptr,
                    "e1", nullptr, nullptr, nullptr,       nullptr, nullptr};
  array position(24, nullptr);
  position[0] = 3;
  position[1] = 7;
  position[2] = day(4);
  position[3] = "000001.XSHE";
  position[4] = "STOCK";
  ASSERT_EQ(post({{"trade_feeds", array{trade}},
                  {"position_feeds", array{position}},
                  {"log_feeds", array{array{3, 7, day(4), nullptr, 20}}}})
                .status,
            200);
  const auto t = page("trade").at(0).as_object();
  EXPECT_TRUE(t.at("side").is_null());
  EXPECT_TRUE(t.at("order_id").is_null());
  EXPECT_EQ(t.at("commission"), "N/A");
  EXPECT_EQ(t.at("position_effect"), "N/A");
  const auto p = page("position").at(0).as_object();
  EXPECT_TRUE(p.at("pnl").is_null());
  EXPECT_TRUE(p.at("transaction_cost").is_null());
  EXPECT_EQ(p.at("buy_market_value"), "N/A");
  EXPECT_TRUE(page("log").at(0).at("content").is_null());
}

// What Python's json.dumps writes for a Sharpe ratio or a volatility over one observation.
TEST_F(FeedsTest, NonFiniteNumbersFromPythonAreStoredAndAnsweredAsStrictJson) {
  const array position{3,      7,   day(4), "000001.XSHE", "STOCK", 100.0, 10.5, 10.0,
                       1050.0, 0.0, 1.0,    0.0,           100.0,   10.0,  0.0,  0.0,
                       0.0,    0.0, 1050.0, 0.0,           50.0,    5.0,   5.0,  0.0};
  const std::string risk =
      "[[3, 7, \"" + day(4) + "\", NaN, Infinity, -Infinity, 1e400, 0.5, NaN, 0.1, 0.2, 0.3]]";
  const HttpResponse posted = client_.post_form(
      "/api/feedgroup",
      {{"risk_feeds", risk}, {"position_feeds", boost::json::serialize(array{position})}});
  ASSERT_EQ(posted.status, 200) << posted.body;
  EXPECT_EQ(rows_in("position_feeds"), 1);

  db::Connection c(server_.db_path());
  const auto stored = c.execute(
      "SELECT alpha, typeof(alpha) AS alpha_type, beta, sharpe, sortino, volatility FROM "
      "risk_feeds");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].at("alpha_type"), "null");
  EXPECT_EQ(stored[0].at("beta").as_double(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(stored[0].at("sharpe").as_double(), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(stored[0].at("sortino").as_double(), std::numeric_limits<double>::infinity());
  EXPECT_TRUE(stored[0].at("volatility").is_null());

  const HttpResponse answer = client_.get(feeds_prefix + "risk");
  ASSERT_EQ(answer.status, 200) << answer.body;
  boost::system::error_code ec;
  const value strict = boost::json::parse(answer.body, ec);  // refuses NaN and Infinity
  ASSERT_FALSE(ec) << answer.body;
  const auto& row = strict.as_array().at(0).as_object();
  EXPECT_TRUE(row.at("beta").is_null());
  EXPECT_TRUE(row.at("sharpe").is_null());
  EXPECT_EQ(row.at("information_ratio"), 0.5);
}

// A page larger than one piece goes out in chunks read from one statement: the same rows, in
// order, and the connection goes on serving. Small pages keep their length.
TEST_F(FeedsTest, ALargePageIsSentInChunksWithTheSameRows) {
  constexpr int rows = 400;
  array logs;
  for (int n = 0; n < rows; ++n) {
    logs.push_back(array{3, 7, day(1 + n % 28), std::string(4000, 'a' + n % 26), 20});
  }
  ASSERT_EQ(post({{"log_feeds", logs}}).status, 200);

  const HttpResponse small = client_.get(feeds_prefix + std::string("log?limit=5"));
  EXPECT_EQ(small.headers.count("transfer-encoding"), 0u);
  EXPECT_EQ(small.json().as_array().size(), 5u);
  for (const char* query : {"log?limit=100000000", "log?after_id=0&limit=100000000"}) {
    const HttpResponse large = client_.get(feeds_prefix + std::string(query));
    ASSERT_EQ(large.status, 200) << query;
    EXPECT_EQ(large.headers.at("transfer-encoding"), "chunked") << query;
    const array got = large.json().as_array();
    ASSERT_EQ(got.size(), static_cast<std::size_t>(rows)) << query;
    std::int64_t last_id = 0;
    for (const auto& row : got) {
      EXPECT_EQ(row.at("content").as_string().size(), 4000u);
      if (std::string(query).find("after_id") != std::string::npos) {
        EXPECT_GT(row.at("id").as_int64(), last_id);
        last_id = row.at("id").as_int64();
      }
    }
    // The same connection serves the next request.
    EXPECT_EQ(client_.get(feeds_prefix + std::string("log?limit=1")).json().as_array().size(), 1u);
  }
  const HttpResponse head = client_.request("HEAD", feeds_prefix + std::string("log?limit=1000"));
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.body, "");
}

TEST(FeedsDurability, AnAnsweredPostSurvivesAKillRightAfter) {
  test::TempDir dir;
  for (int round = 0; round < 5; ++round) {
    test::ServerProcess server(dir.path());
    test::HttpClient client("127.0.0.1", server.port());
    array rows;
    for (int n = 0; n < 200; ++n) {
      rows.push_back(array{3, 7, day(1 + n % 28), "r" + std::to_string(round), 20});
    }
    const HttpResponse answer =
        client.post_form("/api/feedgroup", {{"log_feeds", boost::json::serialize(rows)}});
    ASSERT_EQ(answer.status, 200);
    server.kill_hard();
  }
  db::Connection c(dir.path() + "/stratdesk.db");
  EXPECT_EQ(c.execute("SELECT count(*) AS n FROM log_feeds").at(0).at("n"), 1000);
  EXPECT_EQ(c.execute("PRAGMA integrity_check").at(0).at("integrity_check"), "ok");
}

}  // namespace
}  // namespace stratdesk::feeds
