#include "morvex_client/morvex_client.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/json/array.hpp>
#include <boost/json/parse.hpp>

#include "analytics_support.hpp"
#include "fake_analytics.hpp"
#include "test_support.hpp"

namespace stratdesk::morvex_client {
namespace {

using boost::json::array;
using boost::json::object;
using boost::json::value;
using morvex_api::fake::FakeAnalytics;
using morvex_api::fake::Mode;
using morvex_api::support::portfolio_row;
using morvex_api::support::position_row;
using morvex_api::support::trade_row;
using test::HttpResponse;

const std::string config =
    R"({"start_date": "2017-01-03", "end_date": "2017-01-31", "stock_starting_cash": 100000})";

// A port on 127.0.0.1 where nothing listens.
unsigned short unused_port() {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor acceptor(
      io, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
  return acceptor.local_endpoint().port();
}

std::string message_of(const HttpResponse& response) {
  return response.status == 200 ? "(answered 200)"
                                : std::string(response.json().at("message").as_string());
}

class ServiceTest : public ::testing::Test {
 protected:
  explicit ServiceTest(unsigned short port)
      : server_(morvex_api::support::prepared_data_dir(dir_.path()),
                {"--analytics-port", std::to_string(port), "--analytics-timeout", "5"}),
        client_("127.0.0.1", server_.port()) {
    morvex_api::support::insert_backtest(server_.db_path(), 5, config);
    morvex_api::support::post_feeds(
        client_,
        {{"portfolio_feeds", array{portfolio_row(5, "2017-01-03 15:00:00", 0, 10.0, 10.0, 1.0),
                                   portfolio_row(5, "2017-01-04 15:00:00", 0, 10.0, 11.0, 1.1)}},
         {"position_feeds",
          array{position_row(5, "2017-01-04 15:00:00", "600519.XSHG", 1, 1.0, 1.0)}},
         {"trade_feeds",
          array{trade_row(5, "2017-01-03 10:00:00", "600519.XSHG", "SIDE.BUY", 1, 1.0, "t1")}}});
  }

  HttpResponse get(const std::string& path) { return client_.get("/api/morvex/" + path); }

  test::TempDir dir_;
  test::ServerProcess server_;
  test::HttpClient client_;
};

// Constructed before the server, which needs its port, and destroyed after it.
struct FakeFirst {
  FakeAnalytics fake_;
};

class AnalyticsServiceTest : protected FakeFirst, public ServiceTest {
 protected:
  AnalyticsServiceTest() : ServiceTest(fake_.port()) {}
  // Every connection the server opened has been closed by the server.
  bool all_closed() const {
    return FakeAnalytics::wait_for([this] { return fake_.open_connections() == 0; });
  }
};

TEST_F(AnalyticsServiceTest, AnswersOnlyWholeValidFramesAndClosesEveryConnection) {
  fake_.set_mode(Mode::segmented);
  HttpResponse response = get("5/risk");
  EXPECT_EQ(response.status, 200) << response.body;
  EXPECT_EQ(response.json().at("answered"), "risk_analysis");

  fake_.set_mode(Mode::extra_bytes);
  response = get("5/risk");
  EXPECT_EQ(response.status, 200) << response.body;
  EXPECT_FALSE(response.json().as_object().contains("more"));

  const std::pair<Mode, std::string> failures[] = {
      {Mode::empty_body, "sent an empty answer"},
      {Mode::garbage, "sent an answer that is not valid JSON"},
      {Mode::truncated, "sent an answer that is not valid JSON"},
      {Mode::close_early, "closed the connection without answering"},
  };
  for (const auto& [mode, expected] : failures) {
    fake_.set_mode(mode);
    response = get("5/risk");
    EXPECT_EQ(response.status, 500) << expected;
    EXPECT_NE(message_of(response).find("the analytics service at 127.0.0.1:" +
                                        std::to_string(fake_.port()) + " " + expected),
              std::string::npos)
        << message_of(response);
  }
  EXPECT_TRUE(all_closed());

  fake_.set_mode(Mode::answer);
  fake_.on("risk_analysis", [](const object&) -> value { return array{1, 2}; });
  response = get("5/risk");
  EXPECT_EQ(response.status, 500);
  EXPECT_EQ(message_of(response),
            "the analytics service answered risk_analysis with something other than a JSON object");

  // The service's refusal is an error, not an analysis to show.
  fake_.on("risk_analysis", [](const object&) -> value {
    return object{{"error", "no bars for 000905.XSHG"}};
  });
  response = get("5/risk");
  EXPECT_EQ(response.status, 500);
  EXPECT_EQ(message_of(response),
            "the analytics service could not answer risk_analysis: no bars for 000905.XSHG");
  EXPECT_TRUE(all_closed());
}

// A risk figure over one observation: Python's service writes NaN and Infinity.
TEST_F(AnalyticsServiceTest, NonFiniteNumbersInAnAnswerAreAnsweredAsNull) {
  fake_.on("risk_analysis", [](const object&) -> value {
    return object{{"sharpe", std::numeric_limits<double>::quiet_NaN()},
                  {"volatility", std::numeric_limits<double>::infinity()},
                  {"max_drawdown", -std::numeric_limits<double>::infinity()},
                  {"alpha", 0.5}};
  });
  const HttpResponse response = get("5/risk");
  ASSERT_EQ(response.status, 200) << response.body;
  EXPECT_NE(fake_.received("risk_analysis").size(), 0u);
  boost::system::error_code ec;
  const value strict = boost::json::parse(response.body, ec);  // refuses NaN and Infinity
  ASSERT_FALSE(ec) << response.body;
  EXPECT_TRUE(strict.at("sharpe").is_null());
  EXPECT_TRUE(strict.at("volatility").is_null());
  EXPECT_TRUE(strict.at("max_drawdown").is_null());
  EXPECT_EQ(strict.at("alpha"), 0.5);
}

TEST_F(AnalyticsServiceTest, TheSymbolMapIsFetchedAgainUntilOneArrives) {
  fake_.set_mode(Mode::close_early);
  EXPECT_EQ(get("5/trades").status, 500);
  fake_.set_mode(Mode::answer);
  fake_.on("get_id_symbol_map", [](const object&) -> value {
    return object{{"error", "bundle not found"}};
  });
  const HttpResponse refused = get("5/trades");
  EXPECT_EQ(refused.status, 500);
  EXPECT_EQ(message_of(refused),
            "the analytics service could not answer get_id_symbol_map: bundle not found");
  fake_.on("get_id_symbol_map", [](const object&) -> value { return object{}; });
  EXPECT_EQ(get("5/trades").status, 500);
  fake_.on("get_id_symbol_map", [](const object&) -> value {
    return object{{"600519.XSHG", "云岭酒业"}};
  });
  EXPECT_EQ(get("5/trades").status, 200);
  EXPECT_EQ(get("5/can_analysis").json(), true);
  EXPECT_EQ(fake_.received("get_id_symbol_map").size(), 4u);
}

// Requests waiting for the service do not hold up other requests, nor each other.
TEST_F(AnalyticsServiceTest, ManyRequestsWaitForTheServiceAtOnce) {
  fake_.set_mode(Mode::hold);
  const std::vector<std::string> waiting = {"5/pnl", "5/risk", "5/sensitivity"};
  std::vector<std::atomic<int>> statuses(waiting.size());
  std::vector<std::thread> clients;
  for (std::size_t i = 0; i < waiting.size(); ++i) {
    clients.emplace_back([this, &waiting, &statuses, i] {
      test::HttpClient client("127.0.0.1", server_.port());
      statuses[i] = client.get("/api/morvex/" + waiting[i]).status;
    });
  }
  ASSERT_TRUE(FakeAnalytics::wait_for([this] { return fake_.held() == 3; }));
  EXPECT_EQ(get("5/overview").status, 200);
  EXPECT_EQ(get("5/holdings?date=2016-01-01").status, 200);
  for (const std::atomic<int>& status : statuses) {
    EXPECT_EQ(status.load(), 0);
  }

  fake_.release();
  for (std::thread& client : clients) {
    client.join();
  }
  for (const std::atomic<int>& status : statuses) {
    EXPECT_EQ(status.load(), 200);
  }
  EXPECT_TRUE(all_closed());
}

class AnalyticsServiceDown : public ServiceTest {
 protected:
  AnalyticsServiceDown() : ServiceTest(unused_port()) {}
};

TEST_F(AnalyticsServiceDown, EveryAnalysisSaysTheServiceCannotBeReached) {
  for (const char* path : {"5/trades", "5/pnl", "5/exposure", "5/exposure_diff", "5/sensitivity",
                           "5/risk", "5/brinson", "5/can_analysis"}) {
    const HttpResponse response = get(path);
    EXPECT_EQ(response.status, 500) << path;
    EXPECT_NE(message_of(response).find("the analytics service could not be reached at 127.0.0.1:"),
              std::string::npos)
        << path << ": " << response.body;
  }
  EXPECT_EQ(get("5/overview").status, 200);
}

TEST(AnalyticsTimeLimit, ARequestThatOutlivesTheTimeLimitFailsAndItsConnectionIsClosed) {
  FakeAnalytics fake;
  fake.set_mode(Mode::silent);
  test::TempDir dir;
  test::ServerProcess server(
      morvex_api::support::prepared_data_dir(dir.path()),
      {"--analytics-port", std::to_string(fake.port()), "--analytics-timeout", "0.3"});
  test::HttpClient client("127.0.0.1", server.port());
  morvex_api::support::insert_backtest(server.db_path(), 5, config);
  morvex_api::support::post_feeds(
      client, {{"portfolio_feeds", array{portfolio_row(5, "2017-01-03 15:00:00", 0, 1, 1, 1)}}});

  const auto started = std::chrono::steady_clock::now();
  const HttpResponse response = client.get("/api/morvex/5/sensitivity");
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(response.status, 500);
  EXPECT_EQ(message_of(response),
            "the analytics service did not answer in time (nothing from "
            "127.0.0.1:" +
                std::to_string(fake.port()) + " within 300 ms)");
  EXPECT_GE(took, std::chrono::milliseconds(300));
  EXPECT_LT(took, std::chrono::seconds(3));
  EXPECT_EQ(fake.received("sensitivity_analysis").size(), 1u);
  EXPECT_TRUE(FakeAnalytics::wait_for([&fake] { return fake.open_connections() == 0; }));
  EXPECT_EQ(client.get("/api/morvex/5/overview").status, 200);
}

// A request still waiting for the service when the shutdown's grace period ends is cancelled
// with the server's background tasks, which are all waited for before the server exits.
TEST(AnalyticsShutdown, ARequestOutlivingTheGracePeriodIsCancelledAndEveryTaskEnds) {
  FakeAnalytics fake;
  fake.set_mode(Mode::silent);
  test::TempDir dir;
  test::ServerProcess server(
      morvex_api::support::prepared_data_dir(dir.path()),
      {"--analytics-port", std::to_string(fake.port()), "--analytics-timeout", "120"});
  test::HttpClient client("127.0.0.1", server.port());
  morvex_api::support::insert_backtest(server.db_path(), 5, config);
  morvex_api::support::post_feeds(
      client, {{"portfolio_feeds", array{portfolio_row(5, "2017-01-03 15:00:00", 0, 1, 1, 1)}}});

  std::thread waiting([port = server.port()] {
    test::HttpClient waiter("127.0.0.1", port);
    try {
      waiter.get("/api/morvex/5/sensitivity");
    } catch (const std::exception&) {
      // The server closes the connection without an answer.
    }
  });
  EXPECT_TRUE(FakeAnalytics::wait_for(
      [&fake] { return fake.received("sensitivity_analysis").size() == 1; }));
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(server.stop(std::chrono::seconds(30)), 0);
  const auto took = std::chrono::steady_clock::now() - started;
  waiting.join();
  // The 10 s grace for requests in flight, then the cancellation, which ends at once.
  EXPECT_GE(took, std::chrono::seconds(10));
  EXPECT_LT(took, std::chrono::seconds(12));
  const std::string log = server.log_text();
  EXPECT_NE(log.find("kestrun manager stopped"), std::string::npos) << log;
  EXPECT_NE(log.find("server stopped"), std::string::npos) << log;
  EXPECT_EQ(log.find("did not end when cancelled"), std::string::npos) << log;
  EXPECT_EQ(log.find(" ended"), std::string::npos) << log;
  // Nor is the request a failure of the service or of the server.
  EXPECT_EQ(log.find("/api/morvex/5/sensitivity"), std::string::npos) << log;
  EXPECT_TRUE(FakeAnalytics::wait_for([&fake] { return fake.open_connections() == 0; }));
}

}  // namespace
}  // namespace stratdesk::morvex_client
