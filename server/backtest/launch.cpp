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

const json::value* if_true(const json::object& config, std::string_view key) {
  const json::value* value = find(config, key);
  return value != nullptr && is_true(*value) ? value : nullptr;
}

const json::value* if_not_null(const json::object& config, std::string_view key) {
  const json::value* value = find(config, key);
  return value != nullptr && !value->is_null() ? value : nullptr;
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

std::optional<std::string> display_of(const json::value* value) {
  return value != nullptr ? std::optional<std::string>(common::display_form(*value)) : std::nullopt;
}

std::optional<EngineText> engine_text_of(const json::value* value) {
  if (value == nullptr) {
    return std::nullopt;
  }
  if (value->is_string()) {
    return EngineText{std::string(value->get_string()), {}};
  }
  return EngineText{std::nullopt, json::serialize(*value)};
}

LaunchConfig::Cash cash_of(const json::object& config, std::string_view key) {
  const json::value* cash = find(config, key);
  LaunchConfig::Cash result;
  result.is_true = cash != nullptr && is_true(*cash);
  if (cash != nullptr && !equals_zero(*cash)) {
    result.amount = common::display_form(*cash);
  }
  return result;
}

// The values handed to the engine as they are; the engine reads them as texts.
const std::string& handed_on(const EngineText& value, std::string_view key) {
  if (!value.text) {
    throw std::invalid_argument("\"" + std::string(key) + "\" must be a text, not " + value.json);
  }
  return *value.text;
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

std::optional<common::Refusal> check_bundle(const std::string& path) {
  if (!fs::exists(path)) {
    log::logger().info("bundle {} not found", path);
    return common::Refusal{common::ErrorKind::conflict,
                           "bundle路径 " + path + " 找不到,请检查是否下载了bundle数据"};
  }
  if (fs::directory_iterator(path) == fs::directory_iterator()) {
    return common::Refusal{common::ErrorKind::conflict,
                           "bundle" + path + " 目录是空的,请检查是否下载了bundle数据"};
  }
  return std::nullopt;
}

LaunchConfig read_launch_config(const json::value& value) {
  static const json::object no_keys;
  const json::object& config = value.is_object() ? value.get_object() : no_keys;
  LaunchConfig launch;
  launch.start_date = display_of(if_true(config, "start_date"));
  launch.end_date = display_of(if_true(config, "end_date"));
  launch.stock_cash = cash_of(config, "stock_starting_cash");
  launch.future_cash = cash_of(config, "future_starting_cash");
  launch.frequency = engine_text_of(if_true(config, "frequency"));
  launch.has_securities = if_true(config, "securities") != nullptr;
  launch.position = engine_text_of(if_not_null(config, "position"));
  launch.benchmark = engine_text_of(if_true(config, "benchmark"));
  launch.commission_multiplier = display_of(if_not_null(config, "commission_multiplier"));
  launch.margin_multiplier = display_of(if_not_null(config, "margin_multiplier"));
  launch.matching_type = engine_text_of(if_true(config, "matching_type"));
  launch.slippage = display_of(if_not_null(config, "slippage"));
  launch.enable_profiler = if_true(config, "enable_profiler") != nullptr;
  launch.enable_short_stock = if_true(config, "enable_short_stock") != nullptr;
  launch.report_dir = engine_text_of(if_true(config, "report_dir"));
  launch.dividend_reinvestment = if_true(config, "dividend_reinvestment") != nullptr;
  return launch;
}

std::optional<std::string_view> validate(const LaunchConfig& config) {
  if (!config.start_date) {
    return "回测开始日期没设置";
  }
  if (!config.end_date) {
    return "回测结束日期没设置";
  }
  if (!config.stock_cash.is_true && !config.future_cash.is_true) {
    return "初始资金设置不正确";
  }
  if (!config.frequency) {
    return "回测周期没设置";
  }
  if (!config.has_securities) {
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
                                              const LaunchConfig& config,
                                              const json::object& parameters,
                                              std::int64_t backtest_id, std::int64_t algorithm_id) {
  using common::display_form;
  if (!config.start_date || !config.end_date || !config.frequency) {
    throw std::invalid_argument("the launch configuration is not valid");
  }
  std::vector<std::string> cmd = {kestrun_path,     "run", "-s",         *config.start_date, "-e",
                                  *config.end_date, "-f",  strategy_file};
  for (const auto& [account, cash] :
       {std::pair{"stock", &config.stock_cash}, std::pair{"future", &config.future_cash}}) {
    if (cash->amount) {
      cmd.insert(cmd.end(), {"--account", account, *cash->amount});
    }
  }
  if (config.position) {
    cmd.insert(cmd.end(), {"--position", handed_on(*config.position, "position")});
  }
  cmd.insert(cmd.end(), {"--frequency", handed_on(*config.frequency, "frequency")});
  if (config.benchmark) {
    cmd.insert(cmd.end(), {"--benchmark", handed_on(*config.benchmark, "benchmark")});
  }
  if (config.commission_multiplier) {
    cmd.insert(cmd.end(), {"--commission-multiplier", *config.commission_multiplier});
  }
  if (config.margin_multiplier) {
    cmd.insert(cmd.end(), {"--margin-multiplier", *config.margin_multiplier});
  }
  if (config.matching_type) {
    if (config.matching_type->text == "signal") {
      cmd.emplace_back("--signal");
    } else {
      cmd.insert(cmd.end(), {"--matching-type", handed_on(*config.matching_type, "matching_type")});
    }
  }
  if (config.slippage) {
    cmd.insert(cmd.end(), {"--slippage", *config.slippage});
  }
  if (config.enable_profiler) {
    cmd.emplace_back("--enable-profiler");
  }
  if (config.enable_short_stock) {
    cmd.emplace_back("--short-stock");
  }
  if (config.report_dir) {
    const fs::path report = fs::path(absolute_path(handed_on(*config.report_dir, "report_dir"))) /
                            std::to_string(backtest_id);
    fs::create_directories(report);
    cmd.insert(cmd.end(), {"--report", report.string()});
  }
  if (config.dividend_reinvestment) {
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
