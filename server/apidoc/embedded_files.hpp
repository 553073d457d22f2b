#pragma once

#include <array>

#include "common/embedded_file.hpp"

namespace stratdesk::apidoc {

using common::EmbeddedFile;

// openapi.json, as kept beside this module.
extern const std::array<EmbeddedFile, 1> embedded_files;

}  // namespace stratdesk::apidoc
