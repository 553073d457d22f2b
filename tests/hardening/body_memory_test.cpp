// Large bodies beyond the server's body memory wait their turn to be read instead of all being
// held at once; every one is still answered and stored, and small requests never wait.
#include <gtest/gtest.h>

#include <future>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <boost/json/serialize.hpp>

#include "db/connection.hpp"
#include "test_support.hpp"

namespace stratdesk::test {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

// A feed POST body of about `bytes` bytes: log rows of backtest `backtest`.
std::string log_rows_body(int backtest, std::size_t bytes) {
  boost::json::array rows;
  const std::string content(1000, 'x');
  for (std::size_t size = 0; size < bytes; size += content.size() + 40) {
    rows.push_back(boost::json::array{1, backtest, "2016-01-04 15:00:00", content.c_str(), 20});
  }
  return form_encode({{"log_feeds", boost::json::serialize(rows)}});
}

std::int64_t stored_rows(const std::string& db_path, int backtest) {
  db::Connection c(db_path);
  return c.execute("SELECT count(*) AS n FROM log_feeds WHERE backtest_id = ?", {backtest})
      .at(0)
      .at("n")
      .as_int64();
}

TEST(BodyMemory, ALargeBodyWaitsWhileOthersHoldTheBudgetAndIsThenStored) {
  TempDir dir;
  ServerProcess server(dir.path(), {"--body-memory", "2000000"});
  const std::string held_body = log_rows_body(1, 1500000);
  const std::string waiting_body = log_rows_body(2, 1200000);

  // A client that has sent its header and the start of its body holds 1.5 MB of the budget.
  asio::io_context io;
  tcp::socket slow(io);
  slow.connect({asio::ip::make_address("127.0.0.1"), server.port()});
  const std::string header =
      "POST /api/feedgroup HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
      "application/x-www-form-urlencoded\r\nContent-Length: " +
      std::to_string(held_body.size()) + "\r\n\r\n";
  asio::write(slow, asio::buffer(header + held_body.substr(0, 1000)));

  auto waiting = std::async(std::launch::async, [&] {
    HttpClient client("127.0.0.1", server.port());
    return client.request("POST", "/api/feedgroup", waiting_body,
                          "application/x-www-form-urlencoded");
  });
  HttpClient small("127.0.0.1", server.port());
  EXPECT_EQ(small
                .request("POST", "/api/feedgroup", log_rows_body(3, 20000),
                         "application/x-www-form-urlencoded")
                .status,
            200)
      << "a small body is never held back";
  EXPECT_EQ(waiting.wait_for(1s), std::future_status::timeout)
      << "the second large body is not read while the first holds the budget";

  asio::write(slow, asio::buffer(held_body.substr(1000)));
  asio::streambuf answer;
  asio::read_until(slow, answer, "\r\n");
  EXPECT_EQ(
      std::string(asio::buffers_begin(answer.data()), asio::buffers_begin(answer.data()) + 15),
      "HTTP/1.1 200 OK");
  ASSERT_EQ(waiting.wait_for(30s), std::future_status::ready);
  EXPECT_EQ(waiting.get().status, 200) << "backpressure, never a 413 for a body within the limit";
  EXPECT_EQ(stored_rows(server.db_path(), 1), 1443);
  EXPECT_EQ(stored_rows(server.db_path(), 2), 1154);
}

}  // namespace
}  // namespace stratdesk::test
