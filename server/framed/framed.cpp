#include "framed/framed.hpp"

#include <algorithm>
#include <exception>
#include <utility>
#include <variant>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include "common/frame.hpp"

namespace stratdesk::framed {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;
constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);

// Reads are bounded so that a length prefix that lies costs only what really arrives.
constexpr std::int64_t read_chunk = std::int64_t{64} * 1024;

// An outcome with its failure carried rather than thrown: a failed step must end the race
// against the deadline at once, and a thrown one would make the race wait for the timer.
struct Outcome {
  Reply reply;
  std::exception_ptr failure;
};

asio::awaitable<void> sleep_until(Clock::time_point deadline) {
  asio::steady_timer timer(co_await asio::this_coro::executor, deadline);
  co_await timer.async_wait(asio::use_awaitable);
}

// A step cancelled by its caller (the deadline, or the server's shutdown) says nothing about the
// peer: its operation_aborted goes on as it is.
[[noreturn]] void fail(Error::Step step, const boost::system::system_error& error) {
  if (error.code() == asio::error::operation_aborted) {
    throw error;
  }
  throw Error(step, error);
}

asio::awaitable<void> connect(tcp::socket& socket, unsigned short port) {
  const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port);
  if (auto [ec] = co_await socket.async_connect(endpoint, use_tuple); ec) {
    fail(Error::Step::connect, boost::system::system_error(ec));
  }
}

asio::awaitable<Reply> send_and_receive(tcp::socket& socket, std::string_view frame) {
  if (auto [ec, n] = co_await asio::async_write(socket, asio::buffer(frame), use_tuple); ec) {
    fail(Error::Step::send, boost::system::system_error(ec));
  }
  std::optional<std::string> body;
  try {
    body = co_await read_frame(socket);
  } catch (const boost::system::system_error& error) {
    fail(Error::Step::receive, error);
  }
  if (!body) {
    co_return Reply{Reply::Status::closed_early, {}};
  }
  co_return Reply{Reply::Status::answered, std::move(*body)};
}

asio::awaitable<Outcome> attempt(tcp::socket& socket, std::string_view frame,
                                 std::optional<unsigned short> port) {
  Outcome outcome;
  try {
    if (port) {
      co_await connect(socket, *port);
    }
    outcome.reply = co_await send_and_receive(socket, frame);
  } catch (...) {
    outcome.failure = std::current_exception();
  }
  co_return outcome;
}

// The exchange on `socket` (connecting it first when `port` is given) raced against the
// deadline; the loser is cancelled and has ended when this returns.
asio::awaitable<Reply> exchange_until(tcp::socket& socket, std::string_view frame,
                                      std::optional<unsigned short> port,
                                      Clock::time_point deadline) {
  auto raced = co_await (attempt(socket, frame, port) || sleep_until(deadline));
  boost::system::error_code ignored;
  socket.close(ignored);
  if (raced.index() == 1) {
    co_return Reply{Reply::Status::timed_out, {}};
  }
  Outcome& outcome = std::get<0>(raced);
  if (outcome.failure) {
    std::rethrow_exception(outcome.failure);
  }
  co_return std::move(outcome.reply);
}

}  // namespace

asio::awaitable<Reply> exchange(tcp::socket& socket, std::string_view frame,
                                Clock::time_point deadline) {
  co_return co_await exchange_until(socket, frame, std::nullopt, deadline);
}

asio::awaitable<Reply> request(unsigned short port, std::string_view frame,
                               Clock::time_point deadline) {
  tcp::socket socket(co_await asio::this_coro::executor);
  co_return co_await exchange_until(socket, frame, port, deadline);
}

asio::awaitable<std::optional<std::string>> read_frame(tcp::socket& socket) {
  const std::string header = co_await recv_n(socket, 4);
  if (header.size() < 4) {
    co_return std::nullopt;
  }
  co_return co_await recv_n(socket, common::frame_length(header));
}

asio::awaitable<std::string> recv_n(tcp::socket& sock, std::int64_t n) {
  std::string received;
  while (n > 0) {
    const std::size_t have = received.size();
    const auto want = static_cast<std::size_t>(std::min(n, read_chunk));
    received.resize(have + want);
    auto [ec, count] =
        co_await sock.async_read_some(asio::buffer(received.data() + have, want), use_tuple);
    received.resize(have + count);
    n -= static_cast<std::int64_t>(count);
    if (ec == asio::error::eof) {
      break;
    }
    if (ec) {
      throw boost::system::system_error(ec);
    }
  }
  co_return received;
}

}  // namespace stratdesk::framed
