// Following a running backtest through the real server: its progress, and the event stream with
// launches, feed posts, ends and deletions, replay after a reconnection and the stream's limits.

#include "event_stream/event_stream.hpp"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>

#include "db/connection.hpp"
#include "engine_fakes.hpp"
#include "sse_client.hpp"
#include "test_support.hpp"

namespace stratdesk::test {
namespace {

namespace json = boost::json;

// Runs until the stop request's TERM: the backtest stays "executing" while the test posts.
const std::string waiting_strategy = "import time\ntime.sleep(120)\n";
const std::string ten_day_config =
    R"({"start_date": "2016-01-04", "end_date": "2016-01-14", "stock_starting_cash": 100000,
        "frequency": "1d", "securities": "stock"})";

json::array portfolio_row(std::int64_t algorithm, std::int64_t backtest, const std::string& at,
                          int is_benchmark) {
  return json::array{algorithm, backtest, at,  is_benchmark, 1.0, 1.0, 1.0, 1.0,
                     1.0,       1.0,      1.0, 1.0,          1.0, 1.0, 1.0};
}

json::array log_row(std::int64_t algorithm, std::int64_t backtest, const std::string& text) {
  return json::array{algorithm, backtest, "2016-01-05 15:00:00", text, 20};
}

class FollowingTest : public ::testing::Test {
 protected:
  explicit FollowingTest(std::vector<std::string> extra = {})
      : engine_(dir_.path()),
        server_(dir_.file("data"), with(engine_.server_options(), std::move(extra))),
        client_("127.0.0.1", server_.port()) {}

  static std::vector<std::string> with(std::vector<std::string> options,
                                       std::vector<std::string> extra) {
    options.insert(options.end(), extra.begin(), extra.end());
    return options;
  }

  std::int64_t launch_waiting(std::int64_t algorithm_id = 1) {
    const HttpResponse answer = launch(client_, algorithm_id, ten_day_config, waiting_strategy);
    EXPECT_EQ(answer.status, 200) << answer.body;
    const std::int64_t id = answer.json().at("id").as_int64();
    EXPECT_TRUE(engine_.record(id).has_value()) << "the engine of backtest " << id << " started";
    return id;
  }

  void post(const std::vector<std::pair<std::string, json::array>>& kinds) {
    std::vector<std::pair<std::string, std::string>> fields;
    for (const auto& [name, rows] : kinds) {
      fields.emplace_back(name, json::serialize(rows));
    }
    const HttpResponse answer = client_.post_form("/api/feedgroup", fields);
    ASSERT_EQ(answer.status, 200) << answer.body;
  }

  void stop(std::int64_t algorithm_id, std::int64_t backtest_id) {
    const HttpResponse answer =
        client_.post_form("/api/algorithms/" + std::to_string(algorithm_id) + "/backtests/" +
                              std::to_string(backtest_id),
                          {{"state", "stop"}}, "PATCH");
    ASSERT_EQ(answer.status, 200) << answer.body;
  }

  json::object progress(std::int64_t backtest_id) {
    const HttpResponse answer =
        client_.get("/api/backtests/" + std::to_string(backtest_id) + "/progress");
    EXPECT_EQ(answer.status, 200) << answer.body;
    return answer.json().as_object();
  }

  std::int64_t greatest_id(const std::string& table, std::int64_t backtest_id) {
    db::Connection c(server_.db_path());
    return c
        .execute("SELECT max(id) AS m FROM " + table + " WHERE backtest_id = ?",
                 {db::Value(backtest_id)})
        .front()
        .at("m")
        .as_int64();
  }

  TempDir dir_;
  FakeEngine engine_;
  ServerProcess server_;
  HttpClient client_;
};

TEST_F(FollowingTest, ProgressBeforeRowsMidRunAndAfterTheStop) {
  const std::int64_t id = launch_waiting();
  json::object before = progress(id);
  EXPECT_EQ(before.at("id"), id);
  EXPECT_EQ(before.at("state"), "executing");
  EXPECT_EQ(before.at("start_date"), "2016-01-04");
  EXPECT_EQ(before.at("end_date"), "2016-01-14");
  EXPECT_TRUE(before.at("simulated_until").is_null());
  EXPECT_EQ(before.at("progress"), 0.0);
  EXPECT_GE(before.at("elapsed_seconds").as_int64(), 0);

  // Day 5 of 10 for the strategy; the benchmark's later row does not count.
  post({{"portfolio_feeds", json::array{portfolio_row(1, id, "2016-01-06 15:00:00", 0),
                                        portfolio_row(1, id, "2016-01-09 15:00:00", 0),
                                        portfolio_row(1, id, "2016-01-14 15:00:00", 1)}}});
  json::object middle = progress(id);
  EXPECT_EQ(middle.at("simulated_until"), "2016-01-09 15:00:00");
  EXPECT_DOUBLE_EQ(middle.at("progress").as_double(), 0.5);
  EXPECT_EQ(middle.at("state"), "executing");

  std::this_thread::sleep_for(1100ms);
  EXPECT_GE(progress(id).at("elapsed_seconds").as_int64(), 1);
  stop(1, id);
  const auto row = wait_stopped(server_.db_path(), id);
  ASSERT_TRUE(row.has_value());
  json::object after = progress(id);
  EXPECT_EQ(after.at("state"), "stopped");
  EXPECT_EQ(after.at("elapsed_seconds"), row->at("time_spent"));
  EXPECT_DOUBLE_EQ(after.at("progress").as_double(), 0.5);

  const HttpResponse unknown = client_.get("/api/backtests/999/progress");
  EXPECT_EQ(unknown.status, 404);
  EXPECT_TRUE(unknown.json().at("message").is_string());
}

TEST_F(FollowingTest, ProgressOfOddConfigurationsAnswersRatherThanFails) {
  {
    db::Connection c(server_.db_path());
    for (const char* config :
         {R"({"start_date": "2016-01-04", "end_date": "2016-01-04"})",  // one day
          R"({"start_date": "someday", "end_date": "2016-01-04"})", "not json",
          R"({"start_date": "2016-01-04", "end_date": "2016-02-04"})"}) {
      c.execute(
          "INSERT INTO backtests (algorithm_id, config, state, time_spent) VALUES (1, ?, "
          "'stopped', 7)",
          {db::Value(config)});
    }
    c.commit();
  }
  post({{"portfolio_feeds", json::array{portfolio_row(1, 1, "2016-01-04 15:00:00", 0),
                                        portfolio_row(1, 2, "2016-01-04 15:00:00", 0),
                                        portfolio_row(1, 4, "2016-03-04 15:00:00", 0)}}});
  EXPECT_EQ(progress(1).at("progress"), 1.0);
  EXPECT_EQ(progress(1).at("elapsed_seconds"), 7);
  EXPECT_TRUE(progress(2).at("progress").is_null());
  EXPECT_EQ(progress(2).at("start_date"), "someday");
  EXPECT_TRUE(progress(3).at("progress").is_null());
  EXPECT_TRUE(progress(3).at("start_date").is_null());
  EXPECT_EQ(progress(4).at("progress"), 1.0);  // past the end: clamped
}

// A run that ended by itself reports its whole range done, though its last simulated day is the
// last trading day before an end_date on a Sunday; a stopped or failed one where it got to.
TEST_F(FollowingTest, ARunThatEndedByItselfIsWhollyDone) {
  {
    db::Connection c(server_.db_path());
    for (const char* exception : {"", "stopped by request", "engine exited with code 1"}) {
      c.execute(
          "INSERT INTO backtests (algorithm_id, config, state, exception, time_spent) VALUES "
          "(1, '{\"start_date\": \"2016-01-04\", \"end_date\": \"2016-01-10\"}', 'stopped', ?, 3)",
          {db::Value(exception)});
    }
    c.commit();
  }
  post({{"portfolio_feeds", json::array{portfolio_row(1, 1, "2016-01-08 15:00:00", 0),
                                        portfolio_row(1, 2, "2016-01-08 15:00:00", 0),
                                        portfolio_row(1, 3, "2016-01-08 15:00:00", 0)}}});
  EXPECT_EQ(progress(1).at("progress"), 1.0);
  for (const int id : {2, 3}) {
    EXPECT_DOUBLE_EQ(progress(id).at("progress").as_double(), 4.0 / 6.0) << id;
  }
}

// Dates that are not dates are answered by the progress route but not repeated in every event.
TEST_F(FollowingTest, AProgressEventStaysSmallWhateverTheDates) {
  const std::string long_date = "2016-01-04" + std::string(60000, 'x');
  // Rows left executing are settled at start-up: the row goes in after that.
  ASSERT_TRUE(server_.wait_for_log("kestrun manager started"));
  {
    db::Connection c(server_.db_path());
    json::object config{{"start_date", long_date}, {"end_date", "2016-01-14"}};
    c.execute(
        "INSERT INTO backtests (id, algorithm_id, config, state) VALUES (40, 1, ?, "
        "'executing')",
        {db::Value(json::serialize(config))});
    c.commit();
  }
  SseClient stream(server_.port(), "/api/events");
  post({{"portfolio_feeds", json::array{portfolio_row(1, 40, "2016-01-09 15:00:00", 0)}}});
  const auto event = stream.next_except("feeds", 5s);
  ASSERT_TRUE(event.has_value());
  EXPECT_EQ(event->type, "progress");
  EXPECT_TRUE(event->data.at("start_date").is_null());
  EXPECT_EQ(event->data.at("end_date"), "2016-01-14");
  EXPECT_EQ(event->data.at("simulated_until"), "2016-01-09 15:00:00");
  EXPECT_LT(json::serialize(event->data).size(), 400u);
  EXPECT_EQ(progress(40).at("start_date").as_string(), long_date);
}

TEST_F(FollowingTest, AStreamSeesLaunchFeedsStopAndDeletionInOrder) {
  SseClient stream(server_.port(), "/api/events");
  ASSERT_EQ(stream.status(), 200);
  EXPECT_NE(stream.header().find("Content-Type: text/event-stream"), std::string::npos);

  const std::int64_t id = launch_waiting();
  post({{"portfolio_feeds", json::array{portfolio_row(1, id, "2016-01-06 15:00:00", 0)}},
        {"log_feeds", json::array{log_row(1, id, "a"), log_row(1, id, "b")}},
        {"trade_feeds", json::array{}}});
  const json::object stored{{"portfolio_feeds", greatest_id("portfolio_feeds", id)},
                            {"log_feeds", greatest_id("log_feeds", id)}};
  stop(1, id);
  ASSERT_TRUE(wait_stopped(server_.db_path(), id).has_value());
  const HttpResponse deleted =
      client_.request("DELETE", "/api/algorithms/1/backtests/" + std::to_string(id));
  ASSERT_EQ(deleted.status, 200) << deleted.body;

  const auto launched = stream.next_except("progress");
  ASSERT_TRUE(launched.has_value());
  EXPECT_EQ(stream.retry, 2000);
  EXPECT_EQ(launched->type, "backtest");
  EXPECT_EQ(
      launched->data,
      (json::object{{"id", id}, {"algorithm_id", 1}, {"state", "executing"}, {"exception", ""}}));

  const auto fed = stream.next_except("progress");
  ASSERT_TRUE(fed.has_value());
  EXPECT_EQ(fed->type, "feeds");
  EXPECT_EQ(fed->id, launched->id + 1);
  EXPECT_EQ(fed->data.at("algorithm_id"), 1);
  EXPECT_EQ(fed->data.at("backtest_id"), id);
  // Only the kinds the post stored, each with the greatest id it stored.
  EXPECT_EQ(fed->data.at("last_ids"), stored);

  const auto ended = stream.next_except("progress");
  ASSERT_TRUE(ended.has_value());
  EXPECT_GT(ended->id, fed->id);
  EXPECT_EQ(ended->type, "backtest");
  EXPECT_EQ(ended->data.at("state"), "stopped");
  EXPECT_EQ(ended->data.at("exception"), "stopped by request");

  const auto gone = stream.next_except("progress");
  ASSERT_TRUE(gone.has_value());
  EXPECT_GT(gone->id, ended->id);
  EXPECT_EQ(gone->type, "deleted");
  EXPECT_EQ(gone->data, (json::object{{"backtest_id", id}}));
}

TEST_F(FollowingTest, ARunningBacktestAnnouncesItsProgressWhenItMoves) {
  SseClient stream(server_.port(), "/api/events");
  const std::int64_t id = launch_waiting();
  post({{"portfolio_feeds", json::array{portfolio_row(1, id, "2016-01-09 15:00:00", 0)}}});
  std::optional<SseEvent> event;
  do {
    event = stream.next(5s);
  } while (event && event->type != "progress");
  ASSERT_TRUE(event.has_value());
  EXPECT_EQ(event->data.at("id"), id);
  EXPECT_EQ(event->data.at("simulated_until"), "2016-01-09 15:00:00");
  EXPECT_DOUBLE_EQ(event->data.at("progress").as_double(), 0.5);
  // Nothing moved: no second progress event in the next seconds.
  const auto quiet = stream.next(2500ms);
  EXPECT_FALSE(quiet.has_value()) << quiet->type;
  stop(1, id);
}

TEST_F(FollowingTest, DeletingAnAlgorithmAnnouncesItsBacktestsAndItself) {
  const std::int64_t id = launch_waiting(2);
  stop(2, id);
  ASSERT_TRUE(wait_stopped(server_.db_path(), id).has_value());
  SseClient stream(server_.port(), "/api/events");
  ASSERT_EQ(stream.status(), 200);
  ASSERT_EQ(client_.request("DELETE", "/api/algorithms/2").status, 200);
  const auto backtest_gone = stream.next_except("progress");
  ASSERT_TRUE(backtest_gone.has_value());
  EXPECT_EQ(backtest_gone->data, (json::object{{"backtest_id", id}}));
  const auto algorithm_gone = stream.next_except("progress");
  ASSERT_TRUE(algorithm_gone.has_value());
  EXPECT_EQ(algorithm_gone->type, "deleted");
  EXPECT_EQ(algorithm_gone->data, (json::object{{"algorithm_id", 2}}));
}

TEST_F(FollowingTest, AReconnectingClientGetsWhatItMissedOrAReset) {
  // Each of 3 backtests' rows in one post: one feeds event each.
  json::array rows;
  for (int backtest = 1; backtest <= 3; ++backtest) {
    rows.push_back(log_row(3, backtest, "x"));
  }
  post({{"log_feeds", rows}});
  // Ids of this run count on from the first one; "0" stands for having seen nothing.
  std::int64_t first = 0;
  {
    SseClient from_start(server_.port(), "/api/events", {{"Last-Event-ID", "0"}});
    const auto event = from_start.next();
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->data.at("backtest_id"), 1);
    first = event->id;
  }
  const auto nth = [first](std::int64_t n) { return first + n - 1; };
  {
    SseClient replay(server_.port(), "/api/events", {{"Last-Event-ID", std::to_string(first)}});
    for (std::int64_t expected : {2, 3}) {
      const auto event = replay.next();
      ASSERT_TRUE(event.has_value());
      EXPECT_EQ(event->id, nth(expected));
      EXPECT_EQ(event->type, "feeds");
      EXPECT_EQ(event->data.at("backtest_id"), expected);
    }
    post({{"log_feeds", json::array{log_row(3, 9, "live")}}});
    const auto live = replay.next();
    ASSERT_TRUE(live.has_value());
    EXPECT_EQ(live->id, nth(4));
    EXPECT_EQ(live->data.at("backtest_id"), 9);
  }
  // 1,200 more events, in posts of 60 backtests: the first ones are no longer kept.
  for (int backtest = 100; backtest < 1300; backtest += 60) {
    rows.clear();
    for (int n = backtest; n < backtest + 60; ++n) {
      rows.push_back(log_row(3, n, "x"));
    }
    post({{"log_feeds", rows}});
  }
  SseClient late(server_.port(), "/api/events", {{"Last-Event-ID", std::to_string(nth(3))}});
  const auto reset = late.next();
  ASSERT_TRUE(reset.has_value());
  EXPECT_EQ(reset->type, "reset");
  EXPECT_EQ(reset->id, nth(1204));
  SseClient recent(server_.port(), "/api/events", {{"Last-Event-ID", std::to_string(nth(1000))}});
  const auto kept = recent.next();
  ASSERT_TRUE(kept.has_value());
  EXPECT_EQ(kept->id, nth(1001));
  EXPECT_EQ(kept->type, "feeds");
  // Ids this server never gave, the largest an int64 holds and one past it among them.
  for (const char* stranger_id : {"99999", "9223372036854775807", "9223372036854775808", "-5"}) {
    SseClient stranger(server_.port(), "/api/events", {{"Last-Event-ID", stranger_id}});
    const auto restart = stranger.next();
    ASSERT_TRUE(restart.has_value()) << stranger_id;
    EXPECT_EQ(restart->type, "reset") << stranger_id;
    EXPECT_EQ(restart->id, nth(1204)) << stranger_id;
  }
}

TEST_F(FollowingTest, ASlowReaderIsDroppedWithoutHoldingUpOthers) {
  SseClient slow(server_.port(), "/api/events", {}, 4096);
  ASSERT_EQ(slow.status(), 200);
  SseClient reader(server_.port(), "/api/events");
  ASSERT_EQ(reader.status(), 200);
  // About 2 MB of events, in posts of 60 backtests each; `slow` reads none of it.
  constexpr int posts = 340;
  constexpr int per_post = 60;
  std::int64_t received = 0;
  std::int64_t first = 0;
  for (int round = 0; round < posts; ++round) {
    json::array rows;
    for (int n = 0; n < per_post; ++n) {
      rows.push_back(log_row(3, 10000 + round * per_post + n, "x"));
    }
    const auto started = std::chrono::steady_clock::now();
    post({{"log_feeds", rows}});
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s) << "post " << round;
    for (int n = 0; n < per_post; ++n) {
      const auto event = reader.next(5s);
      ASSERT_TRUE(event.has_value()) << "event " << received;
      if (received++ == 0) {
        first = event->id;
      }
      EXPECT_EQ(event->id, first + received - 1);
    }
  }
  EXPECT_TRUE(slow.closed_by_server(10s));
  EXPECT_EQ(client_.get("/api/algorithms/3/backtests/10000/feeds/log").status, 200);
}

// A post naming more backtests than a stream should be told of one by one is announced by one
// reset: readers that keep up stay connected and the replay window keeps what it had.
TEST_F(FollowingTest, APostForManyBacktestsIsOneResetThatDropsNoReader) {
  post({{"log_feeds", json::array{log_row(3, 1, "before")}}});
  std::int64_t before = 0;
  {
    SseClient from_start(server_.port(), "/api/events", {{"Last-Event-ID", "0"}});
    const auto event = from_start.next();
    ASSERT_TRUE(event.has_value());
    before = event->id;
  }
  SseClient reader(server_.port(), "/api/events");
  ASSERT_EQ(reader.status(), 200);
  for (const int backtests : {64, 65, 12000}) {
    json::array rows;
    for (int n = 0; n < backtests; ++n) {
      rows.push_back(log_row(3, 100 + n, "x"));
    }
    post({{"log_feeds", rows}});
    if (backtests == 64) {
      for (int n = 0; n < backtests; ++n) {
        const auto event = reader.next();
        ASSERT_TRUE(event.has_value()) << n;
        EXPECT_EQ(event->type, "feeds");
        EXPECT_EQ(event->data.at("backtest_id"), 100 + n);
      }
      continue;
    }
    const auto reset = reader.next();
    ASSERT_TRUE(reset.has_value()) << backtests;
    EXPECT_EQ(reset->type, "reset");
    EXPECT_EQ(reset->data.at("last_id"), reset->id);
  }
  post({{"log_feeds", json::array{log_row(3, 7, "after")}}});
  const auto after = reader.next();
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(after->type, "feeds");
  EXPECT_EQ(after->data.at("backtest_id"), 7);
  EXPECT_EQ(after->id, before + 67);

  SseClient replay(server_.port(), "/api/events", {{"Last-Event-ID", std::to_string(before)}});
  for (std::int64_t n = 1; n <= 66; ++n) {
    const auto event = replay.next();
    ASSERT_TRUE(event.has_value()) << n;
    EXPECT_EQ(event->id, before + n);
    EXPECT_EQ(event->type, n <= 64 ? "feeds" : "reset") << n;
  }
}

// HEAD answers what GET would, without a body: a stream has no length and ends the connection.
TEST_F(FollowingTest, AHeadOfTheStreamHasNoLengthAndHoldsNoPlace) {
  const std::string answer =
      raw_exchange(server_.port(), "HEAD /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 200")) << answer;
  EXPECT_NE(answer.find("Content-Type: text/event-stream"), std::string::npos) << answer;
  EXPECT_EQ(answer.find("Content-Length"), std::string::npos) << answer;
  EXPECT_NE(answer.find("Connection: close"), std::string::npos) << answer;
  EXPECT_TRUE(answer.ends_with("\r\n\r\n")) << answer;
}

TEST_F(FollowingTest, TheSixtyFifthStreamIsRefused) {
  std::vector<std::unique_ptr<SseClient>> streams;
  for (int n = 0; n < 64; ++n) {
    streams.push_back(std::make_unique<SseClient>(server_.port(), "/api/events"));
    ASSERT_EQ(streams.back()->status(), 200) << "stream " << n;
  }
  SseClient refused(server_.port(), "/api/events");
  EXPECT_EQ(refused.status(), 503);
  EXPECT_NE(refused.header().find("\r\nRetry-After: 5\r\n"), std::string::npos) << refused.header();
  EXPECT_NE(refused.rest(1s).find("\"message\""), std::string::npos);
  // A client that goes away frees its place at once, not at the stream's next write.
  streams.pop_back();
  std::unique_ptr<SseClient> again;
  EXPECT_TRUE(wait_until(
      [&] {
        again = std::make_unique<SseClient>(server_.port(), "/api/events");
        return again->status() == 200;
      },
      3s));
  // Ordinary requests go on.
  EXPECT_EQ(client_.get("/api/algorithms").status, 200);
}

TEST_F(FollowingTest, ABacktestWhoseEngineCannotStartIsAnnouncedLaunchedThenStopped) {
  const std::string strategies = dir_.file("data") + "/strategies";
  std::filesystem::remove_all(strategies);
  write_file(strategies, "a file where the strategy directory should be");
  SseClient stream(server_.port(), "/api/events");
  ASSERT_EQ(stream.status(), 200);
  const HttpResponse answer = launch(client_, 1, ten_day_config, waiting_strategy);
  ASSERT_EQ(answer.status, 500) << answer.body;
  const auto launched = stream.next();
  ASSERT_TRUE(launched.has_value());
  EXPECT_EQ(launched->data.at("state"), "executing");
  const auto ended = stream.next();
  ASSERT_TRUE(ended.has_value());
  EXPECT_EQ(ended->type, "backtest");
  EXPECT_EQ(ended->data.at("id"), launched->data.at("id"));
  EXPECT_EQ(ended->data.at("state"), "stopped");
  EXPECT_EQ(ended->data.at("exception"),
            backtest_row(server_.db_path(), ended->data.at("id").as_int64()).at("exception"));
}

TEST_F(FollowingTest, AnEngineKnownOnlyByItsPidFileIsAnnouncedWhenItsEndIsMarked) {
  SseClient stream(server_.port(), "/api/events");
  ASSERT_EQ(stream.status(), 200);
  std::int64_t id = 0;
  {
    db::Connection c(server_.db_path());
    c.execute("INSERT INTO backtests (algorithm_id, config, state) VALUES (3, '{}', 'executing')");
    id = c.last_insert_rowid();
    c.commit();
  }
  // An engine of another server run that has already exited.
  write_file(dir_.file("data") + "/pids/" + std::to_string(dead_pid()) + ".identity",
             "engine " + std::to_string(id));
  const auto ended = stream.next_except("progress", 10s);
  ASSERT_TRUE(ended.has_value());
  EXPECT_EQ(ended->type, "backtest");
  EXPECT_EQ(ended->data.at("id"), id);
  EXPECT_EQ(ended->data.at("algorithm_id"), 3);
  EXPECT_EQ(ended->data.at("state"), "stopped");
}

// A feed POST whose body is sent in two parts, on a connection of its own: between the parts the
// server holds half a body, so whatever it commits meanwhile is committed before this POST.
class SplitPost {
 public:
  SplitPost(unsigned short port, const std::string& body) : body_(body) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      throw std::runtime_error("cannot connect");
    }
    send_all(
        "POST /api/feedgroup HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
        std::to_string(body_.size()) + "\r\n\r\n" + body_.substr(0, body_.size() / 2));
  }
  ~SplitPost() { ::close(fd_); }
  SplitPost(const SplitPost&) = delete;
  SplitPost& operator=(const SplitPost&) = delete;

  // Sends the rest of the body and returns the answer's status line.
  std::string finish(std::chrono::milliseconds timeout = 60s) {
    send_all(body_.substr(body_.size() / 2));
    std::string answer;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (answer.find("\r\n") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      pollfd ready{fd_, POLLIN, 0};
      if (::poll(&ready, 1, 100) == 1) {
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
          break;
        }
        answer.append(buffer, static_cast<std::size_t>(n));
      }
    }
    return answer.substr(0, answer.find("\r\n"));
  }

 private:
  void send_all(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) {
        throw std::runtime_error("send failed");
      }
      sent += static_cast<std::size_t>(n);
    }
  }

  int fd_ = -1;
  std::string body_;
};

json::array position_row(std::int64_t algorithm, std::int64_t backtest) {
  json::array row{algorithm, backtest, "2016-01-04 15:00:00", "000001.XSHE", "STOCK"};
  for (int n = 0; n < 19; ++n) {
    row.push_back(1.0);
  }
  return row;
}

// A launch, a comment and a deletion while a large feed POST is in flight are answered and
// committed before it, one after the other, and announced in that order; the POST is then stored
// whole and announced last.
TEST_F(FollowingTest, WritesDuringALargePostAreCommittedAndAnnouncedInTheirOrder) {
  const std::int64_t old_id = launch_waiting();
  stop(1, old_id);
  ASSERT_TRUE(wait_stopped(server_.db_path(), old_id).has_value());
  SseClient stream(server_.port(), "/api/events");
  ASSERT_EQ(stream.status(), 200);

  json::array rows;
  for (int n = 0; n < 40000; ++n) {
    rows.push_back(position_row(3, 999));
  }
  SplitPost large(server_.port(), form_encode({{"position_feeds", json::serialize(rows)}}));

  const std::int64_t new_id = launch_waiting();
  const HttpResponse commented =
      client_.post_form("/api/algorithms/1/backtests/" + std::to_string(new_id),
                        {{"comment", "while posting"}}, "PATCH");
  ASSERT_EQ(commented.status, 200) << commented.body;
  EXPECT_EQ(commented.json(), json::value(true));
  const HttpResponse deleted =
      client_.request("DELETE", "/api/algorithms/1/backtests/" + std::to_string(old_id));
  ASSERT_EQ(deleted.status, 200) << deleted.body;
  EXPECT_EQ(deleted.json(), (json::object{{"id", old_id}}));
  EXPECT_EQ(large.finish(), "HTTP/1.1 200 OK");

  const auto launched = stream.next_except("progress");
  ASSERT_TRUE(launched.has_value());
  EXPECT_EQ(launched->type, "backtest");
  EXPECT_EQ(launched->data.at("id"), new_id);
  EXPECT_EQ(launched->data.at("state"), "executing");
  const auto gone = stream.next_except("progress");
  ASSERT_TRUE(gone.has_value());
  EXPECT_GT(gone->id, launched->id);
  EXPECT_EQ(gone->data, (json::object{{"backtest_id", old_id}}));
  const auto fed = stream.next_except("progress");
  ASSERT_TRUE(fed.has_value());
  EXPECT_GT(fed->id, gone->id);
  EXPECT_EQ(fed->type, "feeds");
  EXPECT_EQ(fed->data.at("backtest_id"), 999);
  EXPECT_EQ(fed->data.at("last_ids"),
            (json::object{{"position_feeds", greatest_id("position_feeds", 999)}}));

  db::Connection c(server_.db_path());
  EXPECT_EQ(
      c.execute("SELECT count(*) AS n FROM position_feeds WHERE backtest_id = 999").front().at("n"),
      40000);
  EXPECT_EQ(backtest_row(server_.db_path(), new_id).at("comment"), "while posting");
  EXPECT_TRUE(backtest_row(server_.db_path(), old_id).empty());
  stop(1, new_id);
}

TEST(FollowingAfterRestart, TheSettlingOfAnEarlierRunsBacktestsIsKeptForReplay) {
  TempDir dir;
  { ServerProcess first(dir.path()); }
  {
    db::Connection c(dir.path() + "/stratdesk.db");
    c.execute("INSERT INTO backtests (algorithm_id, config, state) VALUES (2, '{}', 'executing')");
    c.commit();
  }
  ServerProcess second(dir.path());
  ASSERT_TRUE(second.wait_for_log("kestrun manager started"));
  // Connected after the fact: the replay from the start tells it.
  SseClient stream(second.port(), "/api/events", {{"Last-Event-ID", "0"}});
  const auto settled = stream.next();
  ASSERT_TRUE(settled.has_value());
  EXPECT_EQ(settled->type, "backtest");
  EXPECT_EQ(settled->data.at("algorithm_id"), 2);
  EXPECT_EQ(settled->data.at("state"), "stopped");
}

TEST(FollowingAfterRestart, AnIdOfAnEarlierRunIsAlwaysReset) {
  TempDir dir;
  const auto post_logs = [](const ServerProcess& server, int backtests) {
    json::array rows;
    for (int backtest = 1; backtest <= backtests; ++backtest) {
      rows.push_back(log_row(3, backtest, "x"));
    }
    HttpClient client("127.0.0.1", server.port());
    const HttpResponse answer =
        client.post_form("/api/feedgroup", {{"log_feeds", json::serialize(rows)}});
    ASSERT_EQ(answer.status, 200) << answer.body;
  };
  std::int64_t seen_before = 0;
  {
    ServerProcess first(dir.path());
    post_logs(first, 3);
    SseClient stream(first.port(), "/api/events", {{"Last-Event-ID", "0"}});
    for (int n = 0; n < 3; ++n) {
      const auto event = stream.next();
      ASSERT_TRUE(event.has_value());
      seen_before = event->id;
    }
  }
  // The new run publishes more than the earlier one did before the client comes back.
  ServerProcess second(dir.path());
  post_logs(second, 10);
  SseClient back(second.port(), "/api/events", {{"Last-Event-ID", std::to_string(seen_before)}});
  const auto told = back.next();
  ASSERT_TRUE(told.has_value());
  EXPECT_EQ(told->type, "reset");
  EXPECT_GT(told->id, seen_before);
}

class StreamLimitsTest : public FollowingTest {
 protected:
  StreamLimitsTest()
      : FollowingTest({"--idle-timeout", "1", "--allow-origin", "http://localhost:5173"}) {}
};

TEST_F(StreamLimitsTest, TheIdleLimitLeavesStreamsOpenAndShutdownClosesThemPromptly) {
  SseClient page(server_.port(), "/api/events", {{"Origin", "http://localhost:5173"}});
  ASSERT_EQ(page.status(), 200);
  EXPECT_NE(page.header().find("Access-Control-Allow-Origin: http://localhost:5173"),
            std::string::npos)
      << page.header();
  SseClient foreign(server_.port(), "/api/events", {{"Origin", "http://evil.example"}});
  EXPECT_EQ(foreign.status(), 403);

  std::this_thread::sleep_for(2500ms);
  post({{"log_feeds", json::array{log_row(3, 1, "late")}}});
  const auto event = page.next(5s);
  ASSERT_TRUE(event.has_value()) << "the stream outlived the idle limit";
  EXPECT_EQ(event->type, "feeds");

  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(server_.stop(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_TRUE(page.closed_by_server(1s));
}

}  // namespace
}  // namespace stratdesk::test
