#include "options.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string_view>

#include <unistd.h>

#include <boost/asio/ip/address.hpp>

#include "config_file.hpp"
#include "install_layout.hpp"

namespace stratdesk::host {
namespace {

namespace fs = std::filesystem;

class OptionError : public std::runtime_error {
 public:
  explicit OptionError(std::string_view message) : std::runtime_error(visible(message)) {}
};

std::string absolute(const std::string& path) {
  return fs::absolute(fs::path(path)).lexically_normal().string();
}

std::optional<std::string> find_on_path(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) {
    return std::nullopt;
  }
  std::stringstream entries(path);
  std::string directory;
  while (std::getline(entries, directory, ':')) {
    const fs::path candidate = fs::path(directory.empty() ? "." : directory) / program;
    if (::access(candidate.c_str(), X_OK) == 0 && !fs::is_directory(candidate)) {
      return absolute(candidate.string());
    }
  }
  return std::nullopt;
}

unsigned short parse_port(const std::string& option, const std::string& text, bool allow_zero) {
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || value > 65535 ||
      (value == 0 && !allow_zero)) {
    throw OptionError(option + ": '" + text + "' is not a valid port");
  }
  return static_cast<unsigned short>(value);
}

// A positive number of seconds, fractions allowed ("0.5"), kept in milliseconds.
std::chrono::milliseconds parse_seconds(const std::string& option, const std::string& text) {
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || !(value > 0) ||
      value > 86400) {
    throw OptionError(option + ": '" + text + "' is not a positive number of seconds up to 86400");
  }
  return std::max(std::chrono::milliseconds(1),
                  std::chrono::milliseconds(static_cast<std::int64_t>(value * 1000)));
}

std::size_t parse_count(const std::string& option, const std::string& text) {
  std::size_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || value == 0) {
    throw OptionError(option + ": '" + text + "' is not a positive number");
  }
  return value;
}

std::size_t parse_size(const std::string& option, const std::string& text) {
  std::size_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || value == 0) {
    throw OptionError(option + ": '" + text + "' is not a positive number of bytes");
  }
  return value;
}

void check_base_uri(const std::string& base_uri) {
  if (!base_uri.empty() && base_uri.front() != '/') {
    throw OptionError("--base-uri: '" + base_uri + "' must be empty or start with '/'");
  }
}

// "scheme://host[:port]", as browsers send it in the Origin header.
std::string checked_origin(const std::string& origin) {
  const auto scheme_end = origin.find("://");
  if (scheme_end == std::string::npos || scheme_end == 0 || scheme_end + 3 == origin.size() ||
      origin.find('/', scheme_end + 3) != std::string::npos) {
    throw OptionError("--allow-origin: '" + origin +
                      "' is not an origin like http://localhost:5173");
  }
  return origin;
}

std::string read_token(const std::string& path) {
  std::ifstream file(path);
  if (!file) {
    throw OptionError("--token-file: cannot read " + path);
  }
  std::string token;
  std::getline(file, token);
  while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back()))) {
    token.pop_back();
  }
  if (token.empty() || token.find_first_of(" \t") != std::string::npos) {
    throw OptionError("--token-file: " + path + " must hold one token on its first line");
  }
  return token;
}

void check_address(const std::string& host) {
  boost::system::error_code ec;
  boost::asio::ip::make_address(host, ec);
  if (ec) {
    throw OptionError("--host: '" + host + "' is not an IP address");
  }
}

using Values = std::vector<std::string>;

// How an option's values reach the options: parsed, checked and stored in its member.
using Setter = void (*)(Options& options, const std::string& name, const Values& values);

template <auto Member, bool AllowZero>
void set_port(Options& options, const std::string& name, const Values& values) {
  options.*Member = parse_port(name, values.back(), AllowZero);
}
template <auto Member>
void set_seconds(Options& options, const std::string& name, const Values& values) {
  options.*Member = parse_seconds(name, values.back());
}
template <auto Member>
void set_size(Options& options, const std::string& name, const Values& values) {
  options.*Member = parse_size(name, values.back());
}
template <auto Member>
void set_count(Options& options, const std::string& name, const Values& values) {
  options.*Member = parse_count(name, values.back());
}
void set_host(Options& options, const std::string& /*name*/, const Values& values) {
  options.host = values.back();
  check_address(options.host);
}
void set_base_uri(Options& options, const std::string& /*name*/, const Values& values) {
  options.base_uri = values.back();
  check_base_uri(options.base_uri);
}
void set_allowed_hosts(Options& options, const std::string& /*name*/, const Values& values) {
  options.allowed_hosts = values;
}
void set_allowed_origins(Options& options, const std::string& /*name*/, const Values& values) {
  for (const std::string& origin : values) {
    options.allowed_origins.push_back(checked_origin(origin));
  }
}
void set_token(Options& options, const std::string& /*name*/, const Values& values) {
  options.token = read_token(values.back());
}

// Every option: its name, what its value is called, whether it may be given more than once, its
// line of help (with its default) and how it is set. Options without a setter are read
// together afterwards: the config file, and the paths, whose defaults follow the data folder.
struct OptionInfo {
  std::string_view name;
  std::string_view value;
  bool repeatable;
  std::string_view help;
  Setter set = nullptr;
};

constexpr OptionInfo option_table[] = {
    {"--host", "ADDR", false, "listen address (default 127.0.0.1)", set_host},
    {"--port", "N", false, "listen port; 0 picks a free port (default 8600)",
     set_port<&Options::port, true>},
    {"--base-uri", "PREFIX", false, "prefix of every route (default /api)", set_base_uri},
    {"--config", "FILE", false,
     "read options from FILE, key = value lines of these names; the command line wins (default "
     "$XDG_CONFIG_HOME/stratdesk/server.toml when it exists, for an installed binary)"},
    {"--data-dir", "DIR", false,
     "data directory (default $XDG_DATA_HOME/stratdesk; ./stratdesk-data in a build tree)"},
    {"--db", "PATH", false, "SQLite database file (default DATA/stratdesk.db)"},
    {"--pid-dir", "DIR", false, "engine pid-file directory (default DATA/pids)"},
    {"--log", "PATH", false,
     "log file (default $XDG_STATE_HOME/stratdesk/stratdesk.log; DATA/logs/stratdesk.log with "
     "--data-dir or in a build tree)"},
    {"--strategy-dir", "DIR", false,
     "where launched strategy files are written (default DATA/strategies)"},
    {"--bundle-dir", "DIR", false, "market-data bundle (default SHARE/sample-data/bundle)"},
    {"--python", "PATH", false,
     "interpreter of the engine and of parameter extraction (default python3 on PATH)"},
    {"--engine-script", "PATH", false,
     "engine entry script (default SHARE/engine/kestrun-plus-script.py)"},
    {"--analytics-port", "N", false, "port of the analytics service on 127.0.0.1 (default 10301)",
     set_port<&Options::analytics_port, false>},
    {"--analytics-timeout", "S", false,
     "longest wait for one answer of the analytics service, in seconds (default 60)",
     set_seconds<&Options::analytics_timeout>},
    {"--exparam-timeout", "S", false,
     "longest wait for one parameter extraction, in seconds (default 10)",
     set_seconds<&Options::exparam_timeout>},
    {"--body-limit", "BYTES", false, "largest request body accepted (default 268435456)",
     set_size<&Options::body_limit>},
    {"--body-memory", "BYTES", false,
     "memory the bodies of all requests being handled may take together; further large bodies "
     "wait to be read (default 536870912)",
     set_size<&Options::body_memory>},
    {"--allow-origin", "ORIGIN", true,
     "let web pages of ORIGIN (e.g. http://localhost:5173) call the server; repeatable",
     set_allowed_origins},
    {"--allow-host", "NAME", true,
     "accept NAME in the Host header besides localhost and the listen address; repeatable",
     set_allowed_hosts},
    {"--token-file", "PATH", false,
     "require every request to carry the token in PATH as \"Authorization: Bearer <token>\"",
     set_token},
    {"--idle-timeout", "S", false,
     "close a connection idle between requests this long, in seconds (default 60)",
     set_seconds<&Options::idle_timeout>},
    {"--header-timeout", "S", false, "time for a request header to arrive, in seconds (default 30)",
     set_seconds<&Options::header_timeout>},
    {"--body-timeout", "S", false, "time for a request body to arrive, in seconds (default 300)",
     set_seconds<&Options::body_timeout>},
    {"--max-connections", "N", false,
     "open connections at most; the longest idle one makes room for a new one (default 1000)",
     set_count<&Options::max_connections>},
    {"--max-running", "N", false,
     "the parameter sweeps' backtests executing at once, all sweeps together (default: the "
     "number of cores)",
     set_count<&Options::max_running>},
};

const OptionInfo* find_option(std::string_view name) {
  for (const OptionInfo& option : option_table) {
    if (option.name == name) {
      return &option;
    }
  }
  return nullptr;
}

struct Raw {
  std::map<std::string, std::vector<std::string>> values;
  bool help = false;
  bool version = false;

  [[nodiscard]] bool contains(const std::string& name) const { return values.contains(name); }
  [[nodiscard]] const std::string& last(const std::string& name) const {
    return values.at(name).back();
  }
  [[nodiscard]] std::vector<std::string> all(const std::string& name) const {
    const auto found = values.find(name);
    return found == values.end() ? std::vector<std::string>{} : found->second;
  }
};

Raw read_arguments(const std::vector<std::string>& arguments) {
  Raw raw;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string name = arguments[i];
    if (name == "--help" || name == "-h") {
      raw.help = true;
      continue;
    }
    if (name == "--version") {
      raw.version = true;
      continue;
    }
    std::optional<std::string> value;
    if (const auto equals = name.find('='); name.starts_with("--") && equals != std::string::npos) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
    }
    const OptionInfo* option = find_option(name);
    if (option == nullptr) {
      throw OptionError("unknown option '" + name + "' (see --help)");
    }
    if (!value) {
      if (i + 1 >= arguments.size()) {
        throw OptionError(name + " needs a value");
      }
      value = arguments[++i];
    }
    auto& values = raw.values[name];
    if (!option->repeatable) {
      values.clear();
    }
    values.push_back(*value);
  }
  return raw;
}

std::string value_or(const Raw& raw, const std::string& name, const std::string& fallback) {
  return raw.contains(name) ? raw.last(name) : fallback;
}

// A path option given empty ("--db=", `data-dir = ""`) is a mistake, not the working directory.
std::string path_option(const Raw& raw, const std::string& name, const std::string& fallback) {
  const std::string value = value_or(raw, name, fallback);
  if (value.empty()) {
    throw OptionError(name + ": an empty path names no file or folder");
  }
  return absolute(value);
}

std::string resolve_python(const Raw& raw) {
  if (raw.contains("--python")) {
    const std::string& given = raw.last("--python");
    std::string path = given.find('/') == std::string::npos ? find_on_path(given).value_or(given)
                                                            : absolute(given);
    if (::access(path.c_str(), X_OK) != 0) {
      throw OptionError("--python: '" + given + "' is not an executable program");
    }
    return path;
  }
  if (auto found = find_on_path("python3")) {
    return *found;
  }
  throw OptionError("python3 is not on PATH; name the interpreter with --python");
}

const InstallLayout& layout_or_error() {
  try {
    return install_layout();
  } catch (const std::runtime_error& error) {
    throw OptionError(error.what());
  }
}

// The config file's options under the command line's: an option given on the command line
// replaces every value the file gave it.
Raw with_config_file(const Raw& command_line) {
  const std::string path =
      value_or(command_line, "--config", layout_or_error().config_file.string());
  if (path.empty()) {
    return command_line;
  }
  const auto kind_of = [](const std::string& name) {
    const OptionInfo* option = name == "--config" ? nullptr : find_option(name);
    if (option == nullptr) {
      return OptionKind::unknown;
    }
    return option->repeatable ? OptionKind::repeatable : OptionKind::single;
  };
  Raw raw = read_arguments(read_config_file(path, kind_of));
  for (const auto& [name, values] : command_line.values) {
    raw.values[name] = values;
  }
  return raw;
}

// The data folder and the paths whose defaults follow it or the install layout.
void resolve_paths(const Raw& raw, Options& options) {
  const InstallLayout& layout = layout_or_error();
  if (!raw.contains("--data-dir") && layout.data_dir.empty()) {
    throw OptionError("no home folder for the data: set HOME or give --data-dir");
  }
  options.data_dir = path_option(raw, "--data-dir", layout.data_dir.string());
  const fs::path data(options.data_dir);
  const fs::path default_log = raw.contains("--data-dir") || layout.log_path.empty()
                                   ? data / "logs" / "stratdesk.log"
                                   : layout.log_path;
  options.db_path = path_option(raw, "--db", (data / "stratdesk.db").string());
  options.pid_dir = path_option(raw, "--pid-dir", (data / "pids").string());
  options.log_path = path_option(raw, "--log", default_log.string());
  options.strategy_dir = path_option(raw, "--strategy-dir", (data / "strategies").string());
  options.bundle_dir =
      path_option(raw, "--bundle-dir", (layout.share_dir / "sample-data" / "bundle").string());
  options.engine_script = path_option(
      raw, "--engine-script", (layout.share_dir / "engine" / "kestrun-plus-script.py").string());
}

Options build(const Raw& raw) {
  Options options;
  for (const OptionInfo& option : option_table) {
    const std::string name(option.name);
    if (option.set != nullptr && raw.contains(name)) {
      option.set(options, name, raw.values.at(name));
    }
  }
  resolve_paths(raw, options);
  options.python = resolve_python(raw);
  return options;
}

}  // namespace

std::string usage() {
  std::ostringstream text;
  text << "usage: stratdesk-server [options]\n\n"
       << "The back-end server of the stratdesk research workstation.\n\n";
  for (const OptionInfo& option : option_table) {
    const std::string left = std::string(option.name) + " " + std::string(option.value);
    text << "  " << left << std::string(left.size() < 24 ? 24 - left.size() : 1, ' ') << option.help
         << "\n";
  }
  text << "  --version" << std::string(15, ' ') << "print the version and exit\n";
  text << "  --help" << std::string(18, ' ') << "this text\n";
  try {
    text << "\nSHARE is " << install_layout().share_dir.string() << "\n";
  } catch (const std::runtime_error&) {
  }
  return text.str();
}

std::vector<std::string> option_synopses() {
  std::vector<std::string> synopses;
  for (const OptionInfo& option : option_table) {
    synopses.push_back(std::string(option.name) + " " + std::string(option.value));
  }
  return synopses;
}

ParseResult parse_options(const std::vector<std::string>& arguments) {
  try {
    const Raw command_line = read_arguments(arguments);
    if (command_line.help) {
      return {std::nullopt, 0, usage()};
    }
    if (command_line.version) {
      return {std::nullopt, 0, version_line()};
    }
    return {build(with_config_file(command_line)), 0, {}};
  } catch (const OptionError& error) {
    return {std::nullopt, 2, std::string("stratdesk-server: ") + error.what()};
  } catch (const ConfigError& error) {
    return {std::nullopt, 2, std::string("stratdesk-server: ") + error.what()};
  }
}

}  // namespace stratdesk::host
