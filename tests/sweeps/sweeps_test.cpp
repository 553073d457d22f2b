// Sweeps through real HTTP: the real server, the fake engine running a small strategy that
// posts results, and the real database file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "engine_fakes.hpp"
#include "sse_client.hpp"
#include "test_support.hpp"

namespace stratdesk::test {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;

// A strategy for the fake engine: reads its parameters from the command line, marks itself
// running in <dir>/running (and notes how many runs it saw there), sleeps `seconds`, posts a
// portfolio row and a risk row whose values follow from its parameters, and exits.
std::string strategy(const std::string& dir, double seconds) {
  return R"(import os, sys, time, json, urllib.request, urllib.parse
args = sys.argv
params = {args[i + 1].split(":", 1)[0]: args[i + 1].split(":", 1)[1]
          for i, a in enumerate(args) if a == "--parameter-in"}
bid = int(args[args.index("tarnel.backtest_id") + 1])
aid = int(args[args.index("tarnel.algorithm_id") + 1])
running = ")" +
         dir + R"(/running"
os.makedirs(running, exist_ok=True)
open(os.path.join(running, str(bid)), "w").close()
with open(")" +
         dir + R"(/seen", "a") as f:
    f.write("%d %d %s\n" % (bid, len(os.listdir(running)), json.dumps(params, sort_keys=True)))
time.sleep()" +
         std::to_string(seconds) + R"()
fast, slow = int(params["fast"]), int(params["slow"])
returns = fast / 10.0 - slow / 100.0
day = "2016-01-04 15:00:00"
portfolio = [[aid, bid, day, 0, 1.0, 2.0, 3.0, 1.1, 1.0, 1.0, returns, returns * 2, 1.0, 0.0, 1.0]]
risk = [[aid, bid, day, 0.1, 0.2, fast * 1.0, 0.5, 0.6, slow * 0.01, -slow * 0.1, 0.7, 0.8]]
body = urllib.parse.urlencode({"portfolio_feeds": json.dumps(portfolio),
                               "risk_feeds": json.dumps(risk)}).encode()
try:
    urllib.request.urlopen(os.environ["STRATDESK_FEED_URL"], body).read()
finally:
    os.remove(os.path.join(running, str(bid)))
)";
}

class SweepsTest : public ::testing::Test {
 protected:
  void start(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> options = engine_.server_options();
    options.insert(options.end(), extra.begin(), extra.end());
    server_.emplace(dir_.file("data"), options);
    client_.emplace("127.0.0.1", server_->port());
  }

  HttpResponse post_sweep(const std::string& grid, const std::string& code,
                          std::vector<std::pair<std::string, std::string>> extra = {}) {
    std::vector<std::pair<std::string, std::string>> fields = {
        {"config", minimal_config}, {"code", code}, {"grid", grid}};
    fields.insert(fields.end(), extra.begin(), extra.end());
    return client_->post_form("/api/algorithms/1/sweeps", fields);
  }

  json::object sweep(std::int64_t id) {
    const HttpResponse answer = client_->get("/api/sweeps/" + std::to_string(id));
    EXPECT_EQ(answer.status, 200) << answer.body;
    return answer.json().as_object();
  }

  // Waits for the sweep to leave "running"; its last answer.
  json::object wait_ended(std::int64_t id, std::chrono::milliseconds timeout = 60s) {
    json::object last;
    wait_until(
        [&] {
          last = sweep(id);
          return last.at("state") != "running";
        },
        timeout);
    return last;
  }

  // The engine's notes: for each run, how many runs were executing when it started and its
  // parameters.
  std::vector<std::pair<int, std::string>> seen() const {
    std::vector<std::pair<int, std::string>> runs;
    std::istringstream lines(fs::exists(dir_.file("seen")) ? read_file(dir_.file("seen")) : "");
    std::string bid;
    int executing = 0;
    std::string parameters;
    while (lines >> bid >> executing && std::getline(lines, parameters)) {
      runs.emplace_back(executing, parameters.substr(1));
    }
    return runs;
  }

  TempDir dir_;
  FakeEngine engine_{dir_.path()};
  std::optional<ServerProcess> server_;
  std::optional<HttpClient> client_;
};

const std::string grid_3x3 = R"({"fast": [1, 2, 3], "slow": [10, 20, 30]})";

TEST_F(SweepsTest, AGridRunsEveryCombinationOnceAtMostTwoAtATimeAndIsRanked) {
  start();
  const HttpResponse posted = post_sweep(grid_3x3, strategy(dir_.path(), 0.3),
                                         {{"concurrency", "2"},
                                          {"parameters", R"({"fast": 0, "kept": "x"})"},
                                          {"objective", "max_drawdown"},
                                          {"comment", "grid"}});
  ASSERT_EQ(posted.status, 200) << posted.body;
  const std::int64_t id = posted.json().at("id").as_int64();
  EXPECT_EQ(posted.json().at("runs"), 9);

  const json::object ended = wait_ended(id);
  ASSERT_EQ(ended.at("state"), "finished") << json::serialize(ended);
  EXPECT_EQ(ended.at("counts"),
            json::parse(R"({"pending":0,"executing":0,"finished":9,"failed":0,"stopped":0})"));
  EXPECT_TRUE(ended.at("eta_seconds").is_null());

  // Every combination once, in index order, with the base's other parameters kept.
  const auto runs = seen();
  ASSERT_EQ(runs.size(), 9u);
  std::set<std::string> combinations;
  for (const auto& [executing, parameters] : runs) {
    EXPECT_LE(executing, 2) << parameters;
    combinations.insert(parameters);
  }
  EXPECT_EQ(combinations.size(), 9u);
  const json::array& run_list = ended.at("runs").as_array();
  EXPECT_EQ(run_list.at(0).at("parameters"),
            json::parse(R"({"fast": 1, "kept": "x", "slow": 10})"));
  EXPECT_EQ(run_list.at(5).at("parameters"),
            json::parse(R"({"fast": 2, "kept": "x", "slow": 30})"));
  for (const auto& run : run_list) {
    EXPECT_EQ(run.at("state"), "stopped");
    EXPECT_EQ(run.at("exception"), "");
    const json::object& summary = run.at("summary").as_object();
    const double fast = run.at("parameters").at("fast").to_number<double>();
    const double slow = run.at("parameters").at("slow").to_number<double>();
    EXPECT_DOUBLE_EQ(summary.at("total_returns").to_number<double>(), fast / 10 - slow / 100);
    EXPECT_DOUBLE_EQ(summary.at("sharpe").to_number<double>(), fast);
    EXPECT_EQ(summary.at("trades"), 0);
  }
  // The smallest drawdown (slow * 0.1) first; equal drawdowns keep index order.
  EXPECT_EQ(ended.at("ranking"), json::parse("[0, 3, 6, 1, 4, 7, 2, 5, 8]"));

  // Every start and end was told on the event stream, the sweep's end last.
  SseClient stream(server_->port(), "/api/events", {{"Last-Event-ID", "0"}});
  std::vector<json::value> told;
  while (const auto event = stream.next(2s)) {
    if (event->type == "sweep") {
      told.push_back(event->data);
    }
  }
  ASSERT_GE(told.size(), 19u) << "nine starts, nine ends and the end";
  EXPECT_EQ(told.front().at("counts").at("executing"), 1);
  EXPECT_EQ(told.back(), json::parse(R"({"id": 1, "state": "finished", "counts": {"pending": 0,
      "executing": 0, "finished": 9, "failed": 0, "stopped": 0}})"));

  const HttpResponse list = client_->get("/api/algorithms/1/sweeps");
  ASSERT_EQ(list.status, 200);
  ASSERT_EQ(list.json().as_array().size(), 1u);
  EXPECT_FALSE(list.json().at(0).as_object().contains("runs"));
  EXPECT_EQ(list.json().at(0).at("comment"), "grid");
}

TEST_F(SweepsTest, AStopEndsTheRunningAndStartsNoMoreAndADeletionWaitsForTheEnd) {
  start();
  const HttpResponse posted = post_sweep(R"({"fast": [1, 2, 3], "slow": [10, 20]})",
                                         strategy(dir_.path(), 60), {{"concurrency", "2"}});
  ASSERT_EQ(posted.status, 200) << posted.body;
  const std::int64_t id = posted.json().at("id").as_int64();
  ASSERT_TRUE(wait_until([&] { return seen().size() == 2; }));
  EXPECT_EQ(sweep(id).at("counts").at("executing"), 2);

  const HttpResponse refused = client_->request("DELETE", "/api/sweeps/" + std::to_string(id));
  EXPECT_EQ(refused.status, 200);
  EXPECT_EQ(refused.json().at("msg"), "删除失败：不可以删除正在运行的策略。");

  const HttpResponse stopped = client_->request("PATCH", "/api/sweeps/" + std::to_string(id),
                                                "state=stop", "application/x-www-form-urlencoded");
  ASSERT_EQ(stopped.status, 200) << stopped.body;
  EXPECT_EQ(stopped.body, "true");
  const json::object ended = wait_ended(id, 30s);
  EXPECT_EQ(ended.at("state"), "stopped");
  EXPECT_EQ(ended.at("counts"),
            json::parse(R"({"pending":4,"executing":0,"finished":0,"failed":0,"stopped":2})"));
  EXPECT_EQ(seen().size(), 2u) << "no run starts after the stop";
  const auto first = ended.at("runs").at(0).at("backtest_id").as_int64();

  const HttpResponse deleted = client_->request("DELETE", "/api/sweeps/" + std::to_string(id));
  ASSERT_EQ(deleted.status, 200) << deleted.body;
  EXPECT_EQ(deleted.json().at("id"), id);
  EXPECT_EQ(client_->get("/api/sweeps/" + std::to_string(id)).status, 404);
  EXPECT_TRUE(backtest_row(server_->db_path(), first).empty());
  EXPECT_FALSE(fs::exists(dir_.file("data/strategies/" + std::to_string(first))));
}

TEST_F(SweepsTest, AServerKilledMidwayFinishesTheSweepAfterARestartRunningEachCombinationOnce) {
  start({"--max-running", "1"});
  const HttpResponse posted = post_sweep(R"({"fast": [1, 2], "slow": [10, 20]})",
                                         strategy(dir_.path(), 1), {{"concurrency", "3"}});
  ASSERT_EQ(posted.status, 200) << posted.body;
  const std::int64_t id = posted.json().at("id").as_int64();
  ASSERT_TRUE(wait_until([&] { return seen().size() == 2; }, 30s));
  for (const auto& [executing, parameters] : seen()) {
    EXPECT_EQ(executing, 1) << "--max-running holds the sweep under its own concurrency";
  }
  server_->kill_hard();
  // The engine of the run in flight outlives the server; its end is settled at the restart.
  std::this_thread::sleep_for(1500ms);

  start({"--max-running", "1"});
  const json::object ended = wait_ended(id);
  EXPECT_EQ(ended.at("state"), "finished") << json::serialize(ended);
  std::set<std::string> combinations;
  for (const auto& [executing, parameters] : seen()) {
    combinations.insert(parameters);
  }
  EXPECT_EQ(seen().size(), 4u);
  EXPECT_EQ(combinations.size(), 4u);
  std::set<std::int64_t> backtests;
  for (const auto& run : ended.at("runs").as_array()) {
    backtests.insert(run.at("backtest_id").as_int64());
  }
  EXPECT_EQ(backtests.size(), 4u);
}

TEST_F(SweepsTest, RunsWhoseEngineCannotStartFailAndTheSweepGoesOn) {
  start();
  // Strategy files cannot be written where a file stands in for their folder.
  const std::string strategies = dir_.file("data/strategies");
  fs::remove_all(strategies);
  write_file(strategies, "not a folder");
  const HttpResponse posted = post_sweep(R"({"fast": [1, 2, 3]})", "pass\n");
  ASSERT_EQ(posted.status, 200) << posted.body;
  const json::object ended = wait_ended(posted.json().at("id").as_int64(), 30s);
  EXPECT_EQ(ended.at("state"), "finished");
  EXPECT_EQ(ended.at("counts"),
            json::parse(R"({"pending":0,"executing":0,"finished":0,"failed":3,"stopped":0})"));
  EXPECT_EQ(ended.at("ranking"), json::array());
  for (const auto& run : ended.at("runs").as_array()) {
    const std::int64_t backtest = run.at("backtest_id").as_int64();
    EXPECT_EQ(run.at("exception"), backtest_row(server_->db_path(), backtest).at("exception"));
    EXPECT_NE(std::string(run.at("exception").as_string()).find("strategies"), std::string::npos)
        << run.at("exception");
  }
}

TEST_F(SweepsTest, MalformedSweepsAreRefusedWithNothingStored) {
  start();
  const std::string code = "pass\n";
  struct Case {
    std::vector<std::pair<std::string, std::string>> fields;
    std::string grid;
    std::string says;
  };
  const std::vector<Case> cases = {
      {{}, "[1]", "grid must be a JSON object"},
      {{}, R"({"n": []})", "non-empty array"},
      {{}, R"({"n": [1, {"a": 1}]})", "'n' takes"},
      {{{"concurrency", "65"}}, R"({"n": [1]})", "concurrency"},
      {{{"objective", "profit"}}, R"({"n": [1]})", "objective"},
      {{{"parameters", "[1]"}}, R"({"n": [1]})", "parameters"},
  };
  for (const Case& bad : cases) {
    const HttpResponse answer = post_sweep(bad.grid, code, bad.fields);
    EXPECT_EQ(answer.status, 400) << bad.grid;
    EXPECT_NE(answer.body.find(bad.says), std::string::npos) << answer.body;
  }
  // The configuration is refused exactly as a launch refuses it.
  const std::string no_dates = R"({"stock_starting_cash": 1, "securities": "stock"})";
  const HttpResponse launch_answer = launch(*client_, 1, no_dates, code);
  const HttpResponse sweep_answer = client_->post_form(
      "/api/algorithms/1/sweeps", {{"config", no_dates}, {"code", code}, {"grid", "{\"n\": [1]}"}});
  EXPECT_EQ(sweep_answer.status, launch_answer.status);
  EXPECT_EQ(sweep_answer.body, launch_answer.body);
  EXPECT_EQ(client_->get("/api/algorithms/1/sweeps").body, "[]");
  for (const char* method : {"GET", "PATCH", "DELETE"}) {
    EXPECT_EQ(
        client_
            ->request(method, "/api/sweeps/99", "state=stop", "application/x-www-form-urlencoded")
            .status,
        404)
        << method;
  }
}

}  // namespace
}  // namespace stratdesk::test
