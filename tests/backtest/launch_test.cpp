// Launching backtests over HTTP against the real server binary, with engines that record what
// they were given, and one run of the stand-in engine over the sample bundle.

#include "backtest/backtest.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include <boost/json/serialize.hpp>

#include "common/timestamp.hpp"
#include "engine_fakes.hpp"
#include "test_support.hpp"

namespace stratdesk::test {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;

using Args = std::vector<std::string>;

std::string algorithm_column(const std::string& db_path, std::int64_t id, const char* column) {
  db::Connection c(db_path);
  const auto rows = c.execute("SELECT * FROM algorithms WHERE id = ?", {db::Value(id)});
  return rows.empty() ? std::string() : std::string(rows.front().at(column).as_string());
}

std::int64_t count_rows(const std::string& db_path, const std::string& table) {
  db::Connection c(db_path);
  return c.execute("SELECT count(*) AS n FROM " + table).front().at("n").as_int64();
}

// The fake engine's options, then `extra`.
Args with_fake_engine(const FakeEngine& engine, const Args& extra) {
  Args options = engine.server_options();
  options.insert(options.end(), extra.begin(), extra.end());
  return options;
}

// The text of `needle`'s first occurrence at or after `from`; npos when missing.
std::size_t find_after(const std::string& text, const std::string& needle, std::size_t from) {
  return from == std::string::npos ? std::string::npos : text.find(needle, from);
}

Args mc_tail(std::int64_t backtest_id, std::int64_t algorithm_id) {
  return {"-mc", "tarnel.enabled",      "True",
          "-mc", "tarnel.backtest_id",  std::to_string(backtest_id),
          "-mc", "tarnel.algorithm_id", std::to_string(algorithm_id)};
}

TEST(Launch, TheWorkedExampleReachesTheEngineAsOneExactCommand) {
  TempDir dir;
  FakeEngine engine(dir.path());
  const std::string strategies = dir.file("strategies");
  ServerProcess server(dir.file("data"), with_fake_engine(engine, {"--strategy-dir", strategies}));
  HttpClient client("127.0.0.1", server.port());

  const std::string config =
      R"({"start_date": "2016-01-04", "end_date": "2016-12-30", "stock_starting_cash": 100000,)"
      R"( "frequency": "1d", "benchmark": "000300.XSHG", "matching_type": "signal",)"
      R"( "securities": ["000001.XSHE"], "not_read": {"x": 1}})";
  const std::string code = "# 双均线\r\ndef handle_bar(context, bar_dict):\r\n    pass\r\n";
  const std::string before =
      common::format_in_zone(std::chrono::system_clock::now(), "Asia/Shanghai");
  const HttpResponse response = launch(client, 3, config, code);
  const std::string after =
      common::format_in_zone(std::chrono::system_clock::now(), "Asia/Shanghai");
  ASSERT_EQ(response.status, 200) << response.body;
  EXPECT_EQ(response.json(), (json::object{{"id", 1}}));

  const std::string strategy_file = strategies + "/1/strategy.py";
  Args expected = {engine.script(), "run",         "-s",          "2016-01-04",  "-e",
                   "2016-12-30",    "-f",          strategy_file, "--account",   "stock",
                   "100000",        "--frequency", "1d",          "--benchmark", "000300.XSHG",
                   "--signal"};
  const Args tail = mc_tail(1, 3);
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(engine.argv(1), expected);

  // The strategy files hold the code byte for byte, line ends included.
  const auto record = engine.record(1);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->at("code").as_string(), code);
  EXPECT_EQ(read_file(strategy_file), code);
  EXPECT_EQ(read_file(strategies + "/strategy.py"), code);
  // The engine inherits the server's environment, which tells it where to report.
  const auto& env = record->at("env").as_object();
  EXPECT_EQ(env.at("STRATDESK_FEED_URL").as_string(),
            "http://127.0.0.1:" + std::to_string(server.port()) + "/api/feedgroup");
  EXPECT_EQ(env.at("STRATDESK_PID_DIR").as_string(), dir.file("data") + "/pids");
  EXPECT_TRUE(
      std::string(env.at("PYTHONPATH").as_string()).starts_with(STRATDESK_SOURCE_DIR "/engine"));
  EXPECT_EQ(record->at("cwd").as_string(), fs::current_path().string());

  const db::Row row = backtest_row(server.db_path(), 1);
  EXPECT_EQ(row.at("algorithm_id"), 3);
  EXPECT_EQ(row.at("config").as_string(), config);
  EXPECT_EQ(row.at("code").as_string(), code);
  EXPECT_EQ(row.at("comment"), "");
  EXPECT_EQ(row.at("uuid"), "");
  const std::string run_at(row.at("run_at").as_string());
  EXPECT_LE(before, run_at);
  EXPECT_LE(run_at, after);
  EXPECT_EQ(algorithm_column(server.db_path(), 3, "config"), config);
  EXPECT_EQ(algorithm_column(server.db_path(), 3, "code"), code);

  // The launch's log lines, in order.
  std::string command_text = "['" + engine.script() + "'";
  for (std::size_t i = 1; i < expected.size(); ++i) {
    command_text += ", '" + expected[i] + "'";
  }
  command_text += "]";
  const std::string log = server.log_text();
  std::size_t at = log.find(
      "{'start_date': '2016-01-04', 'end_date': '2016-12-30', 'stock_starting_cash': 100000, "
      "'frequency': '1d', 'benchmark': '000300.XSHG', 'matching_type': 'signal', "
      "'securities': ['000001.XSHE'], 'not_read': {'x': 1}}\n");
  at = find_after(log, "parameters = {}\n", at);
  at = find_after(log, "**********\n", at);
  at = find_after(log, command_text + "\n", at);
  at = find_after(log, "**********\n", at);
  at = find_after(log,
                  "Receive Backtest 1 start command under " + fs::current_path().string() +
                      ", cmd ['" + engine.python() + "', " + command_text.substr(1) + ", env " +
                      std::getenv("PATH") + "\n",
                  at);
  at = find_after(log, "popen returned\n", at);
  EXPECT_NE(at, std::string::npos) << log;

  // An algorithm id without a row still records and starts its backtest.
  const HttpResponse orphan = launch(client, 99, minimal_config, "pass\n", {{"comment", "见解"}});
  ASSERT_EQ(orphan.status, 200) << orphan.body;
  EXPECT_EQ(orphan.json(), (json::object{{"id", 2}}));
  const auto orphan_args = engine.argv(2);
  ASSERT_TRUE(orphan_args);
  EXPECT_EQ(orphan_args->back(), "99");
  EXPECT_EQ(backtest_row(server.db_path(), 2).at("comment"), "见解");
  EXPECT_TRUE(algorithm_column(server.db_path(), 99, "code").empty());
}

TEST(Launch, ConfigurationValuesAndParametersReachTheEngineInTheirDisplayForm) {
  TempDir dir;
  FakeEngine engine(dir.path());
  ServerProcess server(dir.file("data"), engine.server_options());
  HttpClient client("127.0.0.1", server.port());
  const std::string strategy_file = dir.file("data") + "/strategies/1/strategy.py";

  const std::string config =
      R"({"start_date": "2016-01-04", "end_date": "2016-12-30", "stock_starting_cash": 100000.0,)"
      R"( "future_starting_cash": 0, "position": "000001.XSHE:100", "frequency": "1d",)"
      R"( "benchmark": "", "commission_multiplier": 0, "margin_multiplier": 1.5,)"
      R"( "matching_type": "next_bar", "slippage": 0.00001, "enable_profiler": true,)"
      R"( "enable_short_stock": 1, "report_dir": ")" +
      dir.file("reports/") + R"(", "dividend_reinvestment": false, "securities": "stock"})";
  const std::string parameters =
      R"({"flag": true, "none": null, "xs": [1, "a", 2.5, false], "m": {"k": "v", "z": 1e16},)"
      R"( "w": 20, "r": 0.5, "s": "abc", "tiny": -2.5e-7, "big": 12345678901234567})";
  const HttpResponse response = launch(client, 1, config, "pass\n", {{"parameters", parameters}});
  ASSERT_EQ(response.status, 200) << response.body;

  const auto args = engine.argv(1);
  ASSERT_TRUE(args);
  const Args head = {engine.script(),
                     "run",
                     "-s",
                     "2016-01-04",
                     "-e",
                     "2016-12-30",
                     "-f",
                     strategy_file,
                     "--account",
                     "stock",
                     "100000.0",
                     "--position",
                     "000001.XSHE:100",
                     "--frequency",
                     "1d",
                     "--commission-multiplier",
                     "0",
                     "--margin-multiplier",
                     "1.5",
                     "--matching-type",
                     "next_bar",
                     "--slippage",
                     "1e-05",
                     "--enable-profiler",
                     "--short-stock",
                     "--report",
                     dir.file("reports/1")};
  ASSERT_GE(args->size(), head.size() + 9);
  EXPECT_EQ(Args(args->begin(), args->begin() + static_cast<long>(head.size())), head);
  EXPECT_EQ(Args(args->end() - 9, args->end()), mc_tail(1, 1));
  EXPECT_TRUE(fs::is_directory(dir.file("reports/1")));

  // Parameters carry no order among themselves.
  Args given(args->begin() + static_cast<long>(head.size()), args->end() - 9);
  std::vector<std::string> pairs;
  for (std::size_t i = 0; i + 1 < given.size(); i += 2) {
    EXPECT_EQ(given[i], "--parameter-in");
    pairs.push_back(given[i + 1]);
  }
  std::sort(pairs.begin(), pairs.end());
  EXPECT_EQ(pairs,
            (std::vector<std::string>{"big:12345678901234567", "flag:True",
                                      "m:{'k': 'v', 'z': 1e+16}", "none:None", "r:0.5", "s:abc",
                                      "tiny:-2.5e-07", "w:20", "xs:[1, 'a', 2.5, False]"}));
  EXPECT_TRUE(server.wait_for_log(
      "parameters = {'flag': True, 'none': None, 'xs': [1, 'a', 2.5, False], "
      "'m': {'k': 'v', 'z': 1e+16}, 'w': 20, 'r': 0.5, 's': 'abc', 'tiny': -2.5e-07, "
      "'big': 12345678901234567}"));

  // Futures cash alone; an empty matching type adds nothing; a small slippage stays positional.
  const std::string futures =
      R"({"start_date": "2016-01-04", "end_date": "2016-12-30", "stock_starting_cash": 0,)"
      R"( "future_starting_cash": 500000, "frequency": "1d", "matching_type": "",)"
      R"( "slippage": 0.0001, "benchmark": null, "securities": ["IF88"]})";
  ASSERT_EQ(launch(client, 1, futures, "pass\n").status, 200);
  Args expected = {engine.script(),
                   "run",
                   "-s",
                   "2016-01-04",
                   "-e",
                   "2016-12-30",
                   "-f",
                   dir.file("data") + "/strategies/2/strategy.py",
                   "--account",
                   "future",
                   "500000",
                   "--frequency",
                   "1d",
                   "--slippage",
                   "0.0001"};
  const Args tail = mc_tail(2, 1);
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(engine.argv(2), expected);
}

// What Python's json.dumps writes (NaN, Infinity), nested as deep as algorithm creation stores.
TEST(Launch, ConfigAndParametersAreReadAsPythonWroteThemAndAsDeepAsCreationStores) {
  TempDir dir;
  FakeEngine engine(dir.path());
  ServerProcess server(dir.file("data"), engine.server_options());
  HttpClient client("127.0.0.1", server.port());
  const auto nested = [](int depth) {
    return std::string(static_cast<std::size_t>(depth), '[') + "1" +
           std::string(static_cast<std::size_t>(depth), ']');
  };
  const std::string config =
      R"({"start_date": "2016-01-04", "end_date": "2016-12-30", "stock_starting_cash": 1e400,)"
      R"( "frequency": "1d", "securities": "stock", "commission_multiplier": -Infinity,)"
      R"( "slippage": NaN, "deep": )" +
      nested(900) + "}";
  const std::string parameters = R"({"a": NaN, "b": Infinity, "deep": )" + nested(900) + "}";
  const HttpResponse response = launch(client, 1, config, "pass\n", {{"parameters", parameters}});
  ASSERT_EQ(response.status, 200) << response.body;

  const auto args = engine.argv(1);
  ASSERT_TRUE(args);
  const auto follows = [&](const std::string& option, const std::string& value) {
    const auto at = std::find(args->begin(), args->end(), option);
    return at != args->end() && at + 1 != args->end() && *(at + 1) == value;
  };
  EXPECT_TRUE(follows("--account", "stock"));
  EXPECT_TRUE(follows("stock", "inf"));
  EXPECT_TRUE(follows("--commission-multiplier", "-inf"));
  EXPECT_TRUE(follows("--slippage", "nan"));
  EXPECT_NE(std::find(args->begin(), args->end(), "a:nan"), args->end());
  EXPECT_NE(std::find(args->begin(), args->end(), "b:inf"), args->end());
  db::Connection c(server.db_path());
  EXPECT_EQ(
      std::string(
          c.execute("SELECT config FROM backtests WHERE id = 1").at(0).at("config").as_string()),
      config);

  // One level deeper than Python reads is not JSON here either.
  EXPECT_EQ(
      launch(client, 1, config, "pass\n", {{"parameters", "{\"x\": " + nested(1000) + "}"}}).status,
      500);
  EXPECT_EQ(count_rows(server.db_path(), "backtests"), 1);
}

TEST(Launch, ValidationRefusesInRuleOrderAndRecordsNothing) {
  TempDir dir;
  FakeEngine engine(dir.path());
  ServerProcess server(dir.file("data"), engine.server_options());
  HttpClient client("127.0.0.1", server.port());
  const std::string seeded_config = algorithm_column(server.db_path(), 1, "config");

  const std::vector<std::pair<std::string, std::string>> refused = {
      {R"({"end_date": "b", "stock_starting_cash": 1, "securities": "s"})", "回测开始日期没设置"},
      {R"({"start_date": "", "end_date": "b", "stock_starting_cash": 1, "frequency": "1d",
           "securities": "s"})",
       "回测开始日期没设置"},
      {R"({"start_date": "a", "frequency": "1d", "securities": "s"})", "回测结束日期没设置"},
      {R"({"start_date": "a", "end_date": "b", "frequency": "1d", "securities": "s"})",
       "初始资金设置不正确"},
      {R"({"start_date": "a", "end_date": "b", "stock_starting_cash": 0,
           "future_starting_cash": null, "frequency": "1d", "securities": "s"})",
       "初始资金设置不正确"},
      {R"({"start_date": "a", "end_date": "b", "stock_starting_cash": false,
           "future_starting_cash": 0.0, "frequency": "1d", "securities": "s"})",
       "初始资金设置不正确"},
      {R"({"start_date": "a", "end_date": "b", "future_starting_cash": 5, "securities": "s"})",
       "回测周期没设置"},
      {R"({"start_date": "a", "end_date": "b", "stock_starting_cash": 5, "frequency": "1d",
           "securities": []})",
       "回测标的没设置"},
      {R"({"start_date": "a", "end_date": "b", "stock_starting_cash": 5, "frequency": "1d",
           "securities": {}})",
       "回测标的没设置"},
      {R"([1, 2])", "回测开始日期没设置"},
  };
  for (const auto& [config, message] : refused) {
    const HttpResponse response = launch(client, 1, config, "pass\n");
    EXPECT_EQ(response.status, 400) << config;
    EXPECT_EQ(response.json(), json::value(json::string(message))) << config;
  }

  const std::string path = "/api/algorithms/1/backtests";
  EXPECT_EQ(client.post_form(path, {{"code", "pass\n"}}).status, 400);
  EXPECT_EQ(client.post_form(path, {{"config", minimal_config}}).status, 400);
  EXPECT_EQ(launch(client, 1, "{not json", "pass\n").status, 500);
  EXPECT_EQ(launch(client, 1, minimal_config, "pass\n", {{"parameters", "{not json"}}).status, 500);
  EXPECT_EQ(launch(client, 1, minimal_config, "pass\n", {{"parameters", "[1]"}}).status, 500);

  EXPECT_EQ(count_rows(server.db_path(), "backtests"), 0);
  EXPECT_EQ(algorithm_column(server.db_path(), 1, "config"), seeded_config);
  EXPECT_FALSE(fs::exists(dir.file("records")));
}

TEST(Launch, AMissingOrEmptyBundleIsRefusedBeforeTheFormIsRead) {
  TempDir dir;
  FakeEngine engine(dir.path());
  const std::string bundle = dir.file("bundle");
  ServerProcess server(dir.file("data"), with_fake_engine(engine, {"--bundle-dir", bundle}));
  HttpClient client("127.0.0.1", server.port());
  const std::string path = "/api/algorithms/1/backtests";

  HttpResponse response = client.post_form(path, {});
  EXPECT_EQ(response.status, 409);
  EXPECT_EQ(response.json(), json::value(json::string("bundle路径 " + bundle +
                                                      " 找不到,请检查是否下载了bundle数据")));
  EXPECT_TRUE(server.wait_for_log("bundle " + bundle + " not found"));

  fs::create_directories(bundle);
  response = client.post_form(path, {});
  EXPECT_EQ(response.status, 409);
  EXPECT_EQ(response.json(), json::value(json::string("bundle" + bundle +
                                                      " 目录是空的,请检查是否下载了bundle数据")));

  fs::remove(bundle);
  write_file(bundle, "not a directory");
  EXPECT_EQ(launch(client, 1, minimal_config, "pass\n").status, 500);
  EXPECT_EQ(count_rows(server.db_path(), "backtests"), 0);

  fs::remove(bundle);
  fs::create_directories(bundle);
  write_file(bundle + "/instruments.csv", "order_book_id\n");
  EXPECT_EQ(launch(client, 1, minimal_config, "pass\n").status, 200);
}

TEST(Launch, AFailureAfterTheBacktestIsRecordedStopsItsRowWithTheError) {
  TempDir dir;
  FakeEngine engine(dir.path());
  const std::string strategies = dir.file("strategies");
  ServerProcess server(dir.file("data"), with_fake_engine(engine, {"--strategy-dir", strategies}));
  HttpClient client("127.0.0.1", server.port());
  write_file(dir.file("afile"), "x");

  const auto expect_abandoned = [&](const HttpResponse& response, std::int64_t id,
                                    const std::string& error_part) {
    EXPECT_EQ(response.status, 500) << id;
    const std::string message(response.json().at("message").as_string());
    EXPECT_NE(message.find("backtest " + std::to_string(id) + " could not be started"),
              std::string::npos)
        << message;
    const db::Row row = backtest_row(server.db_path(), id);
    EXPECT_EQ(row.at("state"), "stopped") << id;
    const std::string exception(row.at("exception").as_string());
    EXPECT_NE(exception.find(error_part), std::string::npos) << exception;
    EXPECT_FALSE(engine.has_record(id));
  };

  // The report directory cannot be created; the launched code and configuration stay saved.
  const std::string unreachable_report =
      R"({"start_date": "a", "end_date": "b", "stock_starting_cash": 1, "frequency": "1d",
          "securities": "s", "report_dir": ")" +
      dir.file("afile/reports") + "\"}";
  expect_abandoned(launch(client, 2, unreachable_report, "A = 1\n"), 1, dir.file("afile"));
  EXPECT_EQ(algorithm_column(server.db_path(), 2, "config"), unreachable_report);
  EXPECT_EQ(algorithm_column(server.db_path(), 2, "code"), "A = 1\n");

  // A value the engine takes as a text is not one.
  expect_abandoned(
      launch(client, 1,
             R"({"start_date": "a", "end_date": "b", "stock_starting_cash": 1, "frequency": 1,
                 "securities": "s"})",
             "pass\n"),
      2, "\"frequency\" must be a text, not 1");

  // The strategy file cannot be written.
  fs::remove_all(strategies);
  write_file(strategies, "x");
  expect_abandoned(launch(client, 1, minimal_config, "pass\n"), 3, strategies);
  fs::remove(strategies);

  // The interpreter is gone.
  fs::remove(engine.python());
  expect_abandoned(launch(client, 1, minimal_config, "pass\n"), 4,
                   "cannot start " + engine.python());

  // The manager never saw them: nothing else touches these rows.
  EXPECT_EQ(server.log_text().find("has finished with poll code"), std::string::npos);
}

TEST(Launch, EachLaunchRunsItsOwnStrategyFileWhileTheSharedOneHoldsTheLatest) {
  TempDir dir;
  FakeEngine engine(dir.path());
  ServerProcess server(dir.file("data"), engine.server_options());
  HttpClient client("127.0.0.1", server.port());
  const std::string second_config =
      R"({"start_date": "2017-01-03", "end_date": "2017-12-29", "stock_starting_cash": 5,
          "frequency": "1d", "securities": "stock"})";
  ASSERT_EQ(launch(client, 1, minimal_config, "A = 'first'\n").status, 200);
  ASSERT_EQ(launch(client, 1, second_config, "A = 'second'\n").status, 200);

  const auto first = engine.record(1);
  const auto second = engine.record(2);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->at("code"), "A = 'first'\n");
  EXPECT_EQ(second->at("code"), "A = 'second'\n");
  const std::string strategies = dir.file("data") + "/strategies";
  EXPECT_EQ(read_file(strategies + "/1/strategy.py"), "A = 'first'\n");
  EXPECT_EQ(read_file(strategies + "/2/strategy.py"), "A = 'second'\n");
  EXPECT_EQ(read_file(strategies + "/strategy.py"), "A = 'second'\n");
  EXPECT_EQ(algorithm_column(server.db_path(), 1, "code"), "A = 'second'\n");
  EXPECT_EQ(algorithm_column(server.db_path(), 1, "config"), second_config);
}

TEST(Launch, TheStandInEngineRunsOverTheSampleBundleAndItsFeedsCanBePaged) {
  TempDir dir;
  // The host's defaults: the stand-in engine and the sample bundle of the repository.
  ServerProcess server(dir.file("data"));
  HttpClient client("127.0.0.1", server.port());
  const std::string examples = STRATDESK_SOURCE_DIR "/engine/examples";
  const json::value configs = json::parse(read_file(examples + "/configs.json"));
  const json::value& config = configs.at("dual_moving_average.py").at("config");
  const HttpResponse response =
      launch(client, 1, json::serialize(config), read_file(examples + "/dual_moving_average.py"),
             {{"parameters", R"({"fast": 3, "slow": 10})"}});
  ASSERT_EQ(response.status, 200) << response.body;
  const std::int64_t id = response.json().at("id").as_int64();

  const auto row = wait_stopped(server.db_path(), id, 120s);
  ASSERT_TRUE(row) << server.log_text();
  EXPECT_EQ(row->at("exception"), "") << server.log_text();
  EXPECT_TRUE(
      server.wait_for_log("Backtest " + std::to_string(id) + " has finished with poll code 0"));
  EXPECT_NE(server.log_text().find("'--parameter-in', 'fast:3', '--parameter-in', 'slow:10'"),
            std::string::npos);
  // The engine kept its pid file only while it ran, and the checker never took it for gone.
  EXPECT_TRUE(fs::is_empty(dir.file("data") + "/pids"));
  EXPECT_EQ(server.log_text().find("backtest_id " + std::to_string(id)), std::string::npos);

  const std::string feeds = "/api/algorithms/1/backtests/" + std::to_string(id) + "/feeds/";
  const auto page = [&](const std::string& kind, const std::string& query) {
    const HttpResponse answer = client.get(feeds + kind + "?" + query);
    EXPECT_EQ(answer.status, 200) << answer.body;
    return answer.json().as_array();
  };
  const json::array first = page("portfolio", "start_index=0&limit=5");
  const json::array second = page("portfolio", "start_index=5&limit=5");
  ASSERT_EQ(first.size(), 5u);
  ASSERT_EQ(second.size(), 5u);
  EXPECT_EQ(first.front().at("datetime"), "2016-01-04 15:00:00");
  EXPECT_EQ(first.front().at("is_benchmark"), 0);
  EXPECT_LT(first.back().at("datetime").as_string(), second.front().at("datetime").as_string());
  const json::array benchmark = page("portfolio", "is_benchmark=true&start_index=0&limit=3");
  ASSERT_EQ(benchmark.size(), 3u);
  EXPECT_EQ(benchmark.front().at("is_benchmark"), 1);

  // Every trading day of 2016 is there, for the portfolio and its benchmark.
  const json::array year = page("portfolio", "start_index=0&limit=1000");
  EXPECT_GT(year.size(), 200u);
  EXPECT_EQ(year.back().at("datetime"), "2016-12-30 15:00:00");
  EXPECT_EQ(count_rows(server.db_path(), "portfolio_feeds"),
            2 * static_cast<std::int64_t>(year.size()));
  for (const char* kind : {"trade", "position", "account", "risk"}) {
    EXPECT_FALSE(page(kind, "start_index=0&limit=2").empty()) << kind;
  }
}

}  // namespace
}  // namespace stratdesk::test
