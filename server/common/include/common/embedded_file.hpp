#pragma once

#include <string_view>

namespace stratdesk::common {

// A file compiled into the program (cmake/embed_files.cmake writes the definitions).
struct EmbeddedFile {
  std::string_view name;
  std::string_view content;
};

}  // namespace stratdesk::common
