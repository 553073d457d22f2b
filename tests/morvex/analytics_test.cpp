#include "api/api.hpp"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include "analytics_support.hpp"
#include "fake_analytics.hpp"
#include "test_support.hpp"

namespace stratdesk::morvex_api {
namespace {

using boost::json::array;
using boost::json::object;
using boost::json::value;
using fake::FakeAnalytics;
using fake::Received;
using support::portfolio_row;
using support::position_row;
using support::trade_row;
using test::HttpResponse;

std::vector<std::string> keys(const value& v) {
  std::vector<std::string> names;
  for (const auto& member : v.as_object()) {
    names.emplace_back(member.key());
  }
  return names;
}

const std::string config_7 =
    R"({"start_date": "2017-01-03", "end_date": "2017-01-31", "stock_starting_cash": 100000, )"
    R"("benchmark": "000905.XSHG", "frequency": "1d"})";

// The server under test, its database prepared, talking to a fake analytics service.
class AnalyticsTest : public ::testing::Test {
 protected:
  AnalyticsTest()
      : server_(support::prepared_data_dir(dir_.path()),
                {"--analytics-port", std::to_string(fake_.port())}),
        client_("127.0.0.1", server_.port()) {}

  HttpResponse get(std::string path) {
    for (std::size_t at = path.find(' '); at != std::string::npos; at = path.find(' ', at)) {
      path.replace(at, 1, "%20");
    }
    return client_.get("/api/morvex/" + path);
  }

  value ok(const std::string& path) {
    const HttpResponse response = get(path);
    EXPECT_EQ(response.status, 200) << path << ": " << response.body;
    return response.status == 200 ? response.json() : value();
  }

  std::vector<std::string> bodies(const std::string& cmd) const {
    std::vector<std::string> sent;
    for (const Received& r : fake_.received(cmd)) {
      sent.push_back(r.body());
    }
    return sent;
  }

  // Backtest 7: four portfolio times (the last at 23:30, after the close), two benchmark rows,
  // positions on three of the times (one closed position among them), two trades.
  void add_backtest_7() {
    support::insert_backtest(server_.db_path(), 7, config_7);
    support::post_feeds(
        client_,
        {{"portfolio_feeds",
          array{portfolio_row(7, "2017-01-03 15:00:00", 0, 100000.0, 100000.0, 1.0),
                portfolio_row(7, "2017-01-03 15:00:00", 1, 0.0, 0.0, 1.0),
                portfolio_row(7, "2017-01-04 15:00:00", 0, 40000.0, 101000.0, 1.01),
                portfolio_row(7, "2017-01-31 15:00:00", 0, 40000.0, 102000.0, 1.02),
                portfolio_row(7, "2017-01-31 15:00:00", 1, 0.0, 0.0, 0.99),
                portfolio_row(7, "2017-01-31 23:30:00", 0, 40000.0, 102500.0, 1.025)}},
         {"position_feeds",
          array{position_row(7, "2017-01-04 15:00:00", "600519.XSHG", 50, 1220.0, 1200.0),
                position_row(7, "2017-01-04 15:00:00", "000001.XSHE", 0, 9.5, 9.0),
                position_row(7, "2017-01-31 15:00:00", "600519.XSHG", 50, 1240.0, 1200.0),
                position_row(7, "2017-01-31 23:30:00", "600519.XSHG", 50, 1250.0, 1200.0),
                position_row(7, "2017-01-31 23:30:00", "000001.XSHE", 1000, 10.0, 9.8)}},
         {"trade_feeds",
          array{
              trade_row(7, "2017-01-04 10:00:00", "600519.XSHG", "SIDE.BUY", 50, 1200.0, "e1"),
              trade_row(7, "2017-01-03 14:00:00", "000001.XSHE", "SIDE.SELL", 1000, 9.0, "e2")}}});
  }

  FakeAnalytics fake_;
  test::TempDir dir_;
  test::ServerProcess server_;
  test::HttpClient client_;
};

const std::string p1 = R"({"datetime": "2017-01-03 15:00:00", "unit_net_value": 1.0})";
const std::string p2 = R"({"datetime": "2017-01-04 15:00:00", "unit_net_value": 1.01})";
const std::string p3 = R"({"datetime": "2017-01-31 15:00:00", "unit_net_value": 1.02})";
const std::string p4 = R"({"datetime": "2017-01-31 23:30:00", "unit_net_value": 1.025})";
const std::string b1 = R"({"datetime": "2017-01-03 15:00:00", "unit_net_value": 1.0})";
const std::string b2 = R"({"datetime": "2017-01-31 15:00:00", "unit_net_value": 0.99})";
const std::string positions_at_2330 =
    R"([{"datetime": "2017-01-31 23:30:00", "order_book_id": "600519.XSHG", "quantity": 50.0, )"
    R"("last_price": 1250.0, "avg_price": 1200.0, "market_value": 62500.0}, )"
    R"({"datetime": "2017-01-31 23:30:00", "order_book_id": "000001.XSHE", "quantity": 1000.0, )"
    R"("last_price": 10.0, "avg_price": 9.8, "market_value": 10000.0}])";

TEST_F(AnalyticsTest, OverviewComesFromTheStoredConfiguration) {
  add_backtest_7();
  const value overview = ok("7/overview");
  EXPECT_EQ(overview, boost::json::parse(R"({"backtest_start_date": "2017-01-03",
      "backtest_end_date": "2017-01-31", "starting_cash": 100000})"));
  EXPECT_EQ(keys(overview), (std::vector<std::string>{"backtest_start_date", "backtest_end_date",
                                                      "starting_cash"}));

  support::insert_backtest(server_.db_path(), 8, R"({"start_date": "2017-01-03"})");
  const HttpResponse missing_key = get("8/overview");
  EXPECT_EQ(missing_key.status, 500);
  EXPECT_NE(missing_key.body.find("end_date"), std::string::npos) << missing_key.body;
  const HttpResponse no_backtest = get("99/overview");
  EXPECT_EQ(no_backtest.status, 500);
  EXPECT_NE(no_backtest.body.find("backtest 99 does not exist"), std::string::npos);
  EXPECT_TRUE(fake_.received().empty());
}

// Ids are plain row ids: deleting the newest backtest frees its id for the next launch.
TEST_F(AnalyticsTest, OverviewOfAReusedIdIsTheNewBacktests) {
  const std::string& db = server_.db_path();
  support::insert_backtest(db, 0, R"({"start_date": "2016-01-04", "end_date": "2016-06-30",
      "stock_starting_cash": 50000})");
  const std::int64_t newest = support::insert_backtest(
      db, 0, R"({"start_date": "2017-01-03", "end_date": "2017-12-29", "stock_starting_cash": 1})");
  EXPECT_EQ(ok(std::to_string(newest) + "/overview").at("starting_cash"), 1);

  support::delete_backtest(db, newest);
  const HttpResponse deleted = get(std::to_string(newest) + "/overview");
  EXPECT_EQ(deleted.status, 500) << deleted.body;

  const std::int64_t relaunched = support::insert_backtest(
      db, 0, R"({"start_date": "2018-01-02", "end_date": "2018-03-30", "stock_starting_cash": 2})",
      "2017-06-01 10:00:00");
  ASSERT_EQ(relaunched, newest);
  EXPECT_EQ(ok(std::to_string(newest) + "/overview"),
            boost::json::parse(R"({"backtest_start_date": "2018-01-02",
                "backtest_end_date": "2018-03-30", "starting_cash": 2})"));

  // The same again without a read in between: the entry cached for the old row must not
  // answer for the new one, although both rows carry the same run_at.
  support::delete_backtest(db, newest);
  support::insert_backtest(
      db, 0, R"({"start_date": "2019-01-02", "end_date": "2019-03-29", "stock_starting_cash": 3})",
      "2017-06-01 10:00:00");
  EXPECT_EQ(ok(std::to_string(newest) + "/overview").at("starting_cash"), 3);
  EXPECT_EQ(ok(std::to_string(newest) + "/overview").at("starting_cash"), 3);
}

TEST_F(AnalyticsTest, TradesSplitTheSideAndNameTheSymbolFromOneMapFetch) {
  add_backtest_7();
  const value trades = ok("7/trades");
  ASSERT_EQ(trades.as_array().size(), 2u);
  const value& first = trades.at(0);
  EXPECT_EQ(keys(first),
            (std::vector<std::string>{"datetime", "order_book_id", "side", "transaction_cost",
                                      "last_price", "last_quantity", "symbol"}));
  EXPECT_EQ(first.at("datetime"), "2017-01-03 14:00:00");
  EXPECT_EQ(first.at("side"), "SELL");
  EXPECT_EQ(first.at("symbol"), "青石银行");
  EXPECT_EQ(first.at("last_quantity"), 1000.0);
  EXPECT_EQ(trades.at(1).at("side"), "BUY");
  EXPECT_EQ(trades.at(1).at("symbol"), "云岭酒业");

  ok("7/trades");
  ok("7/holdings");
  const std::vector<Received> fetches = fake_.received("get_id_symbol_map");
  ASSERT_EQ(fetches.size(), 1u);
  EXPECT_EQ(fetches[0].frame,
            std::string("\x1c\x00\x00\x00", 4) + R"({"cmd": "get_id_symbol_map"})");

  EXPECT_EQ(ok("70/trades"), value(array{}));

  support::post_feeds(
      client_, {{"trade_feeds",
                 array{trade_row(9, "2017-01-05 10:00:00", "600519.XSHG", "BUY", 1, 1.0, "e9")}}});
  const HttpResponse no_dot = get("9/trades");
  EXPECT_EQ(no_dot.status, 500);
  EXPECT_NE(no_dot.body.find("'BUY'"), std::string::npos) << no_dot.body;
  support::post_feeds(client_, {{"trade_feeds", array{trade_row(10, "2017-01-05 10:00:00", "IF88",
                                                                "SIDE.BUY", 1, 1.0, "e10")}}});
  const HttpResponse unknown = get("10/trades");
  EXPECT_EQ(unknown.status, 500);
  EXPECT_NE(unknown.body.find("IF88"), std::string::npos) << unknown.body;
}

TEST_F(AnalyticsTest, PnLSendsBothSeriesOrTheGivenBenchmarkAndMergesTheOverview) {
  add_backtest_7();
  const value pnl = ok("7/pnl?start_date=2017-01-01&end_date=2017-01-31");
  // The 23:30 row lies after the end of the range's last day (its hour is set to 23 only).
  EXPECT_EQ(bodies("pnl_analysis").at(0), R"({"cmd": "pnl_analysis", "portfolio_series": [)" + p1 +
                                              ", " + p2 + ", " + p3 +
                                              R"(], "benchmark": "000905.XSHG", )"
                                              R"("benchmark_series": [)" +
                                              b1 + ", " + b2 + "]}");
  EXPECT_EQ(keys(pnl),
            (std::vector<std::string>{"answered", "benchmark", "start_date", "backtest_start_date",
                                      "backtest_end_date", "starting_cash"}));
  EXPECT_EQ(pnl.at("benchmark"), "000905.XSHG");
  EXPECT_EQ(pnl.at("backtest_start_date"), "2017-01-03");
  EXPECT_EQ(pnl.at("start_date"), "from-service");

  const value given = ok("7/pnl?benchmark=000300.XSHG");
  EXPECT_EQ(bodies("pnl_analysis").at(1), R"({"cmd": "pnl_analysis", "portfolio_series": [)" + p1 +
                                              ", " + p2 + ", " + p3 + ", " + p4 +
                                              R"(], "benchmark": "000300.XSHG", )"
                                              R"("benchmark_series": null})");
  EXPECT_EQ(given.at("benchmark"), "000300.XSHG");

  support::insert_backtest(server_.db_path(), 8,
                           R"({"start_date": "2017-01-03", "end_date": "2017-01-31",
                               "stock_starting_cash": 100000})");
  EXPECT_EQ(ok("8/pnl").at("benchmark"), "000300.XSHG");
  EXPECT_EQ(bodies("pnl_analysis").at(2),
            R"({"cmd": "pnl_analysis", "portfolio_series": [], "benchmark": "000300.XSHG", )"
            R"("benchmark_series": []})");
}

TEST_F(AnalyticsTest, HoldingsAtTheLastTimeOnOrBeforeTheDay) {
  add_backtest_7();
  const value latest = ok("7/holdings");
  EXPECT_EQ(keys(latest),
            (std::vector<std::string>{"date", "backtest_start_date", "backtest_end_date",
                                      "starting_cash", "market_value", "cash", "positions"}));
  EXPECT_EQ(latest.at("date"), "2017-01-31 23:30:00");
  EXPECT_EQ(latest.at("market_value"), 102500.0);
  EXPECT_EQ(latest.at("cash"), 40000.0);
  EXPECT_EQ(latest.at("starting_cash"), 100000);
  const array& positions = latest.at("positions").as_array();
  ASSERT_EQ(positions.size(), 2u);
  EXPECT_EQ(keys(positions[0]),
            (std::vector<std::string>{"datetime", "order_book_id", "quantity", "last_price",
                                      "avg_price", "market_value", "symbol"}));
  EXPECT_EQ(positions[1].at("symbol"), "青石银行");

  // A day's last time is found up to 23:59:59; a closed position is not a holding.
  EXPECT_EQ(ok("7/holdings?date=2017-01-31").at("date"), "2017-01-31 23:30:00");
  const value early = ok("7/holdings?date=2017-01-04");
  EXPECT_EQ(early.at("date"), "2017-01-04 15:00:00");
  EXPECT_EQ(early.at("positions").as_array().size(), 1u);
  EXPECT_EQ(ok("7/holdings?date=2017-01-20 09:00:00").at("date"), "2017-01-04 15:00:00");

  EXPECT_EQ(ok("7/holdings?date=2017-01-02"), value(object{}));
  EXPECT_EQ(ok("70/holdings"), value(object{}));
  EXPECT_EQ(ok("70/holdings?date="), value(object{}));
}

TEST_F(AnalyticsTest, ExposureOfOneDay) {
  add_backtest_7();
  const value exposure = ok("7/exposure");
  EXPECT_EQ(bodies("single_exposure_analysis").at(0),
            R"({"cmd": "single_exposure_analysis", "portfolio": {"positions": )" +
                positions_at_2330 +
                R"(}, "benchmark": "000905.XSHG", "date": "2017-01-31 23:30:00"})");
  EXPECT_EQ(keys(exposure),
            (std::vector<std::string>{"date", "factors", "portfolio_exposure", "st_stock_weight",
                                      "new_stock_weight", "warnings", "backtest_start_date",
                                      "backtest_end_date", "starting_cash"}));

  ok("7/exposure?date=2017-01-04&benchmark=000300.XSHG");
  const value second = boost::json::parse(bodies("single_exposure_analysis").at(1));
  EXPECT_EQ(second.at("date"), "2017-01-04 15:00:00");
  EXPECT_EQ(second.at("benchmark"), "000300.XSHG");
  EXPECT_EQ(second.at("portfolio").at("positions").as_array().size(), 1u);

  EXPECT_EQ(ok("7/exposure?date=2016-12-30"), value(object{}));
  EXPECT_EQ(ok("70/exposure"), value(object{}));
  EXPECT_EQ(fake_.received("single_exposure_analysis").size(), 2u);
}

// Factor data starts in 2010: earlier days are not analysed.
TEST_F(AnalyticsTest, ExposureBefore2010IsEmptyAndExposureDiffSkipsThoseDays) {
  support::insert_backtest(server_.db_path(), 12, config_7);
  array portfolio;
  array positions;
  for (const char* at : {"2009-12-30 15:00:00", "2009-12-31 15:00:00", "2010-01-04 15:00:00",
                         "2010-01-05 15:00:00"}) {
    portfolio.push_back(portfolio_row(12, at, 0, 1000.0, 2000.0, 1.0));
    positions.push_back(position_row(12, at, "600519.XSHG", 1, 1000.0, 1000.0));
  }
  support::post_feeds(client_, {{"portfolio_feeds", portfolio}, {"position_feeds", positions}});

  EXPECT_EQ(ok("12/exposure?date=2009-12-31"), value(object{}));
  EXPECT_TRUE(fake_.received().empty());

  const value diff = ok("12/exposure_diff");
  std::vector<std::string> days;
  for (const Received& r : fake_.received("single_exposure_analysis")) {
    days.emplace_back(r.request.at("date").as_string());
  }
  EXPECT_EQ(days, (std::vector<std::string>{"2010-01-04 15:00:00", "2010-01-05 15:00:00"}));
  EXPECT_EQ(diff.at("start_date"), "2010-01-04 15:00:00");
  EXPECT_EQ(diff.at("end_date"), "2010-01-05 15:00:00");
}

TEST_F(AnalyticsTest, ExposureDiffAsksForTheFirstMiddleAndLastDay) {
  support::insert_backtest(server_.db_path(), 11, config_7);
  array portfolio;
  array positions;
  std::vector<std::string> times;
  for (int day = 1; day <= 10; ++day) {
    const std::string at =
        "2017-02-" + std::string(day < 10 ? "0" : "") + std::to_string(day) + " 15:00:00";
    times.push_back(at);
    portfolio.push_back(portfolio_row(11, at, 0, 1000.0, 2000.0, 1.0));
    // No position on the sixth day: that day is skipped when chosen.
    if (day != 6) {
      positions.push_back(position_row(11, at, "600519.XSHG", day, 1000.0, 1000.0));
    }
  }
  support::post_feeds(client_, {{"portfolio_feeds", portfolio}, {"position_feeds", positions}});
  const auto asked_days = [this] {
    std::vector<std::string> days;
    for (const Received& r : fake_.received("single_exposure_analysis")) {
      days.emplace_back(r.request.at("date").as_string());
    }
    fake_.clear();
    return days;
  };

  // Ten days: indexes 0, 5 and 9; day 5 (the sixth) has no positions.
  const value ten = ok("11/exposure_diff");
  EXPECT_EQ(asked_days(), (std::vector<std::string>{times[0], times[9]}));
  EXPECT_EQ(keys(ten), (std::vector<std::string>{times[0], times[9], "backtest_start_date",
                                                 "backtest_end_date", "starting_cash", "start_date",
                                                 "end_date"}));
  EXPECT_EQ(ten.at(times[9]), boost::json::parse(R"({"factors": ["size", "value"],
      "portfolio": {"size": 1.0}, "st_stock_weight": 0.0, "new_stock_weight": 0.5})"));
  EXPECT_EQ(ten.at("start_date"), value(times[0]));
  EXPECT_EQ(ten.at("end_date"), value(times[9]));

  ok("11/exposure_diff?start_date=2017-02-01&end_date=2017-02-04");
  EXPECT_EQ(asked_days(), (std::vector<std::string>{times[0], times[2], times[3]}));
  ok("11/exposure_diff?start_date=2017-02-07&end_date=2017-02-09");
  EXPECT_EQ(asked_days(), (std::vector<std::string>{times[6], times[7], times[8]}));
  const value only_empty = ok("11/exposure_diff?start_date=2017-02-06&end_date=2017-02-06");
  EXPECT_TRUE(asked_days().empty());
  EXPECT_EQ(keys(only_empty),
            (std::vector<std::string>{"backtest_start_date", "backtest_end_date", "starting_cash",
                                      "start_date", "end_date"}));

  EXPECT_EQ(bodies("single_exposure_analysis").size(), 0u);
  ok("11/exposure_diff?start_date=2017-02-01&end_date=2017-02-01");
  EXPECT_EQ(fake_.received("single_exposure_analysis").at(0).body(),
            R"({"cmd": "single_exposure_analysis", "portfolio": {"positions": [{"datetime": )"
            R"("2017-02-01 15:00:00", "order_book_id": "600519.XSHG", "quantity": 1.0, )"
            R"("last_price": 1000.0, "avg_price": 1000.0, "market_value": 1000.0}]}, )"
            R"("benchmark": null, "date": "2017-02-01 15:00:00"})");

  fake_.on("single_exposure_analysis", [](const object&) -> value {
    return object{{"factors", array{}}};
  });
  const HttpResponse incomplete = get("11/exposure_diff");
  EXPECT_EQ(incomplete.status, 500);
  EXPECT_NE(incomplete.body.find("portfolio_exposure"), std::string::npos) << incomplete.body;
}

TEST_F(AnalyticsTest, SensitivityAndRiskReportTheirRangeDifferently) {
  add_backtest_7();
  const value sensitivity = ok("7/sensitivity");
  EXPECT_EQ(bodies("sensitivity_analysis").at(0),
            R"({"cmd": "sensitivity_analysis", "portfolio": [)" + p1 + ", " + p2 + ", " + p3 +
                ", " + p4 + "]}");
  EXPECT_EQ(keys(sensitivity),
            (std::vector<std::string>{"answered", "benchmark", "start_date", "backtest_start_date",
                                      "backtest_end_date", "starting_cash", "end_date"}));
  EXPECT_EQ(sensitivity.at("start_date"), "2017-01-03 15:00:00");
  EXPECT_EQ(sensitivity.at("end_date"), "2017-01-31 23:30:00");
  EXPECT_EQ(sensitivity.at("benchmark"), "from-service");

  const value risk = ok("7/risk?start_date=2017-01-04");
  EXPECT_EQ(bodies("risk_analysis").at(0),
            R"({"cmd": "risk_analysis", "benchmark": "000905.XSHG", )"
            R"("portfolio": [)" +
                p2 + ", " + p3 + ", " + p4 + "]}");
  EXPECT_EQ(keys(risk),
            (std::vector<std::string>{"answered", "benchmark", "start_date", "backtest_start_date",
                                      "end_date", "backtest_end_date"}));
  EXPECT_EQ(risk.at("start_date"), "2017-01-04");
  EXPECT_EQ(risk.at("end_date"), "2017-01-31");
  EXPECT_EQ(risk.at("benchmark"), "000905.XSHG");
  EXPECT_EQ(risk.at("backtest_start_date"), "2017-01-03");

  ok("7/risk?benchmark=600519.XSHG&end_date=2017-01-04 12:00:00");
  EXPECT_EQ(bodies("risk_analysis").at(1),
            R"({"cmd": "risk_analysis", "benchmark": "600519.XSHG", )"
            R"("portfolio": [)" +
                p1 + ", " + p2 + "]}");
}

TEST_F(AnalyticsTest, BrinsonGroupsPositionsByTimeWithItsOwnDefaultsAndRange) {
  add_backtest_7();
  const value brinson = ok("7/brinson");
  EXPECT_EQ(
      bodies("brinson_analysis").at(0),
      R"({"cmd": "brinson_analysis", "benchmark": "000300.XSHG", "portfolio_series": [)"
      R"({"market_value": 100000.0, "cash": 100000.0, "positions": [], "date": "2017-01-03"}, )"
      R"({"market_value": 101000.0, "cash": 40000.0, "positions": [{"datetime": )"
      R"("2017-01-04 15:00:00", "order_book_id": "600519.XSHG", "quantity": 50.0, )"
      R"("market_value": 61000.0}], "date": "2017-01-04"}, )"
      R"({"market_value": 102000.0, "cash": 40000.0, "positions": [{"datetime": )"
      R"("2017-01-31 15:00:00", "order_book_id": "600519.XSHG", "quantity": 50.0, )"
      R"("market_value": 62000.0}], "date": "2017-01-31"}, )"
      R"({"market_value": 102500.0, "cash": 40000.0, "positions": [{"datetime": )"
      R"("2017-01-31 23:30:00", "order_book_id": "600519.XSHG", "quantity": 50.0, )"
      R"("market_value": 62500.0}, {"datetime": "2017-01-31 23:30:00", "order_book_id": )"
      R"("000001.XSHE", "quantity": 1000.0, "market_value": 10000.0}], "date": "2017-01-31"}], )"
      R"("sector_decider": "ShenWan"})");
  EXPECT_EQ(keys(brinson),
            (std::vector<std::string>{"answered", "benchmark", "start_date", "backtest_start_date",
                                      "backtest_end_date", "starting_cash", "end_date",
                                      "sector_decider"}));
  EXPECT_EQ(brinson.at("start_date"), "2017-01-03");
  EXPECT_EQ(brinson.at("end_date"), "2017-01-31");
  EXPECT_EQ(brinson.at("benchmark"), "000300.XSHG");
  EXPECT_EQ(brinson.at("sector_decider"), "ShenWan");

  // Its range runs from 00:00:00 to 23:59:59, so the 23:30 row is in.
  const value ranged = ok(
      "7/brinson?start_date=2017-01-04&end_date=2017-01-31&benchmark=000905.XSHG&sector_decider=X");
  const value sent = boost::json::parse(bodies("brinson_analysis").at(1));
  EXPECT_EQ(sent.at("benchmark"), "000905.XSHG");
  EXPECT_EQ(sent.at("sector_decider"), "X");
  EXPECT_EQ(sent.at("portfolio_series").as_array().size(), 3u);
  EXPECT_EQ(ranged.at("start_date"), "2017-01-04");
  EXPECT_EQ(ranged.at("sector_decider"), "X");
}

// The three ways a range is clamped: series from hour 0 (minutes kept) to hour 23, ExposureDiff's
// days from the time as given, Holdings up to 23:59:59.
TEST_F(AnalyticsTest, RangesAreClampedPerQuery) {
  add_backtest_7();
  ok("7/sensitivity?start_date=2017-01-31 16:00:00");
  EXPECT_EQ(bodies("sensitivity_analysis").at(0),
            R"({"cmd": "sensitivity_analysis", "portfolio": [)" + p3 + ", " + p4 + "]}");
  ok("7/sensitivity?start_date=2017-01-04 16:30:00&end_date=2017-01-31 14:45:00");
  EXPECT_EQ(
      bodies("sensitivity_analysis").at(1),
      R"({"cmd": "sensitivity_analysis", "portfolio": [)" + p2 + ", " + p3 + ", " + p4 + "]}");
  const value diff = ok("7/exposure_diff?start_date=2017-01-31 16:00:00");
  EXPECT_EQ(diff.at("start_date"), "2017-01-31 23:30:00");
  const value day = ok("7/exposure_diff?end_date=2017-01-31");
  EXPECT_EQ(day.at("end_date"), "2017-01-31 15:00:00");
}

TEST_F(AnalyticsTest, CanAnalyseOnlyStocks) {
  add_backtest_7();
  EXPECT_EQ(ok("70/can_analysis"), true);
  EXPECT_TRUE(fake_.received().empty());
  EXPECT_EQ(ok("7/can_analysis"), true);
  support::post_feeds(
      client_,
      {{"trade_feeds",
        array{trade_row(13, "2017-01-04 10:00:00", "600519.XSHG", "SIDE.BUY", 1, 1.0, "f1"),
              trade_row(13, "2017-01-04 10:00:00", "IF88", "SIDE.BUY", 1, 1.0, "f2"),
              trade_row(13, "2017-01-04 10:00:00", "000001.XSHE", "SIDE.BUY", 1, 1.0, "f3")}}});
  EXPECT_EQ(ok("13/can_analysis"), false);
  EXPECT_EQ(fake_.received("get_id_symbol_map").size(), 1u);
}

TEST_F(AnalyticsTest, ARangeWithoutDataIsAServerErrorThatSaysSo) {
  add_backtest_7();
  for (const char* resource : {"exposure_diff", "sensitivity", "risk", "brinson"}) {
    const HttpResponse response =
        get(std::string("7/") + resource + "?start_date=2018-01-01&end_date=2018-02-01");
    EXPECT_EQ(response.status, 500) << resource;
    EXPECT_EQ(response.json().at("message"),
              "no data lies in the requested range of backtest 7 (from 2018-01-01 to 2018-02-01)")
        << resource;
    const HttpResponse nothing = get(std::string("70/") + resource);
    EXPECT_EQ(nothing.status, 500) << resource;
    EXPECT_EQ(nothing.json().at("message"), "no data lies in the requested range of backtest 70");
  }
  EXPECT_TRUE(fake_.received().empty());
}

TEST_F(AnalyticsTest, AMalformedDateIsABadRequestNamingTheParameter) {
  add_backtest_7();
  const std::pair<const char*, const char*> cases[] = {
      {"pnl?start_date=2017/01/03", "start_date"},
      {"pnl?end_date=2017-02-30", "end_date"},
      {"holdings?date=yesterday", "date"},
      {"exposure?date=2017-01-04T15:00:00", "date"},
      {"exposure_diff?end_date=2017-01-31 24:00:00", "end_date"},
      {"sensitivity?start_date=17-01-03", "start_date"},
      {"risk?end_date=2017-01-31 15:00", "end_date"},
      {"brinson?start_date=2017-1-3", "start_date"},
  };
  for (const auto& [query, parameter] : cases) {
    const HttpResponse response = get(std::string("7/") + query);
    EXPECT_EQ(response.status, 400) << query << ": " << response.body;
    EXPECT_NE(response.body.find(std::string("'") + parameter + "'"), std::string::npos)
        << query << ": " << response.body;
  }
  EXPECT_TRUE(fake_.received().empty());
  EXPECT_EQ(ok("7/pnl?start_date=2016-02-29 00:00:00&end_date=2017-01-31").at("benchmark"),
            "000905.XSHG");
}

}  // namespace
}  // namespace stratdesk::morvex_api
