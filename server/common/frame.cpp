#include "common/frame.hpp"

#include <limits>

namespace stratdesk::common {

std::optional<std::string> frame_of(std::string_view body) {
  if (body.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    return std::nullopt;
  }
  const auto length = static_cast<std::uint32_t>(body.size());
  std::string frame;
  frame.reserve(4 + body.size());
  for (int shift = 0; shift < 32; shift += 8) {
    frame.push_back(static_cast<char>((length >> shift) & 0xffu));
  }
  frame += body;
  return frame;
}

std::int32_t frame_length(std::string_view header) {
  std::uint32_t length = 0;
  for (int i = 3; i >= 0; --i) {
    length = (length << 8) | static_cast<unsigned char>(header.at(static_cast<std::size_t>(i)));
  }
  return static_cast<std::int32_t>(length);
}

}  // namespace stratdesk::common
