// Input: one byte giving the boundary length, the boundary, then the body.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/text.hpp"
#include "http/forms.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) {
    return 0;
  }
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t boundary_length = static_cast<unsigned char>(input[0]) % 72;
  if (input.size() < 1 + boundary_length) {
    return 0;
  }
  const std::string_view boundary = input.substr(1, boundary_length);
  const std::string_view body = input.substr(1 + boundary_length);
  try {
    const auto form = stratdesk::http::parse_multipart(body, boundary);
    for (const auto& field : form.fields.all()) {
      // Fields reach JSON and SQLite as text: they must be valid UTF-8.
      if (!stratdesk::common::is_valid_utf8(field.value) ||
          !stratdesk::common::is_valid_utf8(field.name)) {
        __builtin_trap();
      }
    }
  } catch (const stratdesk::http::BadRequest&) {
  }
  stratdesk::http::multipart_boundary(input);
  return 0;
}
