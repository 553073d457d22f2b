#include "common/text.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace stratdesk::common {
namespace {

// Length of the well-formed UTF-8 sequence starting at `at`, or 0 when it is not one.
// The narrowed second-byte ranges are what exclude overlongs, surrogates and code points
// past U+10FFFF.
std::size_t utf8_sequence_length(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char second_min = 0x80;
  unsigned char second_max = 0xbf;
  if (lead < 0x80) {
    return 1;
  }
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) {
      second_min = 0xa0;
    }
    if (lead == 0xed) {
      second_max = 0x9f;
    }
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) {
      second_min = 0x90;
    }
    if (lead == 0xf4) {
      second_max = 0x8f;
    }
  } else {
    return 0;
  }
  if (text.size() - at < length) {
    return 0;
  }
  if (byte(1) < second_min || byte(1) > second_max) {
    return 0;
  }
  for (std::size_t i = 2; i < length; ++i) {
    if ((byte(i) & 0xc0) != 0x80) {
      return 0;
    }
  }
  return length;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  // Posted rows are almost all ASCII: step over eight such bytes at a time.
  constexpr std::uint64_t high_bits = 0x8080808080808080;
  std::size_t at = 0;
  while (at < text.size()) {
    if (text.size() - at >= sizeof(std::uint64_t)) {
      std::uint64_t eight = 0;
      std::memcpy(&eight, text.data() + at, sizeof eight);
      if ((eight & high_bits) == 0) {
        at += sizeof eight;
        continue;
      }
    }
    const std::size_t length = utf8_sequence_length(text, at);
    if (length == 0) {
      return false;
    }
    at += length;
  }
  return true;
}

std::string ascii_lowercase(std::string_view text) {
  std::string lowered(text);
  std::transform(lowered.begin(), lowered.end(), lowered.begin(), [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return lowered;
}

}  // namespace stratdesk::common
