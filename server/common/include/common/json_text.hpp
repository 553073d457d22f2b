#pragma once

#include <string>
#include <string_view>

#include <boost/json/fwd.hpp>

// Compact JSON text for the server's answers. Reals are written as the engine's language prints
// them (100000.0, 0.5, 1e-05) rather than in exponent form for every value, text stays UTF-8.
namespace stratdesk::common {

// Appends `utf8` as a JSON string literal: quotes, backslashes and control characters escaped.
void append_json_string(std::string& out, std::string_view utf8);

// Appends the shortest text that reads back to `value`; NaN and infinities, which JSON cannot
// hold, are written as null.
void append_json_double(std::string& out, double value);

void append_json(std::string& out, const boost::json::value& value);

std::string to_json_text(const boost::json::value& value);

}  // namespace stratdesk::common
