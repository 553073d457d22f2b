#include "options.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string_view>

#include <unistd.h>

#include <boost/asio/ip/address.hpp>

namespace stratdesk::host {
namespace {

namespace fs = std::filesystem;

class OptionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
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

std::size_t parse_size(const std::string& option, const std::string& text) {
  std::size_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || value == 0) {
    throw OptionError(option + ": '" + text + "' is not a positive number of bytes");
  }
  return value;
}

struct Raw {
  std::map<std::string, std::string> values;
  bool help = false;
};

const std::vector<std::string>& known_options() {
  static const std::vector<std::string> names = {"--host",
                                                 "--port",
                                                 "--base-uri",
                                                 "--data-dir",
                                                 "--db",
                                                 "--pid-dir",
                                                 "--log",
                                                 "--strategy-dir",
                                                 "--bundle-dir",
                                                 "--python",
                                                 "--engine-script",
                                                 "--analytics-port",
                                                 "--body-limit",
                                                 "--exparam-timeout",
                                                 "--analytics-timeout"};
  return names;
}

Raw read_arguments(const std::vector<std::string>& arguments) {
  Raw raw;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string name = arguments[i];
    if (name == "--help" || name == "-h") {
      raw.help = true;
      continue;
    }
    std::optional<std::string> value;
    if (const auto equals = name.find('='); name.starts_with("--") && equals != std::string::npos) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
    }
    if (std::find(known_options().begin(), known_options().end(), name) == known_options().end()) {
      throw OptionError("unknown option '" + name + "' (see --help)");
    }
    if (!value) {
      if (i + 1 >= arguments.size()) {
        throw OptionError(name + " needs a value");
      }
      value = arguments[++i];
    }
    raw.values[name] = *value;
  }
  return raw;
}

std::string value_or(const Raw& raw, const std::string& name, const std::string& fallback) {
  const auto found = raw.values.find(name);
  return found == raw.values.end() ? fallback : found->second;
}

void check_base_uri(const std::string& base_uri) {
  if (!base_uri.empty() && base_uri.front() != '/') {
    throw OptionError("--base-uri: '" + base_uri + "' must be empty or start with '/'");
  }
}

std::string resolve_python(const Raw& raw) {
  if (const auto given = raw.values.find("--python"); given != raw.values.end()) {
    const std::string path = given->second.find('/') == std::string::npos
                                 ? find_on_path(given->second).value_or(given->second)
                                 : absolute(given->second);
    if (::access(path.c_str(), X_OK) != 0) {
      throw OptionError("--python: '" + given->second + "' is not an executable program");
    }
    return path;
  }
  if (auto found = find_on_path("python3")) {
    return *found;
  }
  throw OptionError("python3 is not on PATH; name the interpreter with --python");
}

void check_address(const std::string& host) {
  boost::system::error_code ec;
  boost::asio::ip::make_address(host, ec);
  if (ec) {
    throw OptionError("--host: '" + host + "' is not an IP address");
  }
}

Options build(const Raw& raw) {
  Options options;
  options.host = value_or(raw, "--host", options.host);
  check_address(options.host);
  if (raw.values.contains("--port")) {
    options.port = parse_port("--port", raw.values.at("--port"), true);
  }
  if (raw.values.contains("--analytics-port")) {
    options.analytics_port =
        parse_port("--analytics-port", raw.values.at("--analytics-port"), false);
  }
  if (raw.values.contains("--body-limit")) {
    options.body_limit = parse_size("--body-limit", raw.values.at("--body-limit"));
  }
  if (raw.values.contains("--exparam-timeout")) {
    options.exparam_timeout =
        parse_seconds("--exparam-timeout", raw.values.at("--exparam-timeout"));
  }
  if (raw.values.contains("--analytics-timeout")) {
    options.analytics_timeout =
        parse_seconds("--analytics-timeout", raw.values.at("--analytics-timeout"));
  }
  options.base_uri = value_or(raw, "--base-uri", options.base_uri);
  check_base_uri(options.base_uri);
  options.data_dir = absolute(value_or(raw, "--data-dir", "stratdesk-data"));
  const fs::path data(options.data_dir);
  options.db_path = absolute(value_or(raw, "--db", (data / "stratdesk.db").string()));
  options.pid_dir = absolute(value_or(raw, "--pid-dir", (data / "pids").string()));
  options.log_path = absolute(value_or(raw, "--log", (data / "logs" / "stratdesk.log").string()));
  options.strategy_dir = absolute(value_or(raw, "--strategy-dir", (data / "strategies").string()));
  options.bundle_dir =
      absolute(value_or(raw, "--bundle-dir", STRATDESK_SOURCE_DIR "/sample-data/bundle"));
  options.engine_script = absolute(
      value_or(raw, "--engine-script", STRATDESK_SOURCE_DIR "/engine/kestrun-plus-script.py"));
  options.python = resolve_python(raw);
  return options;
}

}  // namespace

std::string usage() {
  std::ostringstream text;
  text << "usage: stratdesk-server [options]\n\n"
       << "The back-end server of the stratdesk research workstation.\n\n"
       << "  --host ADDR            listen address (default 127.0.0.1)\n"
       << "  --port N               listen port; 0 picks a free port (default 8600)\n"
       << "  --base-uri PREFIX      prefix of every route (default /api)\n"
       << "  --data-dir DIR         data directory (default ./stratdesk-data)\n"
       << "  --db PATH              SQLite database file (default DATA/stratdesk.db)\n"
       << "  --pid-dir DIR          engine pid-file directory (default DATA/pids)\n"
       << "  --log PATH             log file (default DATA/logs/stratdesk.log)\n"
       << "  --strategy-dir DIR     where launched strategy files are written (default "
          "DATA/strategies)\n"
       << "  --bundle-dir DIR       market-data bundle (default " STRATDESK_SOURCE_DIR
          "/sample-data/bundle)\n"
       << "  --python PATH          interpreter of the engine and of parameter extraction\n"
       << "                         (default python3 on PATH)\n"
       << "  --engine-script PATH   engine entry script (default " STRATDESK_SOURCE_DIR
          "/engine/kestrun-plus-script.py)\n"
       << "  --analytics-port N     port of the analytics service on 127.0.0.1 (default 10301)\n"
       << "  --body-limit BYTES     largest request body accepted (default 268435456)\n"
       << "  --exparam-timeout S    longest wait for one parameter extraction, in seconds\n"
       << "                         (default 10)\n"
       << "  --analytics-timeout S  longest wait for one answer of the analytics service, in\n"
       << "                         seconds (default 60)\n"
       << "  --help                 this text\n";
  return text.str();
}

ParseResult parse_options(const std::vector<std::string>& arguments) {
  try {
    const Raw raw = read_arguments(arguments);
    if (raw.help) {
      return {std::nullopt, 0, usage()};
    }
    return {build(raw), 0, {}};
  } catch (const OptionError& error) {
    return {std::nullopt, 2, std::string("stratdesk-server: ") + error.what()};
  }
}

}  // namespace stratdesk::host
