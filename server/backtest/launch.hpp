#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "http/response.hpp"

// The steps of a launch that know nothing of requests: bundle check, validation, strategy
// files, engine command.
namespace stratdesk::backtest {

// Truth as the engine's language sees it: false, null, zero, "", [] and {} are false.
bool is_true(const boost::json::value& value);

// The refusal when the bundle directory is missing (409, logged) or empty (409); nullopt when
// it has entries. Throws when the path is unset or is not a directory.
std::optional<http::Response> check_bundle(const std::optional<std::string>& bundle_path);

// The message of the first validation rule that `config` breaks, or nullopt. A configuration
// that is not an object has none of the required keys.
std::optional<std::string_view> validate_config(const boost::json::value& config);

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
                                              const boost::json::object& config,
                                              const boost::json::object& parameters,
                                              std::int64_t backtest_id, std::int64_t algorithm_id);

}  // namespace stratdesk::backtest
