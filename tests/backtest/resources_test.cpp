// The backtest resources over HTTP against the real server binary: rows written straight into
// its database where only their content matters, real launches of recording engines where a
// running child does.

#include "backtest/backtest.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine_fakes.hpp"
#include "test_support.hpp"

namespace stratdesk::test {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;

using Fields = std::vector<std::pair<std::string, std::string>>;

const std::vector<std::string> feed_tables = {"portfolio_feeds", "trade_feeds",    "log_feeds",
                                              "plot_feeds",      "position_feeds", "account_feeds",
                                              "risk_feeds"};

// Writes rows into the server's database on a connection of the test's own.
class Rows {
 public:
  explicit Rows(const std::string& db_path) : c_(db_path) {}

  void algorithm(std::int64_t id, const std::string& name) {
    run("INSERT INTO algorithms (id, name, securities) VALUES (?, ?, 's')", {id, db::Value(name)});
  }
  std::int64_t backtest(std::int64_t algorithm_id, const std::string& state) {
    run("INSERT INTO backtests (algorithm_id, config, state) VALUES (?, '{\"a\": 1}', ?)",
        {algorithm_id, db::Value(state)});
    return c_.last_insert_rowid();
  }
  void portfolio(std::int64_t backtest_id, const std::string& datetime, int is_benchmark,
                 double total_value) {
    run("INSERT INTO portfolio_feeds (algorithm_id, backtest_id, datetime, is_benchmark, "
        "total_value) VALUES (1, ?, ?, ?, ?)",
        {backtest_id, db::Value(datetime), is_benchmark, total_value});
  }
  // One row in each feed table, with the columns that may not be null.
  void feeds(std::int64_t backtest_id) {
    for (const char* sql :
         {"INSERT INTO portfolio_feeds (algorithm_id, backtest_id, datetime) VALUES (1, ?, 'd')",
          "INSERT INTO trade_feeds (algorithm_id, backtest_id, datetime, order_book_id, "
          "exec_id) VALUES (1, ?, 'd', 'X', 'e')",
          "INSERT INTO log_feeds (algorithm_id, backtest_id, datetime, type) VALUES (1, ?, 'd', 2)",
          "INSERT INTO plot_feeds (algorithm_id, backtest_id, datetime, name) "
          "VALUES (1, ?, 'd', 'p')",
          "INSERT INTO position_feeds (algorithm_id, backtest_id, datetime, order_book_id, "
          "type) VALUES (1, ?, 'd', 'X', 'STOCK')",
          "INSERT INTO account_feeds (algorithm_id, backtest_id, datetime, type) "
          "VALUES (1, ?, 'd', 'STOCK')",
          "INSERT INTO risk_feeds (algorithm_id, backtest_id, datetime) VALUES (1, ?, 'd')"}) {
      run(sql, {backtest_id});
    }
  }
  // The feed tables that hold rows of `backtest_id`.
  std::vector<std::string> tables_with_feeds(std::int64_t backtest_id) {
    std::vector<std::string> found;
    for (const auto& table : feed_tables) {
      if (!c_.execute("SELECT id FROM " + table + " WHERE backtest_id = ?", {backtest_id})
               .empty()) {
        found.push_back(table);
      }
    }
    return found;
  }

 private:
  void run(const std::string& sql, std::initializer_list<db::Value> values) {
    c_.execute(sql, values);
    c_.commit();
  }
  db::Connection c_;
};

// The engine manager settles rows left "executing" when it starts, which may be just after the
// server listens: rows written before that would be settled under the test's feet.
bool manager_started(const ServerProcess& server) {
  return server.wait_for_log("kestrun manager started");
}

std::string keys_of(const json::value& object) {
  std::string keys;
  for (const auto& member : object.as_object()) {
    keys += std::string(member.key()) + " ";
  }
  return keys;
}

std::vector<std::int64_t> ids_of(const json::value& list) {
  std::vector<std::int64_t> ids;
  for (const auto& item : list.as_array()) {
    ids.push_back(item.at("id").as_int64());
  }
  return ids;
}

bool has(const json::value& object, const char* key) {
  return object.as_object().contains(key);
}

const std::string portfolio_keys =
    "order_key id algorithm_id backtest_id datetime is_benchmark cash total_value market_value "
    "unit_net_value units static_unit_net_value total_returns annualized_returns portfolio_value "
    "daily_returns starting_cash ";

void expect_all_null(const json::value& portfolio) {
  EXPECT_EQ(keys_of(portfolio), portfolio_keys);
  for (const auto& member : portfolio.as_object()) {
    EXPECT_TRUE(member.value().is_null()) << member.key();
  }
}

json::value get_json(HttpClient& client, const std::string& target, int status = 200) {
  const HttpResponse response = client.get(target);
  EXPECT_EQ(response.status, status) << target << ": " << response.body;
  return response.json();
}

TEST(BacktestResources, ReadsCarryTheAlgorithmNameAndListsTheFinalPortfolio) {
  TempDir dir;
  ServerProcess server(dir.file("data"));
  HttpClient client("127.0.0.1", server.port());
  ASSERT_TRUE(manager_started(server)) << server.log_text();
  Rows rows(server.db_path());
  rows.algorithm(100, "双均线");
  rows.algorithm(101, "");
  EXPECT_EQ(get_json(client, "/api/algorithms/100/backtests"), json::array());

  const std::int64_t latest = rows.backtest(100, "stopped");
  const std::int64_t empty = rows.backtest(100, "executing");
  const std::int64_t unnamed = rows.backtest(101, "stopped");
  const std::int64_t orphan = rows.backtest(102, "stopped");
  rows.portfolio(latest, "2016-01-04 15:00:00", 0, 1.5);
  rows.portfolio(latest, "2016-01-06 15:00:00", 1, 3.25);
  rows.portfolio(latest, "2016-01-05 15:00:00", 0, 2.0);
  rows.portfolio(unnamed, "2017-01-03 15:00:00", 0, 7.0);

  const json::value list = get_json(client, "/api/algorithms/100/backtests");
  ASSERT_EQ(ids_of(list), (std::vector<std::int64_t>{latest, empty}));
  EXPECT_EQ(list.at(0).at("algorithm_name"), "双均线");
  EXPECT_EQ(list.at(0).at("config"), R"({"a": 1})");
  // The latest row of the backtest wins, a benchmark row too.
  const json::value& portfolio = list.at(0).at("final_portfolio");
  EXPECT_EQ(keys_of(portfolio), portfolio_keys);
  EXPECT_EQ(portfolio.at("order_key"), "2016-01-06 15:00:00");
  EXPECT_EQ(portfolio.at("is_benchmark"), 1);
  EXPECT_EQ(portfolio.at("total_value"), 3.25);
  expect_all_null(list.at(1).at("final_portfolio"));

  // A list leaves out an empty name, and the name of an algorithm that has no row.
  const json::value unnamed_list = get_json(client, "/api/algorithms/101/backtests");
  EXPECT_FALSE(has(unnamed_list.at(0), "algorithm_name"));
  EXPECT_EQ(unnamed_list.at(0).at("final_portfolio").at("total_value"), 7.0);
  const json::value orphan_list = get_json(client, "/api/algorithms/102/backtests");
  EXPECT_FALSE(has(orphan_list.at(0), "algorithm_name"));
  expect_all_null(orphan_list.at(0).at("final_portfolio"));

  // One backtest: the name whenever the algorithm row exists, and no portfolio.
  const auto one = [&](std::int64_t algorithm_id, std::int64_t backtest_id) {
    return get_json(client, "/api/algorithms/" + std::to_string(algorithm_id) + "/backtests/" +
                                std::to_string(backtest_id));
  };
  EXPECT_EQ(keys_of(one(100, latest)),
            "id algorithm_id config state comment time_spent exception code uuid run_at "
            "algorithm_name ");
  EXPECT_EQ(one(101, unnamed).at("algorithm_name"), "");
  EXPECT_FALSE(has(one(102, orphan), "algorithm_name"));
  EXPECT_TRUE(one(101, latest).is_null());

  const auto by_id = [&](std::int64_t backtest_id) {
    return get_json(client, "/api/backtests/" + std::to_string(backtest_id));
  };
  EXPECT_EQ(by_id(latest), one(100, latest));
  EXPECT_EQ(by_id(unnamed).at("algorithm_name"), "");
  EXPECT_FALSE(has(by_id(orphan), "algorithm_name"));
  const json::value unknown = get_json(client, "/api/backtests/9999", 500);
  EXPECT_EQ(unknown.at("message"), "backtest 9999 does not exist");
}

TEST(BacktestResources, ListByStateDefaultsToStoppedAndGivesPortfoliosToRunningBacktestsOnly) {
  TempDir dir;
  ServerProcess server(dir.file("data"));
  HttpClient client("127.0.0.1", server.port());
  ASSERT_TRUE(manager_started(server)) << server.log_text();
  Rows rows(server.db_path());
  rows.algorithm(100, "A");
  const std::int64_t stopped = rows.backtest(100, "stopped");
  const std::int64_t running = rows.backtest(100, "executing");
  const std::int64_t orphan = rows.backtest(102, "stopped");
  rows.portfolio(stopped, "2016-01-04 15:00:00", 0, 1.0);
  rows.portfolio(running, "2016-01-05 15:00:00", 0, 2.0);

  const json::value by_default = get_json(client, "/api/backtests");
  EXPECT_EQ(ids_of(by_default), (std::vector<std::int64_t>{stopped, orphan}));
  EXPECT_EQ(by_default.at(0).at("algorithm_name"), "A");
  EXPECT_FALSE(has(by_default.at(0), "final_portfolio"));
  EXPECT_FALSE(has(by_default.at(1), "algorithm_name"));

  const json::value executing = get_json(client, "/api/backtests?state=executing");
  ASSERT_EQ(ids_of(executing), std::vector<std::int64_t>{running});
  EXPECT_EQ(executing.at(0).at("algorithm_name"), "A");
  EXPECT_EQ(executing.at(0).at("final_portfolio").at("order_key"), "2016-01-05 15:00:00");
  // The empty text is a state like any other, not an absent one.
  EXPECT_EQ(get_json(client, "/api/backtests?state="), json::array());

  // The argument may come in a JSON body or a form field too; the query string comes first.
  const auto with_body = [&](const std::string& target, const std::string& body,
                             const std::string& type = "application/json") {
    const HttpResponse response = client.request("GET", target, body, type);
    EXPECT_EQ(response.status, 200) << body << ": " << response.body;
    return response.json();
  };
  EXPECT_EQ(with_body("/api/backtests", R"({"state": "executing"})"), executing);
  EXPECT_EQ(with_body("/api/backtests", R"({"state": null})"), by_default);
  EXPECT_EQ(with_body("/api/backtests", "state=executing", "application/x-www-form-urlencoded"),
            executing);
  EXPECT_EQ(with_body("/api/backtests?state=stopped", R"({"state": "executing"})"), by_default);
}

TEST(BacktestResources, PatchAndDeleteOfRunningAndFinishedBacktests) {
  TempDir dir;
  FakeEngine engine(dir.path());
  ServerProcess server(dir.file("data"), engine.server_options());
  HttpClient client("127.0.0.1", server.port());
  Rows rows(server.db_path());
  const std::string strategies = dir.file("data") + "/strategies";
  const std::string sleeper = "import time\ntime.sleep(60)\n";
  const auto patch = [&](const std::string& ids, const Fields& fields) {
    return client.post_form("/api/algorithms/" + ids, fields, "PATCH");
  };
  const auto comment = [&] { return backtest_row(server.db_path(), 1).at("comment"); };

  ASSERT_EQ(launch(client, 1, minimal_config, sleeper).status, 200);
  ASSERT_EQ(launch(client, 1, minimal_config, sleeper).status, 200);
  const auto first = engine.record(1);
  const auto second = engine.record(2);
  ASSERT_TRUE(first && second);
  rows.feeds(1);
  rows.feeds(2);

  // Comments, also empty ones; a comment makes it a comment change whatever else is sent.
  EXPECT_EQ(patch("1/backtests/1", {{"comment", "新的"}}).json(), true);
  EXPECT_EQ(comment(), "新的");
  EXPECT_EQ(patch("7/backtests/1", {{"comment", "x"}}).json(), true);
  EXPECT_EQ(comment(), "新的");
  EXPECT_EQ(patch("1/backtests/1", {{"comment", ""}}).json(), true);
  EXPECT_EQ(comment(), "");
  EXPECT_EQ(patch("1/backtests/1", {{"state", "stop"}, {"comment", "both"}}).json(), true);
  EXPECT_EQ(comment(), "both");
  for (const Fields& fields : {Fields{{"state", "pause"}}, Fields{{"state", ""}}, Fields{}}) {
    const HttpResponse response = patch("1/backtests/1", fields);
    EXPECT_EQ(response.status, 403) << form_encode(fields);
    EXPECT_EQ(response.json(), json::string("无效的PATCH指令")) << form_encode(fields);
  }
  // The manager logs every stop it is handed, at once.
  EXPECT_EQ(server.log_text().find("Receive stop Backtest"), std::string::npos);

  // Running: a deletion is refused with status 200 and nothing goes.
  HttpResponse response = client.request("DELETE", "/api/algorithms/1/backtests/1");
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.json(), (json::object{{"msg", "删除失败：不可以删除正在运行的策略。"}}));
  EXPECT_EQ(backtest_state(server.db_path(), 1), "executing");
  EXPECT_EQ(rows.tables_with_feeds(1), feed_tables);
  EXPECT_TRUE(fs::exists(strategies + "/1/strategy.py"));

  // Only the backtest id reaches the manager, so another algorithm's path stops it too.
  EXPECT_EQ(patch("1/backtests/1", {{"state", "stop"}}).json(), true);
  EXPECT_EQ(patch("999/backtests/2", {{"state", "stop"}}).json(), true);
  for (std::int64_t id : {1, 2}) {
    const auto row = wait_stopped(server.db_path(), id, 5s);
    ASSERT_TRUE(row) << id << "\n" << server.log_text();
    EXPECT_EQ(row->at("exception"), "stopped by request") << id;
    EXPECT_EQ(row->at("comment"), id == 1 ? "both" : "");
  }
  EXPECT_TRUE(process_gone(first->at("pid").as_int64()));
  EXPECT_TRUE(process_gone(second->at("pid").as_int64()));

  // Finished: the row, its rows in every feed table and its own strategy directory go.
  write_file(strategies + "/1/notes.txt", "left by hand");
  response = client.request("DELETE", "/api/algorithms/1/backtests/1");
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.json(), (json::object{{"id", 1}}));
  EXPECT_TRUE(backtest_row(server.db_path(), 1).empty());
  EXPECT_EQ(rows.tables_with_feeds(1), std::vector<std::string>());
  EXPECT_FALSE(fs::exists(strategies + "/1"));
  EXPECT_EQ(rows.tables_with_feeds(2), feed_tables);
  EXPECT_TRUE(fs::exists(strategies + "/2/strategy.py"));
  EXPECT_EQ(read_file(strategies + "/strategy.py"), sleeper);

  // A missing strategy directory is no reason to refuse.
  fs::remove_all(strategies + "/2");
  response = client.request("DELETE", "/api/algorithms/5/backtests/2");
  EXPECT_EQ(response.json(), (json::object{{"id", 2}}));
  EXPECT_EQ(rows.tables_with_feeds(2), std::vector<std::string>());
}

}  // namespace
}  // namespace stratdesk::test
