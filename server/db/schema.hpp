#pragma once

#include <array>
#include <string_view>

namespace stratdesk::db::schema {

// One creation step of check_env: the info line logged before it and its statements.
struct Step {
  std::string_view log_line;
  // A table and its indexes, in creation order; unused entries are empty.
  std::array<std::string_view, 3> statements;
};

extern const std::array<Step, 11> creation_steps;

}  // namespace stratdesk::db::schema
