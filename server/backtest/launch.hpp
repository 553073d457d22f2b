#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "common/error.hpp"

// The steps of a launch that know nothing of requests: bundle check, validation, strategy
// files, engine command.
namespace stratdesk::backtest {

// Truth as the engine's language sees it: false, null, zero, "", [] and {} are false.
bool is_true(const boost::json::value& value);

// The refusal (a conflict) when the bundle directory is missing (logged) or empty; nullopt when
// it has entries. Throws std::filesystem::filesystem_error when it is not a directory.
std::optional<common::Refusal> check_bundle(const std::string& bundle_path);

// A configuration value the engine reads as a text and is handed as it is.
struct EngineText {
  std::optional<std::string> text;  // the value, when it is a text
  std::string json;                 // the value's JSON text, to name it when it is not
};

// A launch configuration, read once from the posted JSON: what validation checks and what each
// option group of the engine command needs. "True" is meant as the engine's language means it
// (see is_true).
struct LaunchConfig {
  struct Cash {
    bool is_true = false;               // counts for validation
    std::optional<std::string> amount;  // display form, when present and not equal to 0
  };

  std::optional<std::string> start_date;  // display form, when present and true
  std::optional<std::string> end_date;    // display form, when present and true
  Cash stock_cash;
  Cash future_cash;
  std::optional<EngineText> frequency;               // when present and true
  bool has_securities = false;                       // present and true; never handed to the engine
  std::optional<EngineText> position;                // when present and not null
  std::optional<EngineText> benchmark;               // when present and true
  std::optional<std::string> commission_multiplier;  // display form, when present and not null
  std::optional<std::string> margin_multiplier;      // display form, when present and not null
  std::optional<EngineText> matching_type;           // when present and true
  std::optional<std::string> slippage;               // display form, when present and not null
  bool enable_profiler = false;                      // present and true
  bool enable_short_stock = false;                   // present and true
  std::optional<EngineText> report_dir;              // when present and true
  bool dividend_reinvestment = false;                // present and true
};

// Reads the keys a launch uses from `config`; other keys are ignored. A configuration that is
// not an object has none of them. Never throws.
LaunchConfig read_launch_config(const boost::json::value& config);

// The message of the first validation rule that `config` breaks, or nullopt: start date, end
// date, a starting cash, frequency, securities, in that order.
std::optional<std::string_view> validate(const LaunchConfig& config);

// `path` made absolute against the working directory and normalised, without a trailing '/'.
std::string absolute_path(const std::string& path);

// Writes `code` byte for byte to <dir>/strategy.py (the latest launch's code) and to
// <dir>/<backtest_id>/strategy.py, creating the directories; returns the absolute path of the
// latter, the file this launch's engine runs. Throws std::system_error on failure.
std::string write_strategy_files(const std::string& dir, std::int64_t backtest_id,
                                 const std::string& code);

// Removes <dir>/<backtest_id>/ with everything in it; a missing directory is no error. Throws
// std::filesystem::filesystem_error when it cannot be removed.
void remove_strategy_files(const std::string& dir, std::int64_t backtest_id);

// The engine command for a validated configuration: the script, "run", dates and strategy
// file, the option groups the configuration asks for (creating the report directory), one
// "--parameter-in name:value" per parameter, and the three "-mc" settings. Logs
// "parameters = {...}". Throws std::invalid_argument when a value that is passed as it is
// ("position", "frequency", "benchmark", "matching_type", "report_dir") is not a text, and
// std::filesystem::filesystem_error when the report directory cannot be created.
std::vector<std::string> build_engine_command(const std::string& kestrun_path,
                                              const std::string& strategy_file,
                                              const LaunchConfig& config,
                                              const boost::json::object& parameters,
                                              std::int64_t backtest_id, std::int64_t algorithm_id);

}  // namespace stratdesk::backtest
