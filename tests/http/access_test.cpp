#include "http/access.hpp"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "in_process_server.hpp"
#include "test_support.hpp"

namespace stratdesk::http {
namespace {

struct Counted {
  static inline int calls = 0;
  asio::awaitable<Response> get(Request&) {
    ++calls;
    co_return Response::json("ok");
  }
  asio::awaitable<Response> post(Request&) {
    ++calls;
    co_return Response::json("posted");
  }
};

struct Sleepy {
  asio::awaitable<Response> get(Request&) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    timer.expires_after(std::chrono::milliseconds(500));
    co_await timer.async_wait(asio::use_awaitable);
    co_return Response::json("slept");
  }
};

class AccessTest : public test_support::InProcessServerTest {
 protected:
  void start(const ServerOptions& options) {
    api_.add<Counted>("/api/thing");
    api_.add<Sleepy>("/api/sleepy");
    serve(options);
    Counted::calls = 0;
  }

  test::HttpResponse send(const std::string& method, const std::string& path,
                          std::vector<std::pair<std::string, std::string>> headers) {
    test::HttpClient client("127.0.0.1", port_);
    return client.request(method, path, "", "", headers);
  }
  std::string own(const std::string& host) { return host + ":" + std::to_string(port_); }
};

TEST_F(AccessTest, OnlyLoopbackNamesAndAllowedHostsAreServed) {
  ServerOptions options;
  options.access.allowed_hosts = {"workstation.lan"};
  start(options);
  for (const std::string& host : {own("127.0.0.1"), own("localhost"), std::string("localhost"),
                                  own("[::1]"), own("LOCALHOST"), own("workstation.lan")}) {
    EXPECT_EQ(send("GET", "/api/thing", {{"Host", host}}).status, 200) << host;
  }
  for (const std::string& host : {own("evil.example"), std::string("localhost:1"),
                                  std::string("127.0.0.1.evil.example"), own("10.0.0.1")}) {
    const auto refused = send("GET", "/api/thing", {{"Host", host}});
    EXPECT_EQ(refused.status, 403) << host;
    EXPECT_TRUE(refused.json().at("message").is_string());
  }
  EXPECT_EQ(Counted::calls, 6);
}

TEST_F(AccessTest, CrossSiteRequestsAreRefusedBeforeTheyReachAResource) {
  ServerOptions options;
  options.access.allowed_origins = {"http://localhost:5173/"};
  start(options);
  const auto refused = send("POST", "/api/thing", {{"Origin", "https://evil.example"}});
  EXPECT_EQ(refused.status, 403);
  EXPECT_EQ(refused.headers.count("access-control-allow-origin"), 0u);
  EXPECT_EQ(send("POST", "/api/thing", {{"Origin", "null"}}).status, 403);
  EXPECT_EQ(Counted::calls, 0);

  const auto allowed = send("POST", "/api/thing", {{"Origin", "http://localhost:5173"}});
  EXPECT_EQ(allowed.status, 200);
  EXPECT_EQ(allowed.headers.at("access-control-allow-origin"), "http://localhost:5173");
  EXPECT_EQ(allowed.headers.at("vary"), "Origin");
  EXPECT_EQ(send("GET", "/api/thing", {{"Origin", "http://" + own("127.0.0.1")}}).status, 200);
  EXPECT_EQ(send("GET", "/api/thing", {}).status, 200) << "no Origin: engines and curl";
}

TEST_F(AccessTest, PreflightsAreAnsweredForAllowedOriginsOnly) {
  ServerOptions options;
  options.access.allowed_origins = {"http://localhost:5173"};
  options.access.token = "s3cret";
  start(options);
  const auto preflight = send("OPTIONS", "/api/thing",
                              {{"Origin", "http://localhost:5173"},
                               {"Access-Control-Request-Method", "POST"},
                               {"Access-Control-Request-Headers", "authorization, content-type"}});
  EXPECT_EQ(preflight.status, 200) << "a preflight carries no token";
  EXPECT_EQ(preflight.headers.at("access-control-allow-methods"), "GET, HEAD, OPTIONS, POST");
  EXPECT_EQ(preflight.headers.at("access-control-allow-headers"), "authorization, content-type");
  EXPECT_EQ(preflight.headers.at("access-control-allow-origin"), "http://localhost:5173");
  EXPECT_EQ(send("OPTIONS", "/api/thing",
                 {{"Origin", "https://evil.example"}, {"Access-Control-Request-Method", "POST"}})
                .status,
            403);
  EXPECT_EQ(Counted::calls, 0);
}

TEST_F(AccessTest, AConfiguredTokenIsRequiredOnEveryRequest) {
  ServerOptions options;
  options.access.token = "s3cret";
  options.access.allowed_origins = {"http://localhost:5173"};
  start(options);
  const auto missing = send("GET", "/api/thing", {});
  EXPECT_EQ(missing.status, 401);
  EXPECT_EQ(missing.headers.at("www-authenticate"), "Bearer");
  EXPECT_EQ(send("GET", "/api/thing", {{"Authorization", "Bearer s3cre"}}).status, 401);
  EXPECT_EQ(send("GET", "/api/thing", {{"Authorization", "Bearer s3cret!"}}).status, 401);
  EXPECT_EQ(send("GET", "/api/thing", {{"Authorization", "Basic s3cret"}}).status, 401);
  EXPECT_EQ(send("GET", "/api/nothing", {}).status, 401) << "unknown paths are no exception";
  EXPECT_EQ(Counted::calls, 0);
  EXPECT_EQ(send("GET", "/api/thing", {{"Authorization", "Bearer s3cret"}}).status, 200);
  EXPECT_EQ(send("GET", "/api/thing", {{"authorization", "bearer s3cret"}}).status, 200);
  const auto browser_without_token =
      send("GET", "/api/thing", {{"Origin", "http://localhost:5173"}});
  EXPECT_EQ(browser_without_token.status, 401);
  EXPECT_EQ(browser_without_token.headers.at("access-control-allow-origin"),
            "http://localhost:5173")
      << "the page may read why it was refused";
}

TEST_F(AccessTest, IdleConnectionsMakeRoomForNewOnes) {
  ServerOptions options;
  options.max_connections = 4;
  start(options);
  asio::io_context io;
  std::vector<asio::ip::tcp::socket> idle;
  for (int i = 0; i < 4; ++i) {
    idle.emplace_back(io).connect({asio::ip::make_address("127.0.0.1"), port_});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(send("GET", "/api/thing", {}).status, 200);
  // The longest idle connection was closed to make room.
  char byte = 0;
  boost::system::error_code ec;
  idle.front().read_some(asio::buffer(&byte, 1), ec);
  EXPECT_EQ(ec, asio::error::eof);
}

TEST_F(AccessTest, ConnectionsBeyondTheCapAreRefusedWhenAllAreBusy) {
  ServerOptions options;
  options.max_connections = 2;
  start(options);
  auto first = std::async(std::launch::async, [this] { return send("GET", "/api/sleepy", {}); });
  auto second = std::async(std::launch::async, [this] { return send("GET", "/api/sleepy", {}); });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  const auto refused = send("GET", "/api/thing", {});
  EXPECT_EQ(refused.status, 503);
  EXPECT_EQ(first.get().status, 200);
  EXPECT_EQ(second.get().status, 200);
}

}  // namespace
}  // namespace stratdesk::http

namespace stratdesk::http {
namespace {

TEST(StreamTickets, ATicketOpensOnceAndOnlyWithinItsLifetime) {
  StreamTickets tickets;
  const auto now = StreamTickets::Clock::now();
  const std::string ticket = tickets.issue(now);
  EXPECT_EQ(ticket.size(), 32u);
  EXPECT_EQ(ticket.find_first_not_of("0123456789abcdef"), std::string::npos) << ticket;
  EXPECT_NE(tickets.issue(now), ticket);
  EXPECT_TRUE(tickets.redeem(ticket, now + std::chrono::seconds(29)));
  EXPECT_FALSE(tickets.redeem(ticket, now + std::chrono::seconds(29))) << "spent";
  const std::string late = tickets.issue(now);
  EXPECT_FALSE(tickets.redeem(late, now + StreamTickets::lifetime));
  EXPECT_FALSE(tickets.redeem("", now));
  EXPECT_FALSE(tickets.redeem(std::string(32, '0'), now));
}

TEST(StreamTickets, ABurstOfUnusedTicketsGivesUpTheOldestFirst) {
  StreamTickets tickets;
  const auto start = StreamTickets::Clock::now();
  std::vector<std::string> issued;
  for (int n = 0; n < 1500; ++n) {
    issued.push_back(tickets.issue(start + std::chrono::milliseconds(n)));
  }
  const auto now = start + std::chrono::seconds(2);
  EXPECT_FALSE(tickets.redeem(issued.front(), now));
  EXPECT_TRUE(tickets.redeem(issued.back(), now));
  EXPECT_TRUE(tickets.redeem(issued[1500 - 1024], now));
}

}  // namespace
}  // namespace stratdesk::http
