#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "db/connection.hpp"
#include "db/writer.hpp"
#include "events/event_hub.hpp"
#include "process/child_process.hpp"
#include "tasks/task_group.hpp"

// Engine supervision: the engine child processes this server starts, the engine processes it
// only knows through their pid files, and the end of a backtest in the database. Both tasks
// run as coroutines on the server's one event-loop thread; they share nothing with the request
// handlers but the manager's map of children (touched only on that thread) and the database.
// Their writes run on the server's database writer and are waited for; what a write job gets
// is a copy of the ids and values it stores, never the tasks' own state.
namespace stratdesk::server {

namespace asio = boost::asio;
using process::ChildExit;
using process::ChildProcess;

// A connection of a background task of its own to the database file at `sqlite_url`, rows
// coming as row maps. Throws db::Error when the file cannot be opened.
db::Connection create_connection(const std::string& sqlite_url);

// Logs "Set backtest<ID> stopped", then waits for the writer to set that backtest's state to
// "stopped" and commit. An id without a row changes nothing. A failing statement or commit is
// rolled back and rethrown here.
asio::awaitable<void> mark_backtest_end(db::Writer& writer, std::int64_t backtest_id);

// The run time recorded for a backtest: both wall-clock instants (seconds since the epoch)
// truncated to whole seconds before subtracting, so 100.9 -> 101.1 gives 1, 100.1 -> 100.8 0.
std::int64_t whole_seconds_between(double start, double end);

// Publishes the `backtest` event of a backtest whose state was just committed, read back from
// its row: {"id", "algorithm_id", "state", "exception"}. Nothing without a row; a
// failing read is logged, never thrown, since the state change itself has succeeded.
void publish_backtest_state(db::Connection& conn, events::EventHub& hub, std::int64_t backtest_id);

// What the `exception` column of an ended backtest says: empty after exit status 0, "stopped by
// request" when the manager had sent TERM, else "engine exited with code N" or "engine ended by
// signal N".
std::string end_exception_text(const ChildExit& exit, bool stop_requested);

// Where the engine manager finds what it works with; every path absolute.
struct ManagerSettings {
  std::string pid_dir;      // pid files of running engines
  std::string log_path;     // the server's log file, named in the start-up lines
  std::string sqlite_url;   // the database file the backtests are read from
  std::string python_path;  // the interpreter that runs the engine script
  // What engines find in their environment besides the server's own: where to post their
  // results, keep their pid files and read the bundle, and the access token.
  process::EnvironmentChanges engine_environment;
};

// Where the foreign engine checker finds what it works with; every path absolute.
struct CheckerSettings {
  std::string pid_dir;     // swept at start-up, scanned once a second
  std::string log_path;    // the server's log file, named in the start-up lines
  std::string sqlite_url;  // the database file the backtests are read from
};

// Starts, watches and stops the engine processes of this server. One per server process.
class KestrunManager final : public std::enable_shared_from_this<KestrunManager> {
 public:
  struct Child {
    ChildProcess process;
    double start_time = 0;  // wall clock right after the child was created
    bool stop_requested = false;
    // When a pass first saw the child ended; kept while its end waits to be recorded.
    std::optional<double> end_time;
    // Tells this child from one that replaced it while its end was being recorded.
    std::uint64_t generation = 0;
    // Its end is being recorded: a second look waits for that one's outcome.
    bool recording = false;
  };

  // Stores the settings; opens nothing. The manager task will run on `executor`; its writes run
  // on `writer`, which must outlive the task. Every end it records is published on `hub`, which
  // is never null.
  KestrunManager(asio::any_io_executor executor, ManagerSettings settings, db::Writer& writer,
                 std::shared_ptr<events::EventHub> hub);

  // Spawns `run` on the executor, as a task of `tasks`, and returns. The task keeps the
  // manager alive. Requires the manager to be owned by a shared_ptr.
  void start(tasks::TaskGroup& tasks);

  // The manager task: on_start, then forever a poll pass followed by a one-second pause.
  // Database failures are logged and retried at the next pass; the task never ends by itself.
  asio::awaitable<void> run();

  // Opens the manager's connection, logs the start-up lines and marks "stopped" every backtest
  // left "executing" (by an earlier server run: ids this manager is running are left alone).
  // When the database cannot be used the settling is retried before each later pass.
  asio::awaitable<void> on_start();

  // One pass over the children: logs the ones still running; records the end of the ones that
  // have exited (state "stopped", time_spent, exception) and forgets them. A child whose end
  // cannot be recorded stays for the next pass. Also reaps the children that were replaced by a
  // second start of the same backtest, without recording them.
  asio::awaitable<void> poll_kestrun_status();

  // Starts the interpreter with `cmd` (the engine script and its options) and remembers it
  // under `backtest_id`, replacing (but still reaping) any child already there. Throws
  // std::system_error when the interpreter cannot be started; nothing is remembered then.
  void start_kestrun(std::int64_t backtest_id, const std::vector<std::string>& cmd);

  // Sends TERM to the child of `backtest_id`, if this manager runs one; its end is recorded
  // once it has exited.
  void stop_kestrun(std::int64_t backtest_id);

  // Called with the backtest's id after each end this manager records, once it is committed
  // and published.
  void on_end_recorded(std::function<void(std::int64_t)> callback) {
    end_recorded_ = std::move(callback);
  }

  // Logs "kestrun manager stopped"; for the host's shutdown. Children are left running.
  void on_stop();

  [[nodiscard]] const std::map<std::int64_t, Child>& children() const { return children_; }
  [[nodiscard]] const std::string& log_path() const { return settings_.log_path; }
  [[nodiscard]] const std::string& pid_dir() const { return settings_.pid_dir; }
  [[nodiscard]] const std::string& sqlite_url() const { return settings_.sqlite_url; }
  [[nodiscard]] const std::string& python_path() const { return settings_.python_path; }
  // Children replaced by a second start of their backtest and not reaped yet.
  [[nodiscard]] std::size_t replaced_children() const { return replaced_.size(); }

 private:
  db::Connection* connection();
  asio::awaitable<void> settle_executing_rows();
  asio::awaitable<bool> record_end(std::int64_t backtest_id, std::int64_t time_spent,
                                   std::string exception);
  // Records the end of the child of `id`, which has exited, unless another look is recording
  // it; forgets the child once recorded.
  asio::awaitable<void> record_exited(std::int64_t id, ChildExit exit);
  // Records the end of every child that has exited, saying nothing of the others: for a look
  // between passes.
  asio::awaitable<void> record_exits();
  // Records the end of every child that has exited; with `say_running`, logs the others.
  asio::awaitable<void> look_at_children(bool say_running);
  // Records the child's end as soon as it exits, rather than at the next pass, where the system
  // can tell (a pidfd on Linux); otherwise leaves it to the passes.
  void watch_exit(std::int64_t backtest_id, const ChildProcess& child);

  asio::any_io_executor executor_;
  ManagerSettings settings_;
  db::Writer& writer_;
  std::map<std::int64_t, Child> children_;
  std::uint64_t children_started_ = 0;
  std::vector<ChildProcess> replaced_;
  std::optional<db::Connection> conn_;
  bool settled_ = false;
  std::shared_ptr<events::EventHub> hub_;
  tasks::TaskGroup* tasks_ = nullptr;  // once started
  std::function<void(std::int64_t)> end_recorded_;
};

// Constructs the manager, starts it as a task of `tasks` and returns it.
std::shared_ptr<KestrunManager> start_kestrun_manager(asio::any_io_executor executor,
                                                      tasks::TaskGroup& tasks,
                                                      ManagerSettings settings, db::Writer& writer,
                                                      std::shared_ptr<events::EventHub> hub);

// Watches the pid directory for engine processes this server did not start and settles their
// backtests once they are gone.
class ForeignKestrunChecker final : public std::enable_shared_from_this<ForeignKestrunChecker> {
 public:
  // Its writes run on `writer`, which must outlive the task. Every backtest it marks stopped is
  // published on `hub`, which is never null.
  ForeignKestrunChecker(asio::any_io_executor executor, CheckerSettings settings,
                        db::Writer& writer, std::shared_ptr<events::EventHub> hub);

  // Spawns `run` on the executor, as a task of `tasks`, and returns; the task keeps the checker
  // alive. Requires the checker to be owned by a shared_ptr.
  void start(tasks::TaskGroup& tasks);

  // The checker task: opens its connection; sweeps and removes an existing pid directory,
  // creates it empty; logs "foreign kestrun checker started"; then forever a one-second pause
  // followed by one scan. Failures are logged; the task never ends by itself.
  asio::awaitable<void> run();

  // The start-up sweep: every file at any depth under the pid directory that holds a
  // well-formed pid-file text marks the backtest named there stopped. Then the directory is
  // removed and created empty.
  asio::awaitable<void> reset_pid_dir();

  // One scan of the pid directory: removes entries not named like pid files, reports malformed
  // ones, and for each pid file whose process is not a live engine marks its backtest stopped
  // and deletes the file. Per-entry failures are logged and the entry is looked at again next
  // time.
  asio::awaitable<void> scan();

  // True when process `pid` exists and its command line contains "kestrun-plus-script.py".
  // Logs "<backtest_id> already exited" when no such process exists. Throws std::system_error
  // when the process table cannot be read for another reason.
  bool is_backtest_alive(std::int64_t pid, const std::string& identity, std::int64_t backtest_id);

  [[nodiscard]] const std::string& log_path() const { return settings_.log_path; }
  [[nodiscard]] const std::string& pid_dir() const { return settings_.pid_dir; }
  [[nodiscard]] const std::string& sqlite_url() const { return settings_.sqlite_url; }

 private:
  db::Connection& connection();
  // The start-up sweep's file work, done without waiting: the pid files of earlier runs read
  // (path, backtest named), the directory removed and created empty.
  std::vector<std::pair<std::string, std::int64_t>> take_left_over_pid_files();
  asio::awaitable<void> check_entry(std::string name);

  asio::any_io_executor executor_;
  CheckerSettings settings_;
  db::Writer& writer_;
  std::optional<db::Connection> conn_;
  std::shared_ptr<events::EventHub> hub_;
};

// Constructs the checker and starts it as a task of `tasks`. No handle is kept: the task lives
// until the group is cancelled.
void start_foreign_kestrun_collector(asio::any_io_executor executor, tasks::TaskGroup& tasks,
                                     CheckerSettings settings, db::Writer& writer,
                                     std::shared_ptr<events::EventHub> hub);

}  // namespace stratdesk::server
