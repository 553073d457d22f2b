#pragma once

#include <array>
#include <string_view>

namespace stratdesk::apidoc {

struct EmbeddedFile {
  std::string_view name;
  std::string_view content;
};

// openapi.json, as kept beside this module.
extern const std::array<EmbeddedFile, 1> embedded_files;

}  // namespace stratdesk::apidoc
