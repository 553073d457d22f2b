// Slow and idle clients cannot hold the server: every wait for a client has a time limit, and a
// thousand idle connections leave room for the clients that want an answer.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include "test_support.hpp"

namespace stratdesk::test {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

// Sends `bytes` one at a time, `pause` apart, until the server closes the connection; returns
// how long the server kept it.
std::chrono::steady_clock::duration trickle(unsigned short port, const std::string& bytes,
                                            std::chrono::milliseconds pause) {
  asio::io_context io;
  tcp::socket socket(io);
  socket.connect({asio::ip::make_address("127.0.0.1"), port});
  const auto start = std::chrono::steady_clock::now();
  for (char byte : bytes) {
    boost::system::error_code ec;
    asio::write(socket, asio::buffer(&byte, 1), ec);
    if (ec) {
      break;
    }
    std::this_thread::sleep_for(pause);
    socket.non_blocking(true);
    char answer = 0;
    socket.read_some(asio::buffer(&answer, 1), ec);
    socket.non_blocking(false);
    if (ec && ec != asio::error::would_block) {
      break;
    }
  }
  return std::chrono::steady_clock::now() - start;
}

class SlowClients : public ::testing::Test {
 protected:
  SlowClients()
      : server_(dir_.path(),
                {"--idle-timeout", "2", "--header-timeout", "1", "--body-timeout", "1"}) {}
  TempDir dir_;
  ServerProcess server_;
};

TEST_F(SlowClients, AClientSendingAByteAtATimeIsCutOff) {
  const std::string header =
      "GET /api/algorithms HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(200, 'a') +
      "\r\n\r\n";
  EXPECT_LT(trickle(server_.port(), header, 100ms), 5s) << "a header that takes for ever";
  const std::string body =
      "POST /api/feedgroup HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
      "application/x-www-form-urlencoded\r\nContent-Length: 200\r\n\r\n" +
      std::string(200, 'a');
  EXPECT_LT(trickle(server_.port(), body, 50ms), 8s) << "a body that takes for ever";
  HttpClient client("127.0.0.1", server_.port());
  EXPECT_EQ(client.get("/api/algorithms").status, 200);
}

TEST_F(SlowClients, AThousandIdleConnectionsDoNotStopTheServerAnsweringOthers) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 4096));
  ::setrlimit(RLIMIT_NOFILE, &limit);
  ASSERT_GE(limit.rlim_cur, 1100u) << "this machine allows too few descriptors for the test";

  asio::io_context io;
  std::vector<tcp::socket> idle;
  for (int i = 0; i < 1000; ++i) {
    idle.emplace_back(io).connect({asio::ip::make_address("127.0.0.1"), server_.port()});
  }
  HttpClient client("127.0.0.1", server_.port());
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(client.get("/api/algorithms/1/backtests/1/feeds/log").status, 200) << i;
  }
  // Idle connections are closed once their time limit has passed.
  std::this_thread::sleep_for(3s);
  int closed = 0;
  for (auto& socket : idle) {
    socket.non_blocking(true);
    char byte = 0;
    boost::system::error_code ec;
    socket.read_some(asio::buffer(&byte, 1), ec);
    closed += ec == asio::error::eof ? 1 : 0;
  }
  EXPECT_EQ(closed, 1000);
}

}  // namespace
}  // namespace stratdesk::test
