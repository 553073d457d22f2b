#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "http/request.hpp"

namespace stratdesk::http {

// The text of argument `name` of a query-like request: from the query string, else a form field,
// else a member of a JSON object body (a member that is not a string as its JSON text). nullopt
// when absent, and when the JSON member is null. Throws BadRequest when the query, the form or
// the JSON body is malformed.
std::optional<std::string> argument_text(Request& request, std::string_view name);

}  // namespace stratdesk::http
