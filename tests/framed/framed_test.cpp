#include "framed/framed.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/asio/write.hpp>

#include "common/frame.hpp"

namespace stratdesk::framed {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono_literals;

// recv_n against a peer that writes `pieces` with pauses between them, then closes.
std::string receive(std::int64_t n, std::vector<std::string> pieces) {
  asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  tcp::socket peer(io);
  peer.connect(acceptor.local_endpoint());
  tcp::socket socket = acceptor.accept();
  auto write = [&]() -> asio::awaitable<void> {
    asio::steady_timer pause(io);
    for (const std::string& piece : pieces) {
      co_await asio::async_write(peer, asio::buffer(piece), asio::use_awaitable);
      pause.expires_after(std::chrono::milliseconds(20));
      co_await pause.async_wait(asio::use_awaitable);
    }
    peer.close();
  };
  asio::co_spawn(io, write(), asio::detached);
  auto received = asio::co_spawn(io, recv_n(socket, n), asio::use_future);
  io.run_for(std::chrono::seconds(10));
  return received.get();
}

TEST(RecvN, ReadsUntilTheCountOrThePeersClose) {
  EXPECT_EQ(receive(10, {"012", "3456", "789"}), "0123456789");
  EXPECT_EQ(receive(4, {"01", "23456789"}), "0123");
  EXPECT_EQ(receive(10, {"abc"}), "abc");
  EXPECT_EQ(receive(0, {"abc"}), "");
  EXPECT_EQ(receive(-5, {"abc"}), "");
}

// A peer on loopback that accepts one connection, reads one request frame and then does what
// the test says: answers `reply` and closes, or stays silent until the exchange closes.
class FramedPeer {
 public:
  FramedPeer() : acceptor_(io_, tcp::endpoint(asio::ip::address_v4::loopback(), 0)) {}

  unsigned short port() const { return acceptor_.local_endpoint().port(); }

  // Serves one connection: writes `reply` (nullopt: nothing) after the request frame, then
  // waits for the client's close when `wait_for_close`, else closes.
  void serve(std::optional<std::string> reply, bool wait_for_close = false) {
    asio::co_spawn(io_, answer(std::move(reply), wait_for_close), asio::detached);
  }

  // Runs `exchange` on the loop (with the peer) until it ends.
  template <class Awaitable>
  auto run(Awaitable exchange) {
    auto result = asio::co_spawn(io_, std::move(exchange), asio::use_future);
    io_.run_for(10s);
    return result.get();
  }

  tcp::socket connected_client() {
    tcp::socket client(io_);
    client.connect(acceptor_.local_endpoint());
    return client;
  }

  const std::string& request() const { return request_; }
  bool saw_close() const { return saw_close_; }

 private:
  asio::awaitable<void> answer(std::optional<std::string> reply, bool wait_for_close) {
    tcp::socket socket = co_await acceptor_.async_accept(asio::use_awaitable);
    std::string header(4, '\0');
    co_await asio::async_read(socket, asio::buffer(header), asio::use_awaitable);
    request_.assign(static_cast<std::size_t>(common::frame_length(header)), '\0');
    co_await asio::async_read(socket, asio::buffer(request_), asio::use_awaitable);
    if (reply) {
      co_await asio::async_write(socket, asio::buffer(*reply), asio::use_awaitable);
    }
    if (wait_for_close) {
      char byte = 0;
      auto [ec, n] = co_await socket.async_read_some(asio::buffer(&byte, 1),
                                                     asio::as_tuple(asio::use_awaitable));
      // Unread bytes turn the client's close into a reset.
      saw_close_ = ec == asio::error::eof || ec == asio::error::connection_reset;
    }
  }

  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::string request_;
  bool saw_close_ = false;
};

std::string frame(const std::string& body) {
  return *common::frame_of(body);
}

TEST(FramedRequest, ReadsOneAnswerFrameWhateverTheServiceSendsAfterIt) {
  FramedPeer peer;
  peer.serve(frame("{\"ok\": 1}") + "trailing bytes", true);
  const Reply reply = peer.run(request(peer.port(), frame("{\"cmd\": \"x\"}"), Clock::now() + 5s));
  EXPECT_EQ(reply.status, Reply::Status::answered);
  EXPECT_EQ(reply.body, "{\"ok\": 1}");
  EXPECT_EQ(peer.request(), "{\"cmd\": \"x\"}");
  EXPECT_TRUE(peer.saw_close()) << "the connection must be closed once the answer is read";
}

TEST(FramedRequest, TellsAPeerThatClosedEarlyFromOneThatCutItsBodyShort) {
  {
    FramedPeer peer;
    peer.serve(std::string("\x05\x00", 2));
    EXPECT_EQ(peer.run(request(peer.port(), frame("q"), Clock::now() + 5s)).status,
              Reply::Status::closed_early);
  }
  {
    FramedPeer peer;
    peer.serve(frame("0123456789").substr(0, 7));
    const Reply reply = peer.run(request(peer.port(), frame("q"), Clock::now() + 5s));
    EXPECT_EQ(reply.status, Reply::Status::answered);
    EXPECT_EQ(reply.body, "012");
  }
}

TEST(FramedRequest, TheDeadlineEndsASilentExchangeAndClosesItsConnection) {
  FramedPeer peer;
  peer.serve(std::nullopt, true);
  const auto start = Clock::now();
  const Reply reply = peer.run(request(peer.port(), frame("q"), start + 200ms));
  const auto took = Clock::now() - start;
  EXPECT_EQ(reply.status, Reply::Status::timed_out);
  EXPECT_GE(took, 200ms);
  EXPECT_LT(took, 2s);
  EXPECT_TRUE(peer.saw_close());
}

TEST(FramedRequest, NamesTheStepThatFailed) {
  unsigned short closed_port = 0;
  {
    asio::io_context io;
    tcp::acceptor gone(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    closed_port = gone.local_endpoint().port();
  }
  FramedPeer peer;
  try {
    peer.run(request(closed_port, frame("q"), Clock::now() + 5s));
    ADD_FAILURE() << "a refused connection must throw";
  } catch (const Error& error) {
    EXPECT_EQ(error.step(), Error::Step::connect);
    EXPECT_EQ(error.code(), asio::error::connection_refused);
  }
}

TEST(FramedExchange, ServesAConnectedSocketAndClosesItOnEveryPath) {
  FramedPeer peer;
  peer.serve(frame("[1, 2]"));
  tcp::socket client = peer.connected_client();
  const Reply reply = peer.run(exchange(client, frame("source"), Clock::now() + 5s));
  EXPECT_EQ(reply.body, "[1, 2]");
  EXPECT_EQ(peer.request(), "source");
  EXPECT_FALSE(client.is_open());

  FramedPeer silent;
  silent.serve(std::nullopt, true);
  tcp::socket waiting = silent.connected_client();
  EXPECT_EQ(silent.run(exchange(waiting, frame("source"), Clock::now() + 100ms)).status,
            Reply::Status::timed_out);
  EXPECT_FALSE(waiting.is_open());
  EXPECT_TRUE(silent.saw_close());
}

}  // namespace
}  // namespace stratdesk::framed
