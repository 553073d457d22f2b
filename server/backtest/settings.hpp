#pragma once

#include <any>
#include <memory>
#include <optional>
#include <string>

#include <boost/json/value.hpp>

#include "backtest/backtest.hpp"

namespace stratdesk::backtest {

// The module's settings as the host last set them.
struct Settings {
  std::optional<std::string> kestrun_path;
  std::optional<std::string> strategy_file_dir;
  std::optional<std::string> bundle_path;
  std::shared_ptr<EngineControl> kestrun_manager;
  std::any kestrun_manager_cli_queue;
  std::optional<std::string> pid_path;
  boost::json::value conf;
};

const Settings& settings();

}  // namespace stratdesk::backtest
