#include "settings.hpp"

#include <utility>

namespace stratdesk::backtest {
namespace {

Settings& mutable_settings() {
  static Settings instance;
  return instance;
}

}  // namespace

const Settings& settings() {
  return mutable_settings();
}

void set_kestrun_path(std::string path) {
  mutable_settings().kestrun_path = std::move(path);
}

void set_strategy_file_path(std::string path) {
  mutable_settings().strategy_file_dir = std::move(path);
}

void set_bundle_path(std::string path) {
  mutable_settings().bundle_path = std::move(path);
}

void set_kestrun_manager(std::shared_ptr<EngineControl> manager) {
  mutable_settings().kestrun_manager = std::move(manager);
}

void set_kestrun_manager_cli_queue(std::any queue) {
  mutable_settings().kestrun_manager_cli_queue = std::move(queue);
}

void set_pid_path(std::string path) {
  mutable_settings().pid_path = std::move(path);
}

void set_conf(boost::json::value conf) {
  mutable_settings().conf = std::move(conf);
}

}  // namespace stratdesk::backtest
