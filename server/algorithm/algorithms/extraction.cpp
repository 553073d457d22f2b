#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json/array.hpp>
#include <boost/json/monotonic_resource.hpp>
#include <boost/json/serialize.hpp>

#include "algorithms/algorithms.hpp"
#include "common/error.hpp"
#include "common/frame.hpp"
#include "common/json_parse.hpp"
#include "common/py_text.hpp"
#include "common/text.hpp"
#include "framed/framed.hpp"
#include "log/log.hpp"
#include "process/child_process.hpp"

namespace stratdesk::algorithms {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace asio::experimental::awaitable_operators;

// How soon a child that died before connecting is noticed.
constexpr auto exit_poll_interval = std::chrono::milliseconds(20);

double seconds(std::chrono::milliseconds duration) {
  return std::chrono::duration<double>(duration).count();
}

std::string request_frame(const std::string& source) {
  std::optional<std::string> frame = common::frame_of(source);
  if (!frame) {
    throw common::Error(common::ErrorKind::internal,
                        "the strategy source (" + std::to_string(source.size()) +
                            " bytes) is too long for the parameter extraction");
  }
  return std::move(*frame);
}

bool is_json(const std::string& text) {
  boost::json::monotonic_resource arena;
  boost::system::error_code ec;
  common::parse_json(text, ec, &arena);
  return !ec;
}

enum class Waited { exited, timed_out };

// Runs beside the accept: without it a child that died before connecting would be waited for
// until the time limit.
asio::awaitable<Waited> watch_child(process::ChildProcess& child, Clock::time_point deadline) {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  for (;;) {
    if (child.poll()) {
      co_return Waited::exited;
    }
    const auto now = Clock::now();
    if (now >= deadline) {
      co_return Waited::timed_out;
    }
    timer.expires_after(std::min<Clock::duration>(exit_poll_interval, deadline - now));
    co_await timer.async_wait(asio::use_awaitable);
  }
}

common::Error connection_failure(const std::exception& error) {
  return common::Error(common::ErrorKind::internal,
                       std::string("the parameter extraction connection failed: ") + error.what());
}

// The answer's body as the extraction wrote it; throws when there is none or it is not text.
ExtractionAnswer answer_of(std::optional<std::string> body) {
  if (!body) {
    throw common::Error(common::ErrorKind::internal,
                        "the parameter extraction closed the connection before sending the "
                        "length of its answer");
  }
  if (!common::is_valid_utf8(*body)) {
    throw common::Error(common::ErrorKind::internal,
                        "the parameter extraction answered bytes that are not UTF-8");
  }
  const bool json = is_json(*body);
  return ExtractionAnswer{std::move(*body), json};
}

asio::awaitable<std::string> extract(const std::string& source_code,
                                     const ExtractionSettings& settings) {
  const std::string frame = request_frame(source_code);
  const auto executor = co_await asio::this_coro::executor;

  tcp::acceptor acceptor(executor);
  acceptor.open(tcp::v4());
  acceptor.bind(tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  acceptor.listen();
  const std::string port = std::to_string(acceptor.local_endpoint().port());

  const std::vector<std::string> argv = {settings.interpreter, "-m", "kestrun_exparam", port};
  log::logger().info("cmd = {}",
                     common::display_form(boost::json::array(argv.begin(), argv.end())));
  std::optional<process::ChildProcess> child;
  try {
    child.emplace(process::ChildProcess::spawn(argv));
  } catch (const std::system_error& error) {
    throw common::Error(common::ErrorKind::internal,
                        "cannot start the parameter extraction with '" + settings.interpreter +
                            "': " + error.code().message());
  }
  const auto deadline = Clock::now() + settings.time_limit;

  auto accepted = co_await (acceptor.async_accept(asio::as_tuple(asio::use_awaitable)) ||
                            watch_child(*child, deadline));
  acceptor.close();
  if (accepted.index() == 1) {
    if (std::get<1>(accepted) == Waited::exited) {
      log::logger().warning(
          "parameter extraction process {} ended ({}) without connecting; parameters are []",
          child->pid(), child->poll()->description());
    } else {
      log::logger().warning(
          "parameter extraction process {} did not connect within {} s; parameters are []",
          child->pid(), seconds(settings.time_limit));
    }
    co_return "[]";
  }
  auto& [accept_error, socket] = std::get<0>(accepted);
  if (accept_error) {
    throw common::Error(common::ErrorKind::internal,
                        "the parameter extraction could not connect: " + accept_error.message());
  }

  std::optional<ExtractionAnswer> answer =
      co_await exchange_with_extraction(socket, frame, deadline);
  if (!answer) {
    log::logger().warning(
        "parameter extraction process {} did not answer within {} s; parameters are []",
        child->pid(), seconds(settings.time_limit));
    co_return "[]";
  }
  if (!answer->is_json) {
    log::logger().warning(
        "parameter extraction process {} answered {} bytes that are not JSON; parameters are []",
        child->pid(), answer->body.size());
    co_return "[]";
  }
  co_return std::move(answer->body);
}

}  // namespace

asio::awaitable<std::string> ParameterExtraction::get_parameter(std::string source_code) const {
  const auto executor = co_await asio::this_coro::executor;
  std::exception_ptr failure;
  std::string parameters;
  try {
    parameters = co_await extract(source_code, settings_);
  } catch (...) {
    failure = std::current_exception();
  }
  // The child may still be running on every path; it is reaped on this executor.
  process::ensure_reaper(*reaping_, executor);
  if (failure) {
    std::rethrow_exception(failure);
  }
  co_return parameters;
}

asio::awaitable<std::optional<ExtractionAnswer>> exchange_with_extraction(
    tcp::socket& socket, const std::string& frame, std::chrono::steady_clock::time_point deadline) {
  framed::Reply reply;
  try {
    reply = co_await framed::exchange(socket, frame, deadline);
  } catch (const framed::Error& error) {
    if (error.step() == framed::Error::Step::receive) {
      throw connection_failure(error);
    }
    throw;
  }
  switch (reply.status) {
    case framed::Reply::Status::timed_out:
      co_return std::nullopt;
    case framed::Reply::Status::closed_early:
      co_return answer_of(std::nullopt);
    case framed::Reply::Status::answered:
      break;
  }
  co_return answer_of(std::move(reply.body));
}

std::string securities_text(const boost::json::value& securities) {
  return securities.is_string() ? std::string(securities.get_string())
                                : common::python_json_dumps(securities);
}

}  // namespace stratdesk::algorithms
