#pragma once

#include <cstdio>
#include <string>
#include <string_view>

// Character-level pieces shared by the text writers of this module.
namespace stratdesk::common::detail {

// Decodes one code point starting at |i|; the input comes from a JSON parser or has been
// validated, so malformed bytes are rendered one by one rather than rejected.
inline char32_t next_code_point(std::string_view s, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  int length = lead < 0x80           ? 1
               : (lead >> 5) == 0x6  ? 2
               : (lead >> 4) == 0xE  ? 3
               : (lead >> 3) == 0x1E ? 4
                                     : 0;
  if (length == 0 || i + static_cast<std::size_t>(length) > s.size()) {
    ++i;
    return lead;
  }
  char32_t cp = length == 1   ? lead
                : length == 2 ? (lead & 0x1F)
                : length == 3 ? (lead & 0x0F)
                              : (lead & 0x07);
  for (int k = 1; k < length; ++k) {
    cp = (cp << 6) | (byte(i + static_cast<std::size_t>(k)) & 0x3F);
  }
  i += static_cast<std::size_t>(length);
  return cp;
}

inline void append_hex(std::string& out, const char* prefix, unsigned value, int width) {
  char text[16];
  std::snprintf(text, sizeof text, "%s%0*x", prefix, width, value);
  out += text;
}

}  // namespace stratdesk::common::detail
