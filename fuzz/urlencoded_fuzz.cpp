#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/text.hpp"
#include "http/forms.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  try {
    const auto fields = stratdesk::http::parse_urlencoded(input);
    for (const auto& field : fields.all()) {
      if (!stratdesk::common::is_valid_utf8(field.value) ||
          !stratdesk::common::is_valid_utf8(field.name) || fields.first(field.name) == nullptr) {
        __builtin_trap();
      }
    }
  } catch (const stratdesk::http::BadRequest&) {
  }
  stratdesk::http::media_type(input);
  return 0;
}
