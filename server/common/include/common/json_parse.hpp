#pragma once

#include <string_view>

#include <boost/json/storage_ptr.hpp>
#include <boost/json/value.hpp>
#include <boost/system/error_code.hpp>

namespace stratdesk::common {

// Parses one JSON text, strictly (no comments, no trailing commas, valid UTF-8, depth 32).
// Reals are correctly rounded: the parser of Boost.JSON 1.81 can land one unit in the last
// place away for long mantissas (about a fifth of random 17-digit reals), which would store
// results that differ from what an engine sent.
boost::json::value parse_json(std::string_view text, boost::system::error_code& ec,
                              boost::json::storage_ptr storage = {});

// As above; throws boost::system::system_error on malformed text.
boost::json::value parse_json(std::string_view text, boost::json::storage_ptr storage = {});

}  // namespace stratdesk::common
