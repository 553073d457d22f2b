#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The framing both local peers use (the parameter extraction and the analytics service): a
// 4-byte little-endian signed length, then that many bytes of body.
namespace stratdesk::common {

// `body` behind its length; nullopt when the body is too long for a signed 32-bit length.
std::optional<std::string> frame_of(std::string_view body);

// The length announced by a 4-byte header (negative lengths included).
std::int32_t frame_length(std::string_view header);

}  // namespace stratdesk::common
