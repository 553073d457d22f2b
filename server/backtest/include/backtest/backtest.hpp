#pragma once

#include <any>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/json/value.hpp>

#include "http/request.hpp"
#include "http/response.hpp"
#include "http/router.hpp"

// Backtests: launching a run of the engine over an algorithm's code and configuration.
namespace stratdesk::backtest {

// What this module needs of the engine manager. The host adapts its manager to it, so that
// this module does not depend on the supervision code.
class EngineControl {
 public:
  virtual ~EngineControl() = default;
  // Starts the engine of `backtest_id` with `cmd` (the engine script first, then its options)
  // and returns without waiting for it. Throws when no process could be started.
  virtual void start_kestrun(std::int64_t backtest_id, const std::vector<std::string>& cmd) = 0;
  // Asks the engine of `backtest_id` to end, if one runs.
  virtual void stop_kestrun(std::int64_t backtest_id) = 0;
};

// Settings for the whole process, set by the host before it serves requests. Until set, a
// setting is empty and a launch that needs it fails.
void set_kestrun_path(std::string path);        // the engine's entry script
void set_strategy_file_path(std::string path);  // where strategy files are written
void set_bundle_path(std::string path);         // the engine's market-data bundle
void set_kestrun_manager(std::shared_ptr<EngineControl> manager);
void set_kestrun_manager_cli_queue(std::any queue);  // stored only
void set_pid_path(std::string path);                 // stored only
void set_conf(boost::json::value conf);              // stored only

// POST <base>/algorithms/<int:algorithm_id>/backtests: launches a backtest.
class BacktestList final {
 public:
  // Answers {"id": n} once the engine has been handed its command. Refusals: 409 with a message
  // when the bundle is missing or empty, 400 with a message when the configuration lacks a
  // required value, 400 when "config" or "code" is missing. When the backtest is recorded but
  // its engine cannot be started, the row is set "stopped" with the error in `exception`, and
  // the answer is 500 {"message": ...}.
  boost::asio::awaitable<http::Response> post(http::Request& request, std::int64_t algorithm_id);
};

// Mounts the backtest resources under `base_uri`.
void register_api(http::Api& api, const std::string& base_uri);

}  // namespace stratdesk::backtest
