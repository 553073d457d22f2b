#include "config_file.hpp"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <optional>

namespace stratdesk::host {
namespace {

// Offending text quoted in an error line: long values are cut so that the line stays one line.
constexpr std::size_t shown_limit = 200;

std::string shown(std::string_view text) {
  return visible(text, shown_limit);
}

class LineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && is_blank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

bool is_key_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_';
}

// Reads one string starting at `text[at]` (a quote), leaving `at` after its closing quote.
std::string read_quoted(std::string_view text, std::size_t& at) {
  const char quote = text[at++];
  std::string value;
  while (at < text.size() && text[at] != quote) {
    char c = text[at++];
    if (c == '\\' && quote == '"') {
      if (at == text.size()) {
        break;
      }
      switch (const char escaped = text[at++]) {
        case 'n':
          c = '\n';
          break;
        case 't':
          c = '\t';
          break;
        case '"':
        case '\\':
          c = escaped;
          break;
        default:
          throw LineError("unknown escape \\" + shown(std::string_view(&escaped, 1)));
      }
    }
    value.push_back(c);
  }
  if (at == text.size()) {
    throw LineError("unterminated string");
  }
  ++at;
  return value;
}

// The rest of a line after a value must be blank or a comment.
void expect_end(std::string_view text, std::size_t at) {
  const std::string_view rest = trim(text.substr(at));
  if (!rest.empty() && rest.front() != '#') {
    throw LineError("unexpected '" + shown(rest) + "' after the value");
  }
}

std::vector<std::string> read_array(std::string_view text) {
  std::vector<std::string> values;
  std::size_t at = 1;
  for (;;) {
    while (at < text.size() && (is_blank(text[at]) || text[at] == ',')) {
      ++at;
    }
    if (at == text.size()) {
      throw LineError("unterminated array");
    }
    if (text[at] == ']') {
      expect_end(text, at + 1);
      return values;
    }
    if (text[at] != '"' && text[at] != '\'') {
      throw LineError("an array holds quoted strings only");
    }
    values.push_back(read_quoted(text, at));
  }
}

std::vector<std::string> read_values(std::string_view text) {
  if (text.empty()) {
    throw LineError("missing value");
  }
  if (text.front() == '[') {
    return read_array(text);
  }
  if (text.front() == '"' || text.front() == '\'') {
    std::size_t at = 0;
    std::string value = read_quoted(text, at);
    expect_end(text, at);
    return {value};
  }
  const std::string_view bare = trim(text.substr(0, text.find('#')));
  if (std::any_of(bare.begin(), bare.end(), is_blank)) {
    throw LineError("a value with spaces must be quoted");
  }
  return {std::string(bare)};
}

struct Entry {
  std::string key;
  std::vector<std::string> values;
  bool is_array = false;
};

// An empty key for a blank or comment line.
Entry read_line(std::string_view line) {
  line = trim(line);
  if (line.empty() || line.front() == '#') {
    return {};
  }
  if (line.front() == '[') {
    throw LineError("tables are not supported; write every key at the top level");
  }
  const std::size_t equals = line.find('=');
  if (equals == std::string_view::npos) {
    throw LineError("expected key = value");
  }
  const std::string_view key = trim(line.substr(0, equals));
  if (key.empty() || !std::all_of(key.begin(), key.end(), is_key_char)) {
    throw LineError("'" + shown(key) + "' is not a key");
  }
  const std::string_view value = trim(line.substr(equals + 1));
  return {std::string(key), read_values(value), !value.empty() && value.front() == '['};
}

// "<where>key '<key>' <problem>"
ConfigError key_error(const std::string& where, std::string_view key, std::string_view problem) {
  std::string message = where;
  message.append("key '").append(shown(key)).append("' ").append(problem);
  return ConfigError(message);
}

std::string option_of(const std::string& key) {
  std::string option = "--" + key;
  std::replace(option.begin(), option.end(), '_', '-');
  return option;
}

}  // namespace

std::string visible(std::string_view text, std::size_t limit) {
  constexpr std::string_view hex_digits = "0123456789abcdef";
  std::string shown;
  for (const char c : text) {
    if (shown.size() >= limit) {
      shown += "...";
      break;
    }
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      shown += "\\x";
      shown.push_back(hex_digits[byte >> 4]);
      shown.push_back(hex_digits[byte & 0x0f]);
    } else {
      shown.push_back(c);
    }
  }
  return shown;
}

std::vector<std::string> read_config_file(
    const std::filesystem::path& path,
    const std::function<OptionKind(const std::string&)>& kind_of) {
  std::ifstream file(path);
  if (!file) {
    throw ConfigError("cannot read config file " + path.string());
  }
  std::vector<std::string> arguments;
  std::map<std::string, int> first_lines;  // option -> the line that gave it
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    const auto where = path.string() + ":" + std::to_string(number) + ": ";
    if (number == 1 && line.starts_with("\xEF\xBB\xBF")) {
      line.erase(0, 3);
    }
    Entry entry;
    try {
      entry = read_line(line);
    } catch (const LineError& error) {
      throw ConfigError(where + error.what());
    }
    if (entry.key.empty()) {
      continue;
    }
    const std::string option = option_of(entry.key);
    const OptionKind kind = kind_of(option);
    if (kind == OptionKind::unknown) {
      throw ConfigError(where + "unknown key '" + shown(entry.key) + "'");
    }
    if (const auto [first, added] = first_lines.emplace(option, number); !added) {
      throw key_error(where, entry.key,
                      "is given twice (first on line " + std::to_string(first->second) + ")");
    }
    if (entry.is_array && kind == OptionKind::single) {
      throw key_error(where, entry.key, "takes one value, not an array");
    }
    if (entry.is_array && entry.values.empty()) {
      throw key_error(where, entry.key, "is given an empty array");
    }
    for (const std::string& value : entry.values) {
      arguments.push_back(option + '=');
      arguments.back() += value;
    }
  }
  if (file.bad()) {
    throw ConfigError("cannot read config file " + path.string());
  }
  return arguments;
}

}  // namespace stratdesk::host
