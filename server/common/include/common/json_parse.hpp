#pragma once

#include <cstddef>
#include <string_view>

#include <boost/json/storage_ptr.hpp>
#include <boost/json/value.hpp>
#include <boost/system/error_code.hpp>

namespace stratdesk::common {

// Deepest nesting any JSON the server reads may have: what Python's own reader still takes, so
// that a configuration the server stored is never refused when it is read again.
inline constexpr std::size_t max_json_depth = 1000;

// Parses one JSON text as Python's reader does: strict JSON (no comments, no trailing commas,
// valid UTF-8, at most max_json_depth levels) plus the literals NaN, Infinity and -Infinity
// wherever a number may stand, which the engine's language writes by default. A number too
// large for a double reads as an infinity. Reals are correctly rounded: the parser of
// Boost.JSON 1.81 can land one unit in the last place away for long mantissas (about a fifth
// of random 17-digit reals), which would store results that differ from what an engine sent.
// Every place that reads JSON from a client, an engine or a service goes through here.
boost::json::value parse_json(std::string_view text, boost::system::error_code& ec,
                              boost::json::storage_ptr storage = {});

// As above; throws boost::system::system_error on malformed text.
boost::json::value parse_json(std::string_view text, boost::json::storage_ptr storage = {});

}  // namespace stratdesk::common
