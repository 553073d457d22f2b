#pragma once

#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include <boost/asio/any_io_executor.hpp>

#include "tasks/task_group.hpp"

// Child processes of the server (engines, parameter extraction): started without a shell,
// never waited for synchronously, never left behind as zombies.
namespace stratdesk::process {

// How a child ended. `poll_code` is its exit status, or minus the number of the signal that
// ended it. `status_lost` is set when something else in the process reaped the child first,
// so that no status could be read; `poll_code` is then 0 and means nothing.
struct ChildExit {
  int poll_code = 0;
  bool status_lost = false;

  // "exit code 3", "signal 9" or "exit status unknown", for log lines.
  [[nodiscard]] std::string description() const;
};

// Changes to the environment a child inherits: each name set to its value, or removed for
// nullopt.
using EnvironmentChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;

class ChildProcess final {
 public:
  // Starts `argv[0]` (looked up on PATH when it holds no '/') with the argument vector `argv`,
  // no shell, this process's working directory and standard streams, its environment with
  // `changes` applied, and no other descriptor. The child starts with an empty signal mask and
  // every signal at its default disposition, whatever this process blocks, handles or ignores.
  // Throws std::system_error when the program cannot be started; no child exists then.
  static ChildProcess spawn(const std::vector<std::string>& argv,
                            const EnvironmentChanges& changes = {});

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // A child that still runs is handed to the reaper (see ensure_reaper).
  ~ChildProcess();

  [[nodiscard]] pid_t pid() const noexcept { return pid_; }

  // The child's end once it has exited (reaping it on the first such call), else nullopt.
  // Never waits.
  std::optional<ChildExit> poll();

  // Sends TERM unless the child has been reaped already (its pid may name another process by
  // then). A child that has exited but is not reaped yet ignores it.
  void terminate();

 private:
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  void release() noexcept;

  pid_t pid_ = -1;
  std::optional<ChildExit> exit_;
};

// Reaps the children whose owners let go of them before they ended: a task of `tasks` on
// `executor` checks them, ever less often, until none is left. Call it after dropping a
// ChildProcess that may still run; cheap when there is nothing to do. Once the group is
// cancelled, children let go of are reaped with the process instead.
void ensure_reaper(tasks::TaskGroup& tasks, const boost::asio::any_io_executor& executor);

}  // namespace stratdesk::process
