#include "http/response.hpp"

#include <boost/json/object.hpp>

namespace stratdesk::http {

Response Response::message(int status, std::string_view text) {
  boost::json::object body;
  body["message"] = text;
  return Response{status, std::move(body), {}, std::nullopt, {}};
}

}  // namespace stratdesk::http
