#include "http/response.hpp"

#include <boost/json/object.hpp>

#include "http/errors.hpp"

namespace stratdesk::http {

Response Response::message(int status, std::string_view text) {
  boost::json::object body;
  body["message"] = text;
  return Response{status, std::move(body), {}, std::nullopt, {}, {}};
}

Response Response::message(common::ErrorKind kind, std::string_view text) {
  return message(status_of(kind), text);
}

Response Response::refusal(const common::Refusal& named) {
  return refusal(status_of(named.kind), named.text);
}

int status_of(common::ErrorKind kind) noexcept {
  switch (kind) {
    case common::ErrorKind::bad_request:
      return 400;
    case common::ErrorKind::forbidden:
      return 403;
    case common::ErrorKind::not_found:
      return 404;
    case common::ErrorKind::conflict:
      return 409;
    case common::ErrorKind::unavailable:
      return 503;
    case common::ErrorKind::internal:
      return 500;
  }
  return 500;
}

}  // namespace stratdesk::http
