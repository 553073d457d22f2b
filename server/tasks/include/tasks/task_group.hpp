#pragma once

#include <chrono>
#include <cstddef>
#include <list>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/steady_timer.hpp>

// The tasks that run in the background of the event loop (the accept loop, the engine
// supervision, the foreign engine checker, the child reaper, the progress watch): spawned with
// one completion handler, cancelled together at shutdown and waited for within a bound, rather
// than abandoned.
namespace stratdesk::tasks {

// Made once by the program and handed to everything that starts a background task.
// Single-threaded: use it only from the thread that runs the tasks' event loop. Declare it
// before that loop's io_context: a task still suspended when the loop stops keeps using the
// group until the io_context destroys it.
class TaskGroup final {
 public:
  TaskGroup() = default;
  ~TaskGroup();
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;

  // Starts `task` on `executor`. When it ends by an exception, logs "<name> ended: <what>" at
  // error level, except for the operation_aborted error of a task ended by cancel(). Once the
  // group is cancelled, a new task is dropped without running. `name` must outlive the task (a
  // string literal).
  void spawn(const boost::asio::any_io_executor& executor, const char* name,
             boost::asio::awaitable<void> task);

  // Emits terminal cancellation to every running task: each one's current wait ends with
  // operation_aborted, and so does every later wait of it.
  void cancel();

  // Completes once no task of the group is running, or once `limit` has passed; yields the
  // number of tasks still running then. The last task to end wakes it: nothing polls.
  boost::asio::awaitable<std::size_t> wait_for_all(std::chrono::milliseconds limit);

  // Tasks started and not ended yet.
  [[nodiscard]] std::size_t running() const noexcept { return running_; }
  [[nodiscard]] bool cancelled() const noexcept { return cancelled_; }

 private:
  using Signals = std::list<boost::asio::cancellation_signal>;

  void finished(Signals::iterator signal, const char* name, std::exception_ptr error);

  // One signal per running task. A finished task's signal waits in retiring_ until the task has
  // unwound, then in spare_ for the next task; splicing keeps every signal where it is.
  Signals active_;
  Signals retiring_;
  Signals spare_;
  std::size_t running_ = 0;
  bool cancelled_ = false;
  // The timer of a wait_for_all() in progress, cancelled when the last task ends.
  boost::asio::steady_timer* waiter_ = nullptr;
};

}  // namespace stratdesk::tasks
