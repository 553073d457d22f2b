#include "morvex_client/morvex_client.hpp"

#include <algorithm>
#include <array>
#include <exception>
#include <limits>
#include <tuple>
#include <utility>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include "common/frame.hpp"
#include "common/json_parse.hpp"
#include "common/py_text.hpp"

namespace stratdesk::morvex_client {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);

std::string where(unsigned short port) {
  return "127.0.0.1:" + std::to_string(port);
}

std::string describe(std::chrono::milliseconds limit) {
  if (limit.count() % 1000 == 0) {
    return std::to_string(limit.count() / 1000) + " s";
  }
  return std::to_string(limit.count()) + " ms";
}

std::string frame_of(const boost::json::value& request) {
  const std::string body = common::python_json_dumps(request);
  std::optional<std::string> frame = common::frame_of(body);
  if (!frame) {
    throw Error(Error::Kind::bad_request, "the request to the analytics service is too large (" +
                                              std::to_string(body.size()) + " bytes)");
  }
  return std::move(*frame);
}

asio::awaitable<boost::json::value> exchange(std::string frame, unsigned short port) {
  tcp::socket socket(co_await asio::this_coro::executor);
  const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port);
  if (auto [ec] = co_await socket.async_connect(endpoint, use_tuple); ec) {
    throw Error(Error::Kind::unreachable, "the analytics service could not be reached at " +
                                              where(port) + " (" + ec.message() + ")");
  }
  if (auto [ec, written] = co_await asio::async_write(socket, asio::buffer(frame), use_tuple); ec) {
    throw Error(Error::Kind::dropped, "the analytics service at " + where(port) +
                                          " dropped the connection while the request was sent (" +
                                          ec.message() + ")");
  }
  std::string body;
  try {
    const std::string header = co_await recv_n(socket, 4);
    if (header.size() < 4) {
      throw Error(Error::Kind::dropped, "the analytics service at " + where(port) +
                                            " closed the connection without answering");
    }
    // Bytes past the announced length are not ours to read; they go with the connection.
    body = co_await recv_n(socket, common::frame_length(header));
  } catch (const boost::system::system_error& error) {
    throw Error(Error::Kind::dropped, "the analytics service at " + where(port) +
                                          " dropped the connection before answering (" +
                                          error.code().message() + ")");
  }
  boost::system::error_code ignored;
  socket.close(ignored);
  if (body.empty()) {
    throw Error(Error::Kind::bad_answer,
                "the analytics service at " + where(port) + " sent an empty answer");
  }
  boost::system::error_code ec;
  boost::json::value answer = common::parse_json(body, ec);
  if (ec) {
    throw Error(Error::Kind::bad_answer, "the analytics service at " + where(port) +
                                             " sent an answer that is not valid JSON (" +
                                             ec.message() + ")");
  }
  co_return answer;
}

// The exchange's result with its failure carried rather than thrown: a failed exchange must end
// the race against the timer at once, not wait for the time limit.
struct Outcome {
  boost::json::value answer;
  std::exception_ptr error;
};

asio::awaitable<Outcome> attempt(std::string frame, unsigned short port) {
  Outcome outcome;
  try {
    outcome.answer = co_await exchange(std::move(frame), port);
  } catch (...) {
    outcome.error = std::current_exception();
  }
  co_return outcome;
}

}  // namespace

Client::Client(Settings settings) : settings_(std::move(settings)) {
  settings_.time_limit = std::max(settings_.time_limit, std::chrono::milliseconds(1));
}

asio::awaitable<std::string> recv_n(tcp::socket& sock, std::int64_t n) {
  constexpr std::int64_t piece = 64 * 1024;
  std::string received;
  while (n > 0) {
    // Room for at most one piece at a time: the announced length is not trusted for an
    // allocation of its own.
    const std::size_t before = received.size();
    const auto wanted = static_cast<std::size_t>(std::min(n, piece));
    received.resize(before + wanted);
    auto [ec, got] =
        co_await sock.async_read_some(asio::buffer(received.data() + before, wanted), use_tuple);
    received.resize(before + got);
    if (ec == asio::error::eof) {
      break;
    }
    if (ec) {
      throw boost::system::system_error(ec);
    }
    n -= static_cast<std::int64_t>(got);
  }
  co_return received;
}

asio::awaitable<boost::json::value> Client::do_request(boost::json::object request) const {
  std::string frame = frame_of(boost::json::value(std::move(request)));
  const unsigned short port = settings_.port;
  const std::chrono::milliseconds limit = settings_.time_limit;
  const auto executor = co_await asio::this_coro::executor;
  asio::steady_timer timer(executor, limit);
  // Whichever finishes first cancels the other, and the group returns only once both have
  // finished: a cancelled exchange has closed its socket by then.
  auto [order, spawn_error, outcome, timer_error] =
      co_await asio::experimental::make_parallel_group(
          asio::co_spawn(executor, attempt(std::move(frame), port), asio::deferred),
          timer.async_wait(asio::deferred))
          .async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
  if (order[0] == 1) {
    throw Error(Error::Kind::timeout,
                "the analytics service did not answer in time (nothing from " + where(port) +
                    " within " + describe(limit) + ")");
  }
  if (spawn_error) {
    std::rethrow_exception(spawn_error);
  }
  if (outcome.error) {
    std::rethrow_exception(outcome.error);
  }
  co_return std::move(outcome.answer);
}

}  // namespace stratdesk::morvex_client
