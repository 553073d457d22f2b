#pragma once

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace stratdesk::host {

// A config file that cannot be used; the text names the file and, where there is one, the line.
class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads a config file of `key = value` lines, the keys being the long option names without
// their dashes ("data-dir", or "data_dir" as TOML habit writes it). A value is a bare word or
// number, a "quoted" string (with \" \\ \t \n escapes), a 'literal' string, or an array of
// strings for an option that may be repeated. Blank lines and # comments are skipped.
//
// Returns the entries as command-line arguments ("--data-dir=/srv/x"), in file order. Throws
// ConfigError for an unreadable file, a malformed line, or a key `is_option` does not accept
// ("--data-dir" is what it is asked).
std::vector<std::string> read_config_file(const std::filesystem::path& path,
                                          const std::function<bool(const std::string&)>& is_option);

}  // namespace stratdesk::host
