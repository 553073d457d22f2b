#pragma once

#include <array>
#include <string_view>

namespace stratdesk::init_strategy {

struct EmbeddedFile {
  std::string_view name;
  std::string_view content;
};

// The example strategies and configs.json, which names each one and gives its configuration.
extern const std::array<EmbeddedFile, 4> embedded_files;

}  // namespace stratdesk::init_strategy
