#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/execution_context.hpp>

// The tasks that run in the background of an event loop (the engine supervision, the child
// reaper, the accept loop and the connections): spawned with one completion handler, cancelled
// together by one signal at shutdown and waited for within a bound, rather than abandoned.
namespace stratdesk::tasks {

// The task group of one execution context (an io_context), created on first use and destroyed
// with the context. Single-threaded: use it only from the thread that runs the context.
class TaskGroup final : public boost::asio::execution_context::service {
 public:
  static inline boost::asio::execution_context::id id;

  explicit TaskGroup(boost::asio::execution_context& context);
  ~TaskGroup() override;

  // The group of the context that `executor` belongs to.
  static TaskGroup& of(const boost::asio::any_io_executor& executor);

  // Starts `task` on `executor`. When it ends by an exception, logs "<name> ended: <what>" at
  // error level, except for the operation_aborted error of a task ended by cancel(). Once the
  // group is cancelled, a new task is dropped without running. `name` must outlive the task (a
  // string literal).
  void spawn(const boost::asio::any_io_executor& executor, const char* name,
             boost::asio::awaitable<void> task);

  // Emits terminal cancellation to every running task: each one's current wait ends with
  // operation_aborted, and so does every later wait of it.
  void cancel();

  // Cancels every task and waits for all of them to end, at most `limit`; then calls
  // `done(left)` with the number of tasks still running. Returns at once; runs on `executor`.
  void shutdown(const boost::asio::any_io_executor& executor, std::chrono::milliseconds limit,
                std::function<void(std::size_t left)> done);

  // Tasks started and not ended yet.
  [[nodiscard]] std::size_t running() const noexcept { return running_; }
  [[nodiscard]] bool cancelled() const noexcept { return cancelled_; }

 private:
  using Signals = std::list<boost::asio::cancellation_signal>;

  void shutdown() override;
  void finished(Signals::iterator signal, const char* name, std::exception_ptr error);
  boost::asio::awaitable<void> wait(std::chrono::milliseconds limit,
                                    std::function<void(std::size_t)> done);

  // One signal per running task. A finished task's signal waits in retiring_ until the task has
  // unwound, then in spare_ for the next task; splicing keeps every signal where it is.
  Signals active_;
  Signals retiring_;
  Signals spare_;
  std::size_t running_ = 0;
  bool cancelled_ = false;
};

}  // namespace stratdesk::tasks
