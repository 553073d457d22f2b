#include "algorithms/algorithms.hpp"

#include <gtest/gtest.h>

#include <future>
#include <regex>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/asio/write.hpp>
#include <boost/json/parse.hpp>

#include "db/connection.hpp"
#include "fake_extractor.hpp"
#include "test_support.hpp"

namespace stratdesk::algorithms {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::json::parse;
using test::HttpResponse;

class ExtractionTest : public ::testing::Test {
 protected:
  explicit ExtractionTest(std::vector<std::string> extra = {})
      : fake_(dir_.file("fake")),
        server_(test::start_with_fake(dir_, fake_, std::move(extra))),
        client_("127.0.0.1", server_->port()) {
    client_.get("/api/algorithms");  // the connection and the database stay open from here on
    descriptors_ = test::open_descriptors(server_->pid());
  }
  // Every path of the extraction leaves the server able to end cleanly (and, sanitized,
  // without leaks).
  ~ExtractionTest() override { EXPECT_EQ(server_->stop(), 0) << server_->stderr_text(); }

  // Sequential requests reuse one connection of each kind, so any extra descriptor is a leak.
  void expect_no_leaks() {
    EXPECT_TRUE(test::eventually([&] {
      return test::open_descriptors(server_->pid()) == descriptors_;
    })) << "a listener or a connection was left open";
  }

  HttpResponse create(const std::string& code = "pass\n") {
    return client_.post_form(
        "/api/algorithms",
        {{"name", "n"}, {"code", code}, {"config", R"({"securities": "stock"})"}});
  }
  // The parameters text stored by a creation while the fake follows its plan.
  std::string parameters_of_new(const std::string& code = "pass\n") {
    const HttpResponse created = create(code);
    if (created.status != 200) {
      return "status " + std::to_string(created.status) + ": " + created.body;
    }
    const std::string id = std::to_string(created.json().at("id").as_int64());
    return std::string(client_.get("/api/algorithms/" + id + "/parameters").json().as_string());
  }
  bool reaped(pid_t pid) {
    return test::eventually([&] { return !test::process_state(pid).has_value(); });
  }

  test::TempDir dir_;
  test::FakeExtractor fake_;
  std::unique_ptr<test::ServerProcess> server_;
  test::HttpClient client_;
  std::size_t descriptors_ = 0;
};

TEST_F(ExtractionTest, SendsOneFrameToAChildStartedWithTheLoggedCommandLine) {
  EXPECT_EQ(parameters_of_new("abc"), "[]");
  EXPECT_EQ(fake_.request(), std::string("\x03\x00\x00\x00"
                                         "abc",
                                         7));
  EXPECT_TRUE(std::regex_search(
      server_->log_text(),
      std::regex("cmd = \\['" + fake_.program() + "', '-m', 'kestrun_exparam', '[0-9]+'\\]\n")))
      << server_->log_text();
  // Standard streams only; 3 is the descriptor that listed them.
  EXPECT_EQ(test::read_file(fake_.file("descriptors")), "[0, 1, 2, 3]");

  // Lengths count UTF-8 bytes: two, three and four per character here.
  EXPECT_EQ(parameters_of_new("é中😀"), "[]");
  EXPECT_EQ(fake_.request(), std::string("\x09\x00\x00\x00", 4) + "é中😀");
}

TEST_F(ExtractionTest, KeepsJsonAnswersVerbatimAndOtherwiseStoresAnEmptyList) {
  const std::string spaced = " [ {\"name\": \"fast\" ,\n  \"default\" : 5.0 } ]\n";
  fake_.answer(spaced);
  EXPECT_EQ(parameters_of_new(), spaced);
  fake_.answer("{\"名\":\"值\"}");
  EXPECT_EQ(parameters_of_new(), "{\"名\":\"值\"}");
  // Python's json.dumps writes these for a float default; Python's reader takes them back.
  const std::string non_finite =
      R"([{"name": "cap", "default": Infinity}, {"x": [NaN, -Infinity]}])";
  fake_.answer(non_finite);
  EXPECT_EQ(parameters_of_new(), non_finite);
  fake_.answer("[nan]");
  EXPECT_EQ(parameters_of_new(), "[]");

  fake_.answer("plain words");
  EXPECT_EQ(parameters_of_new(), "[]");
  EXPECT_TRUE(server_->wait_for_log("answered 11 bytes that are not JSON; parameters are []"));
  fake_.answer("");
  EXPECT_EQ(parameters_of_new(), "[]");
  fake_.plan("answer", "\xff\xff\xff\xff[1]");  // a negative length: no body is read
  EXPECT_EQ(parameters_of_new(), "[]");
  fake_.plan("answer", std::string("\x0a\x00\x00\x00", 4) + "[1, ");  // closed mid-body
  EXPECT_EQ(parameters_of_new(), "[]");
}

TEST_F(ExtractionTest, BrokenExchangesFailTheRequestAndStoreNothing) {
  fake_.plan("close");
  HttpResponse response = create();
  EXPECT_EQ(response.status, 500);
  EXPECT_NE(response.body.find("closed the connection"), std::string::npos) << response.body;
  fake_.plan("answer", std::string("\x05\x00", 2));
  EXPECT_EQ(create().status, 500);
  fake_.answer("[\"\xff\"]");
  response = create();
  EXPECT_EQ(response.status, 500);
  EXPECT_NE(response.body.find("not UTF-8"), std::string::npos) << response.body;

  fake_.answer("[]");
  fake_.make_executable(false);
  response = create();
  EXPECT_EQ(response.status, 500);
  EXPECT_NE(response.body.find("cannot start"), std::string::npos) << response.body;
  EXPECT_EQ(client_.post_form("/api/algorithms/1", {{"code", "x"}}, "PATCH").status, 500);
  fake_.make_executable(true);

  db::Connection c(server_->db_path());
  EXPECT_TRUE(c.execute("SELECT id FROM algorithms").empty());
  expect_no_leaks();
}

TEST_F(ExtractionTest, NoticesEarlyExitsAndReapsChildrenThatOutliveTheirExchange) {
  fake_.plan("exit");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(parameters_of_new(), "[]");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5))
      << "long before the 10 s limit";
  EXPECT_TRUE(server_->wait_for_log("ended (exit code 3) without connecting; parameters are []"));
  EXPECT_TRUE(reaped(fake_.pid()));

  fake_.plan("answer", test::frame("[]"), "linger");
  EXPECT_EQ(parameters_of_new(), "[]");
  const pid_t child = fake_.pid();
  EXPECT_NE(test::process_state(child).value_or('Z'), 'Z') << "left to run";
  fake_.release();
  EXPECT_TRUE(reaped(child));
  expect_no_leaks();
}

TEST_F(ExtractionTest, ServesOtherRequestsWhileAnExtractionWaits) {
  parameters_of_new();  // algorithm 1
  fake_.plan("answer", test::frame("[\"late\"]"), "hold");
  auto pending = std::async(std::launch::async, [port = server_->port()] {
    test::HttpClient other("127.0.0.1", port);
    return other.post_form(
        "/api/algorithms",
        {{"name", "slow"}, {"code", "pass\n"}, {"config", R"({"securities": "stock"})"}});
  });
  ASSERT_TRUE(test::eventually([&] { return fake_.seen("connected"); }));

  // Reads and writes go on: the waiting request holds no transaction.
  EXPECT_EQ(client_.get("/api/algorithms").json().as_array().size(), 1u);
  EXPECT_EQ(client_.post_form("/api/algorithms/1", {{"name", "renamed"}}, "PATCH").status, 200);
  EXPECT_EQ(client_.get("/api/algorithms/1").json().at("name"), "renamed");
  EXPECT_EQ(pending.wait_for(std::chrono::seconds(0)), std::future_status::timeout);

  fake_.release();
  ASSERT_EQ(pending.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(pending.get().status, 200);
  EXPECT_EQ(client_.get("/api/algorithms/2/parameters").json(), "[\"late\"]");
}

class TimeLimitTest : public ExtractionTest {
 protected:
  TimeLimitTest() : ExtractionTest({"--exparam-timeout", "1"}) {}
};

TEST_F(TimeLimitTest, ChildrenThatStaySilentGiveAnEmptyListOnceTheLimitPasses) {
  for (const char* mode : {"silent", "hold"}) {
    fake_.plan(mode == std::string("hold") ? "answer" : mode, test::frame("[1]"), mode);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(parameters_of_new(), "[]") << mode;
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(950)) << mode;
    const pid_t child = fake_.pid();
    fake_.release();
    EXPECT_TRUE(reaped(child)) << mode;
  }
  EXPECT_TRUE(server_->wait_for_log("did not connect within 1 s; parameters are []"));
  EXPECT_TRUE(server_->wait_for_log("did not answer within 1 s; parameters are []"));
  expect_no_leaks();
}

TEST(Seeding, ExampleStrategiesHoldTheParametersTheyDeclare) {
  test::TempDir dir;
  test::ServerProcess server(dir.file("data"));
  test::HttpClient client("127.0.0.1", server.port());
  const boost::json::array list = client.get("/api/algorithms").json().as_array();
  ASSERT_EQ(list.size(), 3u);
  for (const auto& algorithm : list) {
    EXPECT_FALSE(parse(algorithm.at("parameters").as_string()).as_array().empty());
  }
  EXPECT_EQ(parse(list[0].at("parameters").as_string()), parse(R"json([
      {"name": "fast", "type": "int", "default": 5, "minimum": 2, "maximum": 60,
       "description": "fast moving-average window (days)"},
      {"name": "slow", "type": "int", "default": 20, "minimum": 5, "maximum": 250,
       "description": "slow moving-average window (days)"}])json"));

  // The real extraction module, found through the PYTHONPATH the server sets.
  const HttpResponse created =
      client.post_form("/api/algorithms", {{"name", "mine"},
                                           {"code", "N = parameter('n', 3, choices=[1, 3])\n"},
                                           {"config", R"({"securities": "stock"})"}});
  ASSERT_EQ(created.status, 200) << created.body;
  EXPECT_EQ(parse(client.get("/api/algorithms/4/parameters").json().as_string()),
            parse(R"([{"name": "n", "type": "int", "default": 3, "choices": [1, 3]}])"));
}

}  // namespace
}  // namespace stratdesk::algorithms
