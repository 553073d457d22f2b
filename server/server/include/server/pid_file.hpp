#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The pid files that engines keep in the pid directory: "<pid>.identity" holding
// "<identity> <backtest id>".
namespace stratdesk::server {

// Reads an integer the way the engine's language reads one from text: decimal digits with an
// optional sign, white space around them ignored. nullopt for anything else, and for values
// that do not fit in 64 bits.
std::optional<std::int64_t> read_integer(std::string_view text);

// `text` split at every occurrence of `separator`; n separators give n + 1 parts, empty ones
// included.
std::vector<std::string> split_at(std::string_view text, char separator);

// True when `name` split at full stops gives exactly two parts, the second "identity".
bool is_pid_file_name(std::string_view name);

struct PidFileContent {
  std::string identity;
  std::int64_t backtest_id = 0;
};

// The identity and backtest id of a pid file's text: exactly two fields at single spaces, the
// second an integer (so a final line break is accepted). nullopt when malformed.
std::optional<PidFileContent> parse_pid_file_content(std::string_view text);

}  // namespace stratdesk::server
