#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "common/error.hpp"
#include "db/connection.hpp"
#include "db/db.hpp"
#include "db/read_pool.hpp"
#include "db/writer.hpp"
#include "events/event_hub.hpp"
#include "http/request.hpp"
#include "http/response.hpp"
#include "http/router.hpp"
#include "tasks/task_group.hpp"

// Backtests: launching a run of the engine over an algorithm's code and configuration, and the
// resources that list, read, comment, stop and delete the runs.
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

struct LaunchConfig;

// Where a launch finds the engine and keeps its files; every path absolute.
struct Settings {
  std::string engine_script;  // the engine's entry script
  std::string strategy_dir;   // where strategy files are written
  std::string bundle_dir;     // the engine's market-data bundle
};

// What the resources that launch, change and delete backtests work with. The references must
// outlive the Api; the hub is never null.
struct Dependencies {
  db::ReadPool& reads;
  db::Writer& writer;
  const Settings& settings;
  EngineControl& engines;
  std::shared_ptr<events::EventHub> hub;
};

// The refusal a launch answers for `config` before anything is stored (400 with the missing
// value's message), or nullopt. Logs the configuration as the launch does.
std::optional<common::Refusal> check_launch_config(const boost::json::value& config);

// Called inside the transaction that records a launched backtest, with its new id.
using AlsoRecord = std::function<void(db::Connection&, std::int64_t backtest_id)>;

// Launches one backtest as the launch route does, once its bundle and configuration have been
// checked: records the row (and `also_record`, in the same transaction), publishes it, writes its
// strategy file and hands its command to the engines. Returns its id. When its engine cannot be
// started, the row is set "stopped" with the error, that is published, and common::Error
// (internal) is thrown. The arguments must stay alive until it completes.
boost::asio::awaitable<std::int64_t> launch_backtest(
    const Dependencies& deps, std::int64_t algorithm_id, const std::string& config_text,
    const boost::json::object& parameters, const std::string& code, const std::string* comment,
    const AlsoRecord& also_record = {});

// <base>/algorithms/<int:algorithm_id>/backtests: an algorithm's backtests, and their launch.
class BacktestList final {
 public:
  // A launch records the backtest on the writer and publishes it (and its end, when its engine
  // cannot start) on the hub once committed.
  explicit BacktestList(Dependencies deps) : deps_(std::move(deps)) {}
  // The algorithm's backtests, each with "final_portfolio" and, when the algorithm has a
  // non-empty name, "algorithm_name"; [] when it has none.
  boost::asio::awaitable<http::Response> get(http::Request& request, std::int64_t algorithm_id);
  // Answers {"id": n} once the engine has been handed its command. Refusals: 409 with a message
  // when the bundle is missing or empty, 400 with a message when the configuration lacks a
  // required value, 400 when "config" or "code" is missing. When the backtest is recorded but
  // its engine cannot be started, the row is set "stopped" with the error in `exception`, and
  // the answer is 500 {"message": ...}.
  boost::asio::awaitable<http::Response> post(http::Request& request, std::int64_t algorithm_id);

 private:
  Dependencies deps_;
};

// <base>/algorithms/<int:algorithm_id>/backtests/<int:backtest_id>: one backtest.
class Backtest final {
 public:
  // Comments and deletions are written on the writer; a committed deletion is published on the
  // hub.
  explicit Backtest(Dependencies deps) : deps_(std::move(deps)) {}
  // The backtest with "algorithm_name" when its algorithm row exists (even with an empty name);
  // null when no backtest has both ids.
  boost::asio::awaitable<http::Response> get(http::Request& request, std::int64_t algorithm_id,
                                             std::int64_t backtest_id);
  // Form field "comment" (even empty) changes the comment; else "state" = "stop" asks the
  // engine manager to end the run. Answers true; 403 "无效的PATCH指令" for anything else.
  boost::asio::awaitable<http::Response> patch(http::Request& request, std::int64_t algorithm_id,
                                               std::int64_t backtest_id);
  // Deletes the backtest with its feed rows and its strategy directory: {"id": backtest_id}, or
  // the refusal map (status 200) while it runs. The algorithm id plays no part.
  boost::asio::awaitable<http::Response> delete_(http::Request& request, std::int64_t algorithm_id,
                                                 std::int64_t backtest_id);

  // Sets the comment of the backtest with both ids and commits, on the writer; true even when
  // none matched. `comment` must stay alive until the result is there.
  boost::asio::awaitable<bool> update_comment(std::int64_t algorithm_id, std::int64_t backtest_id,
                                              const std::string& comment);
  // Hands the stop to the engine manager by backtest id alone; true also when the manager runs
  // no such engine.
  bool stop_algorithm(std::int64_t algorithm_id, std::int64_t backtest_id);

 private:
  void discard_strategy_files(std::int64_t backtest_id);

  Dependencies deps_;
};

// <base>/backtests: every backtest in the state given by the argument "state" (default
// "stopped", also when null; the empty text is not null), with "algorithm_name" when its
// algorithm row exists, and "final_portfolio" when the state is "executing".
class BackTestListByCondition final {
 public:
  explicit BackTestListByCondition(db::ReadPool& reads) : reads_(reads) {}
  boost::asio::awaitable<http::Response> get(http::Request& request);

 private:
  db::ReadPool& reads_;
};

// <base>/backtests/<int:backtest_id>: one backtest by its id alone, with "algorithm_name" when
// its algorithm row exists. An id without a row is answered 500 with a message.
class BackTestNoALgoInfo final {
 public:
  explicit BackTestNoALgoInfo(db::ReadPool& reads) : reads_(reads) {}
  boost::asio::awaitable<http::Response> get(http::Request& request, std::int64_t backtest_id);

 private:
  db::ReadPool& reads_;
};

// A request's parsed arguments: each declared name to its text, null when not given.
using Arguments = boost::json::object;

// Reads the arguments `names` of a request as the query-like resources do (query string, form
// field, JSON body member).
Arguments parse_arguments(http::Request& request, std::initializer_list<std::string_view> names);

// `args[key]`, or `default_value` when that is null or absent.
boost::json::value get(const Arguments& args, std::string_view key,
                       const boost::json::value& default_value);

// <base>/backtests/<int:backtest_id>/progress: how far a backtest has simulated, as
// backtest_progress says; 404 with a message for an unknown id.
class BacktestProgress final {
 public:
  explicit BacktestProgress(db::ReadPool& reads) : reads_(reads) {}
  boost::asio::awaitable<http::Response> get(http::Request& request, std::int64_t backtest_id);

 private:
  db::ReadPool& reads_;
};

// The progress of a backtest: {"id", "state", "start_date", "end_date", "simulated_until",
// "progress", "elapsed_seconds"}. simulated_until is the latest datetime of its own portfolio
// rows (null without one); progress is the share of calendar days from start_date to
// end_date simulated so far, in [0, 1] (0 without rows, null when the dates cannot be read);
// elapsed_seconds counts from run_at while executing and is time_spent once stopped. nullopt
// when no backtest has that id.
std::optional<boost::json::object> backtest_progress(db::Connection& conn,
                                                     std::int64_t backtest_id);

// Once a second, publishes on `hub` a `progress` event for every executing backtest whose
// simulated_until changed since the last look. A task of `tasks` that runs until the group is
// cancelled, on a connection of its own to `database` (which must outlive it); failures are
// logged and retried.
void start_progress_watch(boost::asio::any_io_executor executor, tasks::TaskGroup& tasks,
                          const db::Database& database, std::shared_ptr<events::EventHub> hub);

// Mounts BacktestList, Backtest, BackTestListByCondition, BackTestNoALgoInfo and
// BacktestProgress under `base_uri`, in that order; launches, ends and deletions are published
// on `hub`. Every read runs on `reads` and every write on `writer`. The other
// arguments must outlive `api`.
void register_api(http::Api& api, const std::string& base_uri, db::ReadPool& reads,
                  db::Writer& writer, const Settings& settings, EngineControl& engines,
                  std::shared_ptr<events::EventHub> hub);

}  // namespace stratdesk::backtest
