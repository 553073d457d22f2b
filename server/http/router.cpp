#include "http/router.hpp"

#include <algorithm>
#include <charconv>
#include <exception>

#include <boost/asio/cancellation_type.hpp>
#include <boost/asio/this_coro.hpp>

#include "log/log.hpp"

namespace stratdesk::http {
namespace {

constexpr std::string_view generic_failure = "internal server error";

std::vector<std::string_view> split_path(std::string_view path) {
  std::vector<std::string_view> segments;
  std::size_t begin = 0;
  for (;;) {
    const auto slash = path.find('/', begin);
    segments.push_back(path.substr(begin, slash - begin));
    if (slash == std::string_view::npos) {
      return segments;
    }
    begin = slash + 1;
  }
}

bool parse_unsigned_segment(std::string_view text, std::int64_t& value) {
  if (text.empty() ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc{} && end == text.data() + text.size();
}

std::string_view verb_name(verb method) {
  return boost::beast::http::to_string(method);
}

}  // namespace

RoutePattern::RoutePattern(std::string pattern) : text_(std::move(pattern)) {
  for (std::string_view piece : split_path(text_)) {
    Segment segment;
    if (piece.starts_with('<') && piece.ends_with('>')) {
      const std::string_view inside = piece.substr(1, piece.size() - 2);
      if (!inside.starts_with("int:") || inside.size() == 4) {
        throw std::invalid_argument("unsupported route parameter " + std::string(piece) + " in " +
                                    text_);
      }
      segment.is_int = true;
      ++parameter_count_;
    } else {
      segment.literal = piece;
    }
    segments_.push_back(std::move(segment));
  }
}

bool RoutePattern::match(std::string_view path, std::vector<std::int64_t>& parameters) const {
  const auto pieces = split_path(path);
  if (pieces.size() != segments_.size()) {
    return false;
  }
  parameters.clear();
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (!segments_[i].is_int) {
      if (pieces[i] != segments_[i].literal) {
        return false;
      }
      continue;
    }
    std::int64_t value = 0;
    if (!parse_unsigned_segment(pieces[i], value)) {
      return false;
    }
    parameters.push_back(value);
  }
  return true;
}

std::size_t Api::slot(verb method) {
  const auto found = std::find(verbs_served.begin(), verbs_served.end(), method);
  return static_cast<std::size_t>(found - verbs_served.begin());
}

Api::Match Api::match(std::string_view path, verb method) const {
  Match result;
  std::vector<std::string_view> allowed;
  std::vector<std::int64_t> parameters;
  const verb wanted = method == verb::head ? verb::get : method;
  bool path_known = false;
  for (const Route& route : routes_) {
    if (!route.pattern.match(path, parameters)) {
      continue;
    }
    path_known = true;
    for (verb served : verbs_served) {
      if (route.handlers[slot(served)]) {
        allowed.push_back(verb_name(served));
        if (served == verb::get) {
          allowed.emplace_back("HEAD");
        }
      }
    }
    const std::size_t index = slot(wanted);
    if (index < verbs_served.size() && route.handlers[index]) {
      result.kind = Match::Kind::found;
      result.handler = &route.handlers[index];
      result.parameters = parameters;
      return result;
    }
  }
  if (!path_known) {
    return result;
  }
  allowed.emplace_back("OPTIONS");
  std::sort(allowed.begin(), allowed.end());
  allowed.erase(std::unique(allowed.begin(), allowed.end()), allowed.end());
  for (std::string_view name : allowed) {
    result.allowed += result.allowed.empty() ? "" : ", ";
    result.allowed += name;
  }
  result.kind = method == verb::options ? Match::Kind::options : Match::Kind::method_not_allowed;
  return result;
}

std::vector<Api::RouteInfo> Api::routes() const {
  std::vector<RouteInfo> described;
  for (const Route& route : routes_) {
    RouteInfo info{route.pattern.text(), {}};
    for (verb served : verbs_served) {
      if (route.handlers[slot(served)]) {
        info.methods.emplace_back(verb_name(served));
      }
    }
    described.push_back(std::move(info));
  }
  return described;
}

namespace {

Response answer_error(const Request& request, int status, const char* message) {
  log::logger().warning("{} {} answered {}: {}", request.method_text(), request.target(), status,
                        message);
  return Response::message(status, message);
}

// The answer to a handler that threw: a refusal's status and message, the plain words of a fault
// the user can act on, or the generic 500. Each is logged.
Response answer_failure(const Request& request, const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const Error& error) {
    return answer_error(request, error.status(), error.what());
  } catch (const common::Error& error) {
    return answer_error(request, status_of(error.kind()), error.what());
  } catch (const common::InternalError& error) {
    log::logger().error("{} {} failed: {}", request.method_text(), request.target(), error.what());
    return Response::message(
        500, error.client_message().empty() ? generic_failure : error.client_message());
  } catch (const std::exception& error) {
    log::logger().error("{} {} failed: {}", request.method_text(), request.target(), error.what());
    return Response::message(500, generic_failure);
  }
}

}  // namespace

asio::awaitable<Response> Api::dispatch(Request& request) const {
  Match found = match(request.path(), request.method());
  switch (found.kind) {
    case Match::Kind::not_found:
      co_return Response::message(404, "no resource at " + request.path());
    case Match::Kind::options: {
      Response response = Response::json(nullptr);
      response.headers.emplace_back("Allow", found.allowed);
      co_return response;
    }
    case Match::Kind::method_not_allowed: {
      Response response = Response::message(405, "method " + std::string(request.method_text()) +
                                                     " is not allowed on " + request.path());
      response.headers.emplace_back("Allow", found.allowed);
      co_return response;
    }
    case Match::Kind::found:
      break;
  }
  std::exception_ptr failure;
  try {
    co_return co_await (*found.handler)(request, found.parameters);
  } catch (...) {
    failure = std::current_exception();
  }
  // A handler cut short by the server's shutdown did not fail, and nobody waits for its answer:
  // the cancellation goes on to end the connection.
  if ((co_await asio::this_coro::cancellation_state).cancelled() != asio::cancellation_type::none) {
    std::rethrow_exception(failure);
  }
  co_return answer_failure(request, failure);
}

}  // namespace stratdesk::http
