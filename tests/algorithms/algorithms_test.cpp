#include "algorithms/algorithms.hpp"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <regex>

#include "db/connection.hpp"
#include "fake_extractor.hpp"
#include "test_support.hpp"

namespace stratdesk::algorithms {
namespace {

using boost::json::object;
using boost::json::value;
using test::HttpResponse;

const std::string extracted = R"([{"name": "fast", "default": 5}])";

// The stamp of `instant` eight hours ahead of UTC, worked out without a time-zone library.
std::string utc_plus_8(std::time_t instant) {
  instant += 8 * 3600;
  std::tm fields{};
  ::gmtime_r(&instant, &fields);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &fields);
  return text;
}

class AlgorithmsTest : public ::testing::Test {
 protected:
  AlgorithmsTest()
      : fake_(dir_.file("fake")),
        server_(test::start_with_fake(dir_, fake_)),
        client_("127.0.0.1", server_->port()) {
    fake_.answer(extracted);
  }

  HttpResponse create(const std::string& name, const std::string& code = "x = 1\n",
                      const std::string& config = R"({"securities": "stock"})") {
    return client_.post_form("/api/algorithms",
                             {{"name", name}, {"code", code}, {"config", config}});
  }
  HttpResponse patch(std::int64_t id,
                     const std::vector<std::pair<std::string, std::string>>& fields) {
    return client_.post_form("/api/algorithms/" + std::to_string(id), fields, "PATCH");
  }
  object row(std::int64_t id) {
    db::Connection c(server_->db_path());
    const db::Rows rows = c.execute("SELECT * FROM algorithms WHERE id = ?", {id});
    return rows.empty() ? object{} : rows.front();
  }
  std::int64_t count(const std::string& sql) {
    db::Connection c(server_->db_path());
    return c.execute(sql).at(0).begin()->value().as_int64();
  }
  std::int64_t extractions() {
    const std::string log = server_->log_text();
    std::int64_t n = 0;
    for (auto at = log.find("cmd = "); at != std::string::npos; at = log.find("cmd = ", at + 1)) {
      ++n;
    }
    return n;
  }

  test::TempDir dir_;
  test::FakeExtractor fake_;
  std::unique_ptr<test::ServerProcess> server_;
  test::HttpClient client_;
};

TEST_F(AlgorithmsTest, CreatesListsAndReadsAlgorithms) {
  EXPECT_EQ(client_.get("/api/algorithms").body, "[]");

  // Odd spacing, key order, non-ASCII and a real written 1.50: stored as sent.
  const std::string config =
      "{ \"frequency\":\"1d\",\n  \"securities\" : \"stock\", \"名\": 1.50 }";
  const std::time_t before = std::time(nullptr);
  EXPECT_EQ(create("双均线", "x = parameter('fast', 5)\n", config).json(), (value{{"id", 1}}));
  const std::time_t after = std::time(nullptr);
  EXPECT_EQ(fake_.request(), test::frame("x = parameter('fast', 5)\n"));
  EXPECT_EQ(create("second").json(), (value{{"id", 2}}));

  const object stored = row(1);
  EXPECT_EQ(stored.at("name"), "双均线");
  EXPECT_EQ(stored.at("securities"), "stock");
  EXPECT_EQ(stored.at("config"), value(config));
  EXPECT_EQ(stored.at("code"), "x = parameter('fast', 5)\n");
  EXPECT_EQ(stored.at("parameters"), value(extracted));
  // Shanghai time: UTC+8 all year, zero-padded, no zone suffix.
  const std::string stamp(stored.at("last_modified").as_string());
  EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"))) << stamp;
  EXPECT_TRUE(stamp >= utc_plus_8(before) && stamp <= utc_plus_8(after)) << stamp;

  const value list = client_.get("/api/algorithms").json();
  ASSERT_EQ(list.as_array().size(), 2u);
  EXPECT_EQ(list.as_array()[0], value(stored));
  EXPECT_EQ(client_.get("/api/algorithms/1").json(), value(stored));
  EXPECT_EQ(client_.get("/api/algorithms/99").body, "null");
}

TEST_F(AlgorithmsTest, CreationTakesSecuritiesFromTheParsedConfig) {
  ASSERT_EQ(create("list", "x\n", R"({"securities": ["stock", "future"]})").status, 200);
  EXPECT_EQ(row(1).at("securities"), R"(["stock", "future"])");

  const std::int64_t runs = extractions();
  EXPECT_EQ(client_.post_form("/api/algorithms", {{"name", "n"}, {"code", "c"}}).status, 400);
  EXPECT_EQ(create("bad", "x\n", "{not json").status, 500);
  const HttpResponse no_securities = create("bad", "x\n", R"({"frequency": "1d"})");
  EXPECT_EQ(no_securities.status, 500);
  EXPECT_NE(no_securities.body.find("securities"), std::string::npos) << no_securities.body;
  EXPECT_EQ(count("SELECT count(*) FROM algorithms"), 1);
  EXPECT_EQ(extractions(), runs) << "no child for a request that cannot succeed";
}

TEST_F(AlgorithmsTest, PatchSetsTheColumnsSentAndOnlyThose) {
  ASSERT_EQ(create("original").status, 200);
  object before = row(1);
  std::int64_t runs = extractions();

  EXPECT_EQ(patch(1, {{"name", "renamed"}, {"last_modified", "1999-01-01 00:00:00"}}).json(),
            (value{{"id", 1}}));
  object after = row(1);
  EXPECT_EQ(after.at("name"), "renamed");
  EXPECT_GE(after.at("last_modified").as_string(), before.at("last_modified").as_string());
  for (const char* kept : {"code", "config", "securities", "parameters"}) {
    EXPECT_EQ(after.at(kept), before.at(kept)) << kept;
  }
  EXPECT_EQ(extractions(), runs) << "no extraction without code";

  // Without code, parameters are stored as sent; securities is a field of its own.
  ASSERT_EQ(patch(1, {{"parameters", "[1]"}, {"securities", "future"}}).status, 200);
  EXPECT_EQ(row(1).at("parameters"), "[1]");
  EXPECT_EQ(row(1).at("securities"), "future");

  // With code the extraction runs again and its answer wins over a sent parameters field.
  fake_.answer(R"([{"name": "slow"}])");
  ASSERT_EQ(patch(1, {{"code", "z = 3\n"}, {"parameters", "ignored"}}).status, 200);
  EXPECT_EQ(row(1).at("code"), "z = 3\n");
  EXPECT_EQ(row(1).at("parameters"), R"([{"name": "slow"}])");
  EXPECT_EQ(extractions(), runs + 1);

  EXPECT_EQ(patch(77, {{"name", "ghost"}}).json(), (value{{"id", 77}}));
  EXPECT_EQ(count("SELECT count(*) FROM algorithms"), 1);
  EXPECT_NE(server_->log_text().find("params = {'name': 'ghost'}"), std::string::npos);

  // A field that names no column (or the id) is refused before anything happens.
  before = row(1);
  runs = extractions();
  const HttpResponse refused =
      patch(1, {{"name", "changed"}, {"code", "new\n"}, {"name = 'x', code", "y"}});
  EXPECT_EQ(refused.status, 400);
  EXPECT_NE(std::string(refused.json().at("message").as_string()).find("'name = 'x', code'"),
            std::string::npos)
      << refused.body;
  EXPECT_EQ(patch(1, {{"algorithms.name", "1"}}).status, 400);
  EXPECT_EQ(patch(1, {{"id", "9"}}).status, 400);
  EXPECT_EQ(row(1), before) << "not even last_modified changes";
  EXPECT_EQ(extractions(), runs);
}

TEST_F(AlgorithmsTest, ParametersAreAnsweredAsOneJsonString) {
  fake_.answer("[]");
  ASSERT_EQ(create("empty").status, 200);
  EXPECT_EQ(client_.get("/api/algorithms/1/parameters").body, "\"[]\"");
  {
    db::Connection c(server_->db_path());
    c.execute("INSERT INTO algorithms (id, name, securities) VALUES (40, 'bare', 'stock')");
    c.commit();
  }
  const HttpResponse null_row = client_.get("/api/algorithms/40/parameters");
  EXPECT_EQ(null_row.status, 200);
  EXPECT_EQ(null_row.body, "null");
  EXPECT_EQ(client_.get("/api/algorithms/41/parameters").status, 500);
}

TEST_F(AlgorithmsTest, DeletionTakesBacktestsAlongAndStopsAtARunningOne) {
  ASSERT_EQ(create("idle").status, 200);
  ASSERT_EQ(create("busy").status, 200);
  {
    db::Connection c(server_->db_path());
    for (const auto& [algorithm, state] :
         {std::pair{1, "stopped"}, {2, "stopped"}, {2, "executing"}, {2, "stopped"}}) {
      c.execute("INSERT INTO backtests (algorithm_id, config, state) VALUES (?, '{}', ?)",
                {algorithm, state});
      c.execute(
          "INSERT INTO log_feeds (algorithm_id, backtest_id, datetime, type) "
          "VALUES (?, ?, 'd', 20)",
          {algorithm, c.last_insert_rowid()});
    }
    c.commit();
  }

  const HttpResponse refused = client_.request("DELETE", "/api/algorithms/2");
  EXPECT_EQ(refused.status, 200);
  EXPECT_EQ(refused.json(), (value{{"msg", "删除失败：不可以删除正在运行的策略。"}}));
  EXPECT_FALSE(row(2).empty());
  EXPECT_EQ(count("SELECT count(*) FROM backtests WHERE algorithm_id = 2"), 2);
  EXPECT_EQ(count("SELECT count(*) FROM log_feeds WHERE backtest_id = 2"), 0);

  EXPECT_EQ(client_.request("DELETE", "/api/algorithms/1").json(), (value{{"id", 1}}));
  EXPECT_TRUE(row(1).empty());
  EXPECT_EQ(count("SELECT count(*) FROM backtests WHERE algorithm_id = 1"), 0);
  EXPECT_EQ(count("SELECT count(*) FROM log_feeds WHERE algorithm_id = 1"), 0);
  EXPECT_EQ(client_.request("DELETE", "/api/algorithms/500").json(), (value{{"id", 500}}));
}

TEST_F(AlgorithmsTest, DeletionRemovesTheStrategyFoldersOfEveryBacktestItDeleted) {
  namespace fs = std::filesystem;
  ASSERT_EQ(create("done").status, 200);
  ASSERT_EQ(create("busy").status, 200);
  const std::string strategies = dir_.file("data/strategies");
  {
    db::Connection c(server_->db_path());
    for (const auto& [algorithm, state] : {std::pair{1, "stopped"},
                                           {1, "stopped"},
                                           {2, "stopped"},
                                           {2, "executing"},
                                           {2, "stopped"},
                                           {1, "stopped"}}) {
      c.execute("INSERT INTO backtests (algorithm_id, config, state) VALUES (?, '{}', ?)",
                {algorithm, state});
      const std::string folder = strategies + "/" + std::to_string(c.last_insert_rowid());
      fs::create_directories(folder);
      test::write_file(folder + "/strategy.py", "x = 1\n");
    }
    c.commit();
  }
  test::write_file(strategies + "/strategy.py", "latest\n");

  // Refused at backtest 4: backtest 3 is gone already and so is its folder.
  EXPECT_EQ(client_.request("DELETE", "/api/algorithms/2").json(),
            (value{{"msg", "删除失败：不可以删除正在运行的策略。"}}));
  EXPECT_FALSE(fs::exists(strategies + "/3"));
  EXPECT_TRUE(fs::exists(strategies + "/4/strategy.py"));
  EXPECT_TRUE(fs::exists(strategies + "/5/strategy.py"));

  // A folder that cannot be removed (a mount point) costs a warning, not the answer.
  test::TmpfsMount busy(strategies + "/6", 64 * 1024);
  fs::remove_all(strategies + "/2");  // a missing folder is no error either
  const HttpResponse deleted = client_.request("DELETE", "/api/algorithms/1");
  EXPECT_EQ(deleted.status, 200);
  EXPECT_EQ(deleted.json(), (value{{"id", 1}}));
  EXPECT_FALSE(fs::exists(strategies + "/1"));
  EXPECT_EQ(count("SELECT count(*) FROM backtests WHERE algorithm_id = 1"), 0);
  if (busy.mounted()) {
    EXPECT_NE(server_->log_text().find("cannot remove the strategy files of deleted backtest 6"),
              std::string::npos)
        << server_->log_text();
  } else {
    EXPECT_FALSE(fs::exists(strategies + "/6"));
  }
  EXPECT_EQ(test::read_file(strategies + "/strategy.py"), "latest\n");
  EXPECT_TRUE(fs::exists(strategies + "/4/strategy.py"));
}

}  // namespace
}  // namespace stratdesk::algorithms
