#pragma once

#include <array>

#include "common/embedded_file.hpp"

namespace stratdesk::init_strategy {

using common::EmbeddedFile;

// The example strategies and configs.json, which names each one and gives its configuration.
extern const std::array<EmbeddedFile, 4> embedded_files;

}  // namespace stratdesk::init_strategy
