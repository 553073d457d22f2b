#pragma once

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace stratdesk::host {

// `text` with control bytes shown as \xNN, cut to `limit` characters ("..." marks a cut): a
// message is a C string, so a NUL would end it there, and a terminal would act on the others.
std::string visible(std::string_view text, std::size_t limit = std::string_view::npos);

// A config file that cannot be used; the text names the file and, where there is one, the line.
class ConfigError : public std::runtime_error {
 public:
  explicit ConfigError(std::string_view message) : std::runtime_error(visible(message)) {}
};

// What a key of the file may be: no option at all, an option of one value, or a repeatable one.
enum class OptionKind { unknown, single, repeatable };

// Reads a config file of `key = value` lines, the keys being the long option names without
// their dashes ("data-dir", or "data_dir" as TOML habit writes it). A value is a bare word or
// number, a "quoted" string (with \" \\ \t \n escapes), a 'literal' string, or an array of
// strings for an option that may be repeated. Blank lines and # comments are skipped, and so is
// a UTF-8 byte-order mark at the start.
//
// Returns the entries as command-line arguments ("--data-dir=/srv/x"), in file order. Throws
// ConfigError, naming the file and line, for an unreadable file, a malformed line, a key
// `kind_of` does not know ("--data-dir" is what it is asked), an array for a single-value
// option, an empty array, or a key given twice.
std::vector<std::string> read_config_file(
    const std::filesystem::path& path,
    const std::function<OptionKind(const std::string&)>& kind_of);

}  // namespace stratdesk::host
