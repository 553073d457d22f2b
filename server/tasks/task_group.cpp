#include "tasks/task_group.hpp"

#include <utility>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "log/log.hpp"

namespace stratdesk::tasks {
namespace {

namespace asio = boost::asio;

bool is_cancellation(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const boost::system::system_error& e) {
    return e.code() == asio::error::operation_aborted;
  } catch (...) {
    return false;
  }
}

}  // namespace

TaskGroup::~TaskGroup() = default;

void TaskGroup::spawn(const asio::any_io_executor& executor, const char* name,
                      asio::awaitable<void> task) {
  if (cancelled_) {
    return;
  }
  if (spare_.empty()) {
    spare_.emplace_back();
  }
  active_.splice(active_.end(), spare_, spare_.begin());
  const auto signal = std::prev(active_.end());
  ++running_;
  asio::co_spawn(executor, std::move(task),
                 asio::bind_cancellation_slot(
                     signal->slot(), [this, signal, name, executor](std::exception_ptr error) {
                       finished(signal, name, error);
                       // The task's frame still refers to its signal until it has unwound: the
                       // signal is reused only after that, from a handler of its own.
                       asio::post(executor, [this, signal] {
                         spare_.splice(spare_.end(), retiring_, signal);
                       });
                     }));
}

void TaskGroup::finished(Signals::iterator signal, const char* name, std::exception_ptr error) {
  retiring_.splice(retiring_.end(), active_, signal);
  --running_;
  if (error && !(cancelled_ && is_cancellation(error))) {
    log::report_failure_of(name)(error);
  }
  if (running_ == 0 && waiter_ != nullptr) {
    waiter_->cancel();
  }
}

void TaskGroup::cancel() {
  cancelled_ = true;
  // A task that ends while the signals are emitted moves its signal to another list; walking a
  // copy keeps the walk on this one. Its signal stays alive, and emitting to it does nothing.
  std::vector<asio::cancellation_signal*> running;
  running.reserve(active_.size());
  for (auto& signal : active_) {
    running.push_back(&signal);
  }
  for (auto* signal : running) {
    signal->emit(asio::cancellation_type::terminal);
  }
}

asio::awaitable<std::size_t> TaskGroup::wait_for_all(std::chrono::milliseconds limit) {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  waiter_ = &timer;
  struct Forget {
    asio::steady_timer*& waiter;
    ~Forget() { waiter = nullptr; }
  } forget{waiter_};
  // Woken early only by the last task's end; a wait cancelled from outside ends the same way.
  while (running_ > 0 && std::chrono::steady_clock::now() < deadline) {
    timer.expires_at(deadline);
    auto [ec] = co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
    if (ec == asio::error::operation_aborted && running_ > 0) {
      break;
    }
  }
  co_return running_;
}

}  // namespace stratdesk::tasks
