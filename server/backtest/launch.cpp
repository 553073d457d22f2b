#include "launch.hpp"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include <boost/json/serialize.hpp>

#include "common/py_text.hpp"
#include "log/log.hpp"

namespace stratdesk::backtest {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;

const json::value* find(const json::object& config, std::string_view key) {
  const auto found = config.find(key);
  return found == config.end() ? nullptr : &found->value();
}

bool present_and_true(const json::object& config, std::string_view key) {
  const json::value* value = find(config, key);
  return value != nullptr && is_true(*value);
}

bool present_and_not_null(const json::object& config, std::string_view key) {
  const json::value* value = find(config, key);
  return value != nullptr && !value->is_null();
}

// `value == 0` in the engine's language, where False equals 0 too.
bool equals_zero(const json::value& value) {
  switch (value.kind()) {
    case json::kind::bool_:
      return !value.get_bool();
    case json::kind::int64:
      return value.get_int64() == 0;
    case json::kind::uint64:
      return value.get_uint64() == 0;
    case json::kind::double_:
      return value.get_double() == 0.0;
    default:
      return false;
  }
}

// The values handed to the engine as they are; the engine reads them as texts.
std::string text_of(const json::object& config, std::string_view key) {
  const json::value& value = config.at(key);
  if (!value.is_string()) {
    throw std::invalid_argument("\"" + std::string(key) + "\" must be a text, not " +
                                json::serialize(value));
  }
  return std::string(value.get_string());
}

void write_file(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) {
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
  }
  if (!out) {
    throw std::system_error(errno != 0 ? errno : EIO, std::generic_category(),
                            "cannot write strategy file " + path.string());
  }
}

}  // namespace

bool is_true(const json::value& value) {
  switch (value.kind()) {
    case json::kind::null:
      return false;
    case json::kind::bool_:
      return value.get_bool();
    case json::kind::int64:
      return value.get_int64() != 0;
    case json::kind::uint64:
      return value.get_uint64() != 0;
    case json::kind::double_:
      return value.get_double() != 0.0;
    case json::kind::string:
      return !value.get_string().empty();
    case json::kind::array:
      return !value.get_array().empty();
    case json::kind::object:
      return !value.get_object().empty();
  }
  return false;
}

std::optional<http::Response> check_bundle(const std::optional<std::string>& bundle_path) {
  if (!bundle_path) {
    throw std::logic_error("the bundle path is not set");
  }
  const std::string& path = *bundle_path;
  if (!fs::exists(path)) {
    log::logger().info("bundle {} not found", path);
    return http::Response::refusal(409,
                                   "bundle路径 " + path + " 找不到,请检查是否下载了bundle数据");
  }
  if (fs::directory_iterator(path) == fs::directory_iterator()) {
    return http::Response::refusal(409, "bundle" + path + " 目录是空的,请检查是否下载了bundle数据");
  }
  return std::nullopt;
}

std::optional<std::string_view> validate_config(const json::value& value) {
  static const json::object no_keys;
  const json::object& config = value.is_object() ? value.get_object() : no_keys;
  if (!present_and_true(config, "start_date")) {
    return "回测开始日期没设置";
  }
  if (!present_and_true(config, "end_date")) {
    return "回测结束日期没设置";
  }
  if (!present_and_true(config, "stock_starting_cash") &&
      !present_and_true(config, "future_starting_cash")) {
    return "初始资金设置不正确";
  }
  if (!present_and_true(config, "frequency")) {
    return "回测周期没设置";
  }
  if (!present_and_true(config, "securities")) {
    return "回测标的没设置";
  }
  return std::nullopt;
}

std::string absolute_path(const std::string& path) {
  fs::path normal = fs::absolute(path).lexically_normal();
  if (!normal.has_filename() && normal.has_relative_path()) {
    normal = normal.parent_path();
  }
  return normal.string();
}

std::string write_strategy_files(const std::string& dir, std::int64_t backtest_id,
                                 const std::string& code) {
  const fs::path base = absolute_path(dir);
  const fs::path own_dir = base / std::to_string(backtest_id);
  fs::create_directories(own_dir);
  write_file(base / "strategy.py", code);
  const fs::path own_file = own_dir / "strategy.py";
  write_file(own_file, code);
  return own_file.string();
}

void remove_strategy_files(const std::string& dir, std::int64_t backtest_id) {
  fs::remove_all(fs::path(absolute_path(dir)) / std::to_string(backtest_id));
}

std::vector<std::string> build_engine_command(const std::string& kestrun_path,
                                              const std::string& strategy_file,
                                              const json::object& config,
                                              const json::object& parameters,
                                              std::int64_t backtest_id, std::int64_t algorithm_id) {
  using common::display_form;
  std::vector<std::string> cmd = {kestrun_path, "run",
                                  "-s",         display_form(config.at("start_date")),
                                  "-e",         display_form(config.at("end_date")),
                                  "-f",         strategy_file};
  for (const char* account : {"stock", "future"}) {
    const std::string key = std::string(account) + "_starting_cash";
    if (const json::value* cash = find(config, key); cash != nullptr && !equals_zero(*cash)) {
      cmd.insert(cmd.end(), {"--account", account, display_form(*cash)});
    }
  }
  if (present_and_not_null(config, "position")) {
    cmd.insert(cmd.end(), {"--position", text_of(config, "position")});
  }
  cmd.insert(cmd.end(), {"--frequency", text_of(config, "frequency")});
  if (present_and_true(config, "benchmark")) {
    cmd.insert(cmd.end(), {"--benchmark", text_of(config, "benchmark")});
  }
  if (present_and_not_null(config, "commission_multiplier")) {
    cmd.insert(cmd.end(),
               {"--commission-multiplier", display_form(config.at("commission_multiplier"))});
  }
  if (present_and_not_null(config, "margin_multiplier")) {
    cmd.insert(cmd.end(), {"--margin-multiplier", display_form(config.at("margin_multiplier"))});
  }
  if (present_and_true(config, "matching_type")) {
    const json::value& matching = config.at("matching_type");
    if (matching.is_string() && matching.get_string() == "signal") {
      cmd.emplace_back("--signal");
    } else {
      cmd.insert(cmd.end(), {"--matching-type", text_of(config, "matching_type")});
    }
  }
  if (present_and_not_null(config, "slippage")) {
    cmd.insert(cmd.end(), {"--slippage", display_form(config.at("slippage"))});
  }
  if (present_and_true(config, "enable_profiler")) {
    cmd.emplace_back("--enable-profiler");
  }
  if (present_and_true(config, "enable_short_stock")) {
    cmd.emplace_back("--short-stock");
  }
  if (present_and_true(config, "report_dir")) {
    const fs::path report =
        fs::path(absolute_path(text_of(config, "report_dir"))) / std::to_string(backtest_id);
    fs::create_directories(report);
    cmd.insert(cmd.end(), {"--report", report.string()});
  }
  if (present_and_true(config, "dividend_reinvestment")) {
    cmd.emplace_back("--dividend-reinvestment");
  }

  log::logger().info("parameters = {}", display_form(parameters));
  for (const auto& parameter : parameters) {
    cmd.emplace_back("--parameter-in");
    cmd.push_back(std::string(parameter.key()) + ":" + display_form(parameter.value()));
  }

  cmd.insert(cmd.end(), {"-mc", "tarnel.enabled", "True", "-mc", "tarnel.backtest_id",
                         std::to_string(backtest_id), "-mc", "tarnel.algorithm_id",
                         std::to_string(algorithm_id)});
  return cmd;
}

}  // namespace stratdesk::backtest
