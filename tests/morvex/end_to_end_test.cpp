#include "api/api.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "analytics_support.hpp"
#include "test_support.hpp"

extern char** environ;

namespace stratdesk::morvex_api {
namespace {

using boost::json::array;
using boost::json::object;
using boost::json::value;
using support::portfolio_row;
using support::position_row;
using support::trade_row;

const std::string source_dir = STRATDESK_SOURCE_DIR;

// The repository's stand-in analytics service on a port of its own choosing.
class StandInService {
 public:
  StandInService() {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const std::string script = source_dir + "/analytics/analytics-service.py";
    std::vector<const char*> argv = {"python3", script.c_str(), "--port", "0", nullptr};
    const int rc = ::posix_spawnp(&pid_, "python3", &actions, nullptr,
                                  const_cast<char* const*>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
      ::close(out[0]);
      throw std::runtime_error("cannot start the analytics service");
    }
    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (output.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd descriptor{out[0], POLLIN, 0};
      if (::poll(&descriptor, 1, 100) <= 0) {
        continue;
      }
      char chunk[256];
      const ssize_t n = ::read(out[0], chunk, sizeof chunk);
      if (n <= 0) {
        break;
      }
      output.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    const std::string prefix = "listening on 127.0.0.1:";
    if (output.rfind(prefix, 0) != 0) {
      stop();
      throw std::runtime_error("the analytics service did not start: " + output);
    }
    port_ = static_cast<unsigned short>(std::stoi(output.substr(prefix.size())));
  }
  ~StandInService() { stop(); }
  StandInService(const StandInService&) = delete;
  StandInService& operator=(const StandInService&) = delete;

  [[nodiscard]] unsigned short port() const { return port_; }

 private:
  void stop() {
    if (pid_ <= 0) {
      return;
    }
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 500 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (i == 499) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
      }
    }
    pid_ = -1;
  }

  pid_t pid_ = -1;
  unsigned short port_ = 0;
};

// Day -> close of one instrument in the sample bundle.
std::map<std::string, double> closes(const std::string& order_book_id) {
  std::ifstream in(source_dir + "/sample-data/bundle/bars/" + order_book_id + ".csv");
  std::map<std::string, double> by_day;
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::stringstream fields(line);
    std::string day;
    std::string field;
    std::getline(fields, day, ',');
    for (int i = 0; i < 4; ++i) {
      std::getline(fields, field, ',');
    }
    by_day[day] = std::stod(field);
  }
  return by_day;
}

// A quarter of a two-stock strategy on the sample bundle, posted as its engine would post it:
// buy 600519.XSHG and 000001.XSHE on the first day, sell half of 000001.XSHE on the fortieth.
struct Posted {
  std::vector<std::string> days;
  double last_unit_net_value = 0;
};

Posted post_quarter(test::HttpClient& client, std::int64_t backtest_id) {
  const auto liquor = closes("600519.XSHG");
  const auto bank = closes("000001.XSHE");
  const auto index = closes("000300.XSHG");
  Posted posted;
  for (const auto& [day, close] : index) {
    if (day >= "2015-01-05" && day <= "2015-04-30" && liquor.contains(day) && bank.contains(day)) {
      posted.days.push_back(day);
    }
  }
  const double starting_cash = 1000000.0;
  double cash = starting_cash;
  const auto shares = [](double money, double price) {
    return std::floor(money / price / 100) * 100;
  };
  const std::string& first = posted.days.front();
  const double liquor_quantity = shares(400000, liquor.at(first));
  double bank_quantity = shares(400000, bank.at(first));
  const double liquor_cost = liquor.at(first);
  const double bank_cost = bank.at(first);
  cash -= liquor_quantity * liquor_cost + bank_quantity * bank_cost;
  array portfolio;
  array positions;
  array trades{trade_row(backtest_id, first + " 15:00:00", "600519.XSHG", "SIDE.BUY",
                         liquor_quantity, liquor_cost, "x1"),
               trade_row(backtest_id, first + " 15:00:00", "000001.XSHE", "SIDE.BUY", bank_quantity,
                         bank_cost, "x2")};
  for (std::size_t i = 0; i < posted.days.size(); ++i) {
    const std::string& day = posted.days[i];
    const std::string at = day + " 15:00:00";
    if (i == 40) {
      const double sold = bank_quantity / 2;
      cash += sold * bank.at(day);
      bank_quantity -= sold;
      trades.push_back(
          trade_row(backtest_id, at, "000001.XSHE", "SIDE.SELL", sold, bank.at(day), "x3"));
    }
    positions.push_back(
        position_row(backtest_id, at, "600519.XSHG", liquor_quantity, liquor.at(day), liquor_cost));
    positions.push_back(
        position_row(backtest_id, at, "000001.XSHE", bank_quantity, bank.at(day), bank_cost));
    const double total = cash + liquor_quantity * liquor.at(day) + bank_quantity * bank.at(day);
    posted.last_unit_net_value = total / starting_cash;
    portfolio.push_back(portfolio_row(backtest_id, at, 0, cash, total, posted.last_unit_net_value));
    portfolio.push_back(
        portfolio_row(backtest_id, at, 1, 0.0, 0.0, index.at(day) / index.at(posted.days.front())));
  }
  support::post_feeds(
      client,
      {{"portfolio_feeds", portfolio}, {"position_feeds", positions}, {"trade_feeds", trades}});
  return posted;
}

TEST(AnalyticsEndToEnd, EveryAnalysisOfAQuarterOnTheSampleBundle) {
  StandInService service;
  test::TempDir dir;
  test::ServerProcess server(support::prepared_data_dir(dir.path()),
                             {"--analytics-port", std::to_string(service.port())});
  test::HttpClient client("127.0.0.1", server.port());
  support::insert_backtest(server.db_path(), 1,
                           R"({"start_date": "2015-01-05", "end_date": "2015-04-30", )"
                           R"("stock_starting_cash": 1000000, "benchmark": "000300.XSHG", )"
                           R"("frequency": "1d"})");
  const Posted posted = post_quarter(client, 1);
  const auto read = [&client](const std::string& path) {
    const test::HttpResponse response = client.get("/api/morvex/1/" + path);
    EXPECT_EQ(response.status, 200) << path << ": " << response.body;
    return response.status == 200 ? response.json() : value();
  };

  EXPECT_EQ(read("overview").at("starting_cash"), 1000000);
  EXPECT_EQ(read("can_analysis"), true);

  const value trades = read("trades");
  ASSERT_EQ(trades.as_array().size(), 3u);
  EXPECT_EQ(trades.at(0).at("symbol"), "云岭酒业");
  EXPECT_EQ(trades.at(2).at("side"), "SELL");
  EXPECT_EQ(trades.at(2).at("symbol"), "青石银行");

  const value pnl = read("pnl");
  EXPECT_EQ(pnl.at("dates").as_array().size(), posted.days.size());
  EXPECT_EQ(pnl.at("benchmark"), "000300.XSHG");
  EXPECT_EQ(pnl.at("benchmark_source"), "series");
  EXPECT_NEAR(pnl.at("portfolio").at("cumulative_returns").as_array().back().as_double(),
              posted.last_unit_net_value - 1, 1e-9);
  EXPECT_EQ(read("pnl?benchmark=000905.XSHG").at("benchmark_source"), "bundle");

  const value holdings = read("holdings");
  EXPECT_EQ(holdings.at("date"), value(posted.days.back() + " 15:00:00"));
  EXPECT_EQ(holdings.at("positions").as_array().size(), 2u);

  const value exposure = read("exposure?date=2015-03-02");
  EXPECT_EQ(exposure.at("factors").as_array().size(), 6u);
  EXPECT_TRUE(exposure.at("benchmark_exposure").is_object());
  EXPECT_EQ(exposure.at("backtest_start_date"), "2015-01-05");

  const value diff = read("exposure_diff");
  EXPECT_EQ(diff.at("start_date"), value(posted.days.front() + " 15:00:00"));
  EXPECT_TRUE(
      diff.at(posted.days[posted.days.size() / 2] + " 15:00:00").at("portfolio").is_object());

  const value sensitivity = read("sensitivity?start_date=2015-02-01");
  EXPECT_TRUE(sensitivity.at("coefficients").as_object().contains("market"));
  EXPECT_EQ(sensitivity.at("end_date"), value(posted.days.back() + " 15:00:00"));

  const value risk = read("risk");
  EXPECT_TRUE(risk.at("sharpe").is_double());
  EXPECT_EQ(risk.at("start_date"), value(posted.days.front()));
  EXPECT_EQ(risk.at("trading_days"), static_cast<std::int64_t>(posted.days.size() - 1));

  const value brinson = read("brinson?end_date=2015-03-31");
  EXPECT_EQ(brinson.at("sector_decider"), "ShenWan");
  EXPECT_NEAR(brinson.at("summary").at("total_effect").as_double(),
              brinson.at("summary").at("allocation").as_double() +
                  brinson.at("summary").at("selection").as_double() +
                  brinson.at("summary").at("interaction").as_double(),
              1e-9);

  const test::HttpResponse refused = client.get("/api/morvex/1/brinson?sector_decider=Other");
  EXPECT_EQ(refused.status, 500);
  EXPECT_NE(refused.body.find("the analytics service could not answer brinson_analysis"),
            std::string::npos)
      << refused.body;
}

}  // namespace
}  // namespace stratdesk::morvex_api
