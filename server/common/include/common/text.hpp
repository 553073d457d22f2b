#pragma once

#include <string>
#include <string_view>

// Checks and conversions of raw text that arrives from outside (request bytes, answers of local
// peers).
namespace stratdesk::common {

// True when `text` is well-formed UTF-8 (no overlongs, surrogates or code points past U+10FFFF).
bool is_valid_utf8(std::string_view text);

// `text` with the ASCII letters A-Z lower-cased and every other byte as it was.
std::string ascii_lowercase(std::string_view text);

}  // namespace stratdesk::common
