#pragma once

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

// Handing a piece of work to another thread (the database writer, a reading or parsing pool)
// and resuming the coroutine that waits for it.
namespace stratdesk::tasks {

namespace detail {

// What the work produced, carried back to the waiting coroutine: a value or an exception.
template <class Result>
struct Outcome {
  std::exception_ptr error;
  std::optional<Result> value;
};
template <>
struct Outcome<void> {
  std::exception_ptr error;
};

}  // namespace detail

// Runs `work()` on `target` and resumes the awaiting coroutine on its own executor with what
// `work` returned, or rethrows what it threw. The resumption is posted from the finishing thread
// straight to the coroutine's executor, so it never queues behind jobs given to `target` after
// this one (co_spawn would first complete on `target`). `work` runs to its end even when the
// waiting coroutine is cancelled meanwhile; it must touch nothing but what it owns or what the
// awaiting frame keeps alive until it resumes. The result type must be void or movable.
template <class Executor, class Work>
boost::asio::awaitable<std::invoke_result_t<Work&>> run_on(Executor target, Work work) {
  using Result = std::invoke_result_t<Work&>;
  using Outcome = detail::Outcome<Result>;
  Outcome outcome =
      co_await boost::asio::async_initiate<const boost::asio::use_awaitable_t<>&, void(Outcome)>(
          [target](auto handler, Work work) {
            // The caller's executor stays busy until the answer has reached it, so its event loop
            // does not run out of work while the job runs elsewhere.
            auto home = boost::asio::make_work_guard(boost::asio::get_associated_executor(handler));
            boost::asio::post(target, [handler = std::move(handler), work = std::move(work),
                                       home = std::move(home)]() mutable {
              Outcome outcome;
              try {
                if constexpr (std::is_void_v<Result>) {
                  work();
                } else {
                  outcome.value.emplace(work());
                }
              } catch (...) {
                outcome.error = std::current_exception();
              }
              boost::asio::post(home.get_executor(), [handler = std::move(handler),
                                                      outcome = std::move(outcome)]() mutable {
                std::move(handler)(std::move(outcome));
              });
              home.reset();
            });
          },
          boost::asio::use_awaitable, std::move(work));
  if (outcome.error) {
    std::rethrow_exception(outcome.error);
  }
  if constexpr (!std::is_void_v<Result>) {
    co_return std::move(*outcome.value);
  }
}

}  // namespace stratdesk::tasks
