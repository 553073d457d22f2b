#include "morvex_client/morvex_client.hpp"

#include <utility>

#include "common/frame.hpp"
#include "common/json_parse.hpp"
#include "common/py_text.hpp"
#include "framed/framed.hpp"

namespace stratdesk::morvex_client {
namespace {

namespace asio = boost::asio;

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
    throw Error("the request to the analytics service is too large (" +
                std::to_string(body.size()) + " bytes)");
  }
  return std::move(*frame);
}

// The failed step as the person at the dashboard reads it.
Error step_failure(const framed::Error& error, unsigned short port) {
  const std::string cause = " (" + error.code().message() + ")";
  switch (error.step()) {
    case framed::Error::Step::connect:
      return Error("the analytics service could not be reached at " + where(port) + cause);
    case framed::Error::Step::send:
      return Error("the analytics service at " + where(port) +
                   " dropped the connection while the request was sent" + cause);
    case framed::Error::Step::receive:
      break;
  }
  return Error("the analytics service at " + where(port) +
               " dropped the connection before answering" + cause);
}

boost::json::value parse_answer(const std::string& body, unsigned short port) {
  if (body.empty()) {
    throw Error("the analytics service at " + where(port) + " sent an empty answer");
  }
  boost::system::error_code ec;
  boost::json::value answer = common::parse_json(body, ec);
  if (ec) {
    throw Error("the analytics service at " + where(port) +
                " sent an answer that is not valid JSON (" + ec.message() + ")");
  }
  return answer;
}

}  // namespace

Client::Client(Settings settings) : settings_(settings) {
  settings_.time_limit = std::max(settings_.time_limit, std::chrono::milliseconds(1));
}

asio::awaitable<boost::json::value> Client::do_request(boost::json::object request) const {
  const std::string frame = frame_of(boost::json::value(std::move(request)));
  const unsigned short port = settings_.port;
  const std::chrono::milliseconds limit = settings_.time_limit;
  framed::Reply reply;
  try {
    reply = co_await framed::request(port, frame, framed::Clock::now() + limit);
  } catch (const framed::Error& error) {
    throw step_failure(error, port);
  }
  switch (reply.status) {
    case framed::Reply::Status::timed_out:
      throw Error("the analytics service did not answer in time (nothing from " + where(port) +
                  " within " + describe(limit) + ")");
    case framed::Reply::Status::closed_early:
      throw Error("the analytics service at " + where(port) +
                  " closed the connection without answering");
    case framed::Reply::Status::answered:
      break;
  }
  co_return parse_answer(reply.body, port);
}

}  // namespace stratdesk::morvex_client
