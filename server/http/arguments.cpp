#include "http/arguments.hpp"

#include <boost/json/value.hpp>

#include "common/json_text.hpp"

namespace stratdesk::http {

std::optional<std::string> argument_text(Request& request, std::string_view name) {
  if (const std::string* value = request.query().first(name)) {
    return *value;
  }
  if (const std::string* value = request.form().first(name)) {
    return *value;
  }
  if (const boost::json::value* body = request.json_body(); body != nullptr && body->is_object()) {
    if (const boost::json::value* member = body->get_object().if_contains(name)) {
      if (member->is_null()) {
        return std::nullopt;
      }
      if (member->is_string()) {
        return std::string(member->get_string());
      }
      return common::to_json_text(*member);
    }
  }
  return std::nullopt;
}

}  // namespace stratdesk::http
