#include "api/queries.hpp"
#include "common/error.hpp"

namespace stratdesk::morvex_api {

std::optional<std::string> text_parameter(http::Request& request, std::string_view name) {
  const std::string* value = request.query().first(name);
  if (value == nullptr || value->empty()) {
    return std::nullopt;
  }
  return *value;
}

std::optional<DateTime> date_parameter(http::Request& request, std::string_view name) {
  const std::optional<std::string> text = text_parameter(request, name);
  if (!text) {
    return std::nullopt;
  }
  std::optional<DateTime> parsed = common::parse_date_time(*text);
  if (!parsed) {
    throw common::Error(common::ErrorKind::bad_request,
                        "invalid value '" + *text + "' for parameter '" + std::string(name) +
                            "': expected a date YYYY-MM-DD or YYYY-MM-DD HH:MM:SS");
  }
  return parsed;
}

std::string day_of(std::string_view timestamp) {
  return std::string(timestamp.substr(0, timestamp.find(' ')));
}

}  // namespace stratdesk::morvex_api
