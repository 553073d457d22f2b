#include "http/server.hpp"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/json/parse.hpp>

#include "in_process_server.hpp"
#include "test_support.hpp"

namespace stratdesk::http {
namespace {

using test::HttpClient;

boost::json::object fields_object(const Fields& fields) {
  boost::json::object out;
  for (const auto& field : fields.all()) {
    if (!out.contains(field.name)) {
      out[field.name] = field.value;
    }
  }
  return out;
}

// Answers what it understood of the request.
struct Echo {
  asio::awaitable<Response> get(Request& request) {
    boost::json::object out;
    out["path"] = request.path();
    out["query"] = fields_object(request.query());
    co_return Response::json(std::move(out));
  }
  asio::awaitable<Response> post(Request& request) {
    boost::json::object out;
    out["form"] = fields_object(request.form());
    co_return Response::json(std::move(out));
  }
};

struct Slow {
  asio::awaitable<Response> get(Request&) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    timer.expires_after(std::chrono::milliseconds(300));
    co_await timer.async_wait(asio::use_awaitable);
    co_return Response::json("done");
  }
};

class ServerTest : public test_support::InProcessServerTest {
 protected:
  void start(const ServerOptions& options = {}) {
    api_.add<Echo>("/echo");
    api_.add<Slow>("/slow");
    serve(options);
  }
};

TEST_F(ServerTest, DecodesQueryAndBothFormEncodings) {
  start();
  HttpClient client("127.0.0.1", port_);
  auto got = client.get("/echo?a=1&a=2&b=x+y%2Bz&c").json();
  EXPECT_EQ(got.at("query"), (boost::json::object{{"a", "1"}, {"b", "x y+z"}, {"c", ""}}));

  auto posted = client.post_form("/echo", {{"json", R"([[1,"a b"]])"}, {"名", "值"}}).json();
  EXPECT_EQ(posted.at("form"), (boost::json::object{{"json", R"([[1,"a b"]])"}, {"名", "值"}}));

  test::TempDir dir;
  test::write_file(dir.file("upload.bin"), std::string("\0\1\2--", 5));
  const auto curl = test::run_process(
      {"curl", "-sS", "-F", "plot_feeds=[[3,7,\"2016-01-04 15:00:00\",\"ma5\",10.2]]", "-F",
       "upload=@" + dir.file("upload.bin"), "http://127.0.0.1:" + std::to_string(port_) + "/echo"});
  ASSERT_EQ(curl.exit_code, 0) << curl.err;
  const auto parsed = boost::json::parse(curl.out);
  EXPECT_EQ(parsed.at("form").at("plot_feeds"), R"([[3,7,"2016-01-04 15:00:00","ma5",10.2]])");
  EXPECT_FALSE(parsed.at("form").as_object().contains("upload")) << "a file is not a field";
}

TEST_F(ServerTest, KeepsConnectionsAliveAndAnswersPipelinedRequests) {
  start();
  const std::string two =
      "GET /echo?n=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\nGET /echo?n=2 HTTP/1.1\r\nHost: "
      "127.0.0.1\r\n"
      "Connection: close\r\n\r\n";
  const std::string answer = test::raw_exchange(port_, two);
  EXPECT_NE(answer.find(R"("n":"1")"), std::string::npos);
  EXPECT_NE(answer.find(R"("n":"2")"), std::string::npos);
}

TEST_F(ServerTest, RefusesBodiesAboveTheLimitBeforeReadingThem) {
  ServerOptions options;
  options.body_limit = 1024;
  start(options);
  HttpClient client("127.0.0.1", port_);
  const auto small = client.post_form("/echo", {{"x", std::string(500, 'a')}});
  EXPECT_EQ(small.status, 200);
  const auto large = client.post_form("/echo", {{"x", std::string(5000, 'a')}});
  EXPECT_EQ(large.status, 413);
  EXPECT_TRUE(large.json().at("message").is_string());
  const std::string absurd = test::raw_exchange(
      port_, "POST /echo HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 99999999999999\r\n\r\nabc");
  EXPECT_TRUE(absurd.starts_with("HTTP/1.1 413")) << absurd;
}

TEST_F(ServerTest, SendsContinueBeforeReadingAnExpectedBody) {
  start();
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket socket(io);
  socket.connect({boost::asio::ip::make_address("127.0.0.1"), port_});
  const std::string body = "a=1";
  const std::string head =
      "POST /echo HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
      "application/x-www-form-urlencoded\r\n"
      "Content-Length: 3\r\nExpect: 100-continue\r\nConnection: close\r\n\r\n";
  boost::asio::write(socket, boost::asio::buffer(head));
  std::array<char, 256> interim{};
  const std::size_t n = socket.read_some(boost::asio::buffer(interim));
  EXPECT_TRUE(std::string_view(interim.data(), n).starts_with("HTTP/1.1 100 Continue"));
  boost::asio::write(socket, boost::asio::buffer(body));
  std::string rest;
  boost::system::error_code ec;
  boost::asio::read(socket, boost::asio::dynamic_buffer(rest), ec);
  EXPECT_NE(rest.find(R"({"form":{"a":"1"})"), std::string::npos) << rest;
}

TEST_F(ServerTest, MalformedRequestsGetAJsonError) {
  start();
  const std::string bad_line = test::raw_exchange(port_, "GARBAGE\r\n\r\n");
  EXPECT_TRUE(bad_line.starts_with("HTTP/1.1 400")) << bad_line;
  EXPECT_NE(bad_line.find("\"message\""), std::string::npos);
  const std::string bad_multipart = test::raw_exchange(
      port_,
      "POST /echo HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: multipart/form-data; boundary=zz\r\n"
      "Content-Length: 12\r\nConnection: close\r\n\r\n--zz\r\nbroken");
  EXPECT_TRUE(bad_multipart.starts_with("HTTP/1.1 400")) << bad_multipart;
}

TEST_F(ServerTest, ClosesAConnectionWhoseHeaderStalls) {
  ServerOptions options;
  options.header_timeout = std::chrono::milliseconds(200);
  start(options);
  const auto begin = std::chrono::steady_clock::now();
  const std::string answer =
      test::raw_exchange(port_, "GET /echo HTTP/1.1\r\nHost:", std::chrono::seconds(10));
  EXPECT_EQ(answer, "");
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
}

TEST_F(ServerTest, ShutdownLetsARequestInFlightFinish) {
  start();
  auto pending = std::async(std::launch::async, [this] {
    HttpClient client("127.0.0.1", port_);
    return client.get("/slow");
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::promise<void> stopped;
  stop_within(std::chrono::seconds(5), [&] { stopped.set_value(); });
  const auto answer = pending.get();
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, "\"done\"");
  stopped.get_future().wait();
  thread_.join();
}

}  // namespace
}  // namespace stratdesk::http
