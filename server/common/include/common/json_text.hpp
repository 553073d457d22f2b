#pragma once

#include <string>
#include <string_view>

#include <boost/json/fwd.hpp>

// JSON text. Reals are written as the engine's language prints them (100000.0, 0.5, 1e-05)
// rather than in exponent form for every value.
namespace stratdesk::common {

struct JsonStyle {
  std::string_view item_separator = ",";
  std::string_view key_separator = ":";
  // Everything outside printable ASCII as \uXXXX escapes (surrogate pairs beyond U+FFFF).
  bool ascii_only = false;
  // NaN and infinities as Python writes them (NaN, Infinity); otherwise null, since JSON has
  // no such values.
  bool python_non_finite = false;
};

// The server's answers: compact, UTF-8.
inline constexpr JsonStyle compact_json_style{};
// What Python's json.dumps writes with its defaults.
inline constexpr JsonStyle python_json_style{", ", ": ", true, true};

// Appends `utf8` as a JSON string literal: quotes, backslashes and control characters escaped,
// and with `ascii_only` everything outside printable ASCII too.
void append_json_string(std::string& out, std::string_view utf8, bool ascii_only = false);

// Appends the shortest text that reads back to `value`; non-finite values as the style says.
void append_json_double(std::string& out, double value, const JsonStyle& style = {});

void append_json(std::string& out, const boost::json::value& value,
                 const JsonStyle& style = compact_json_style);

std::string to_json_text(const boost::json::value& value);

}  // namespace stratdesk::common
