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

// What a piece of work produced, carried back to the coroutine waiting for it: a value (none for
// void work) or an exception.
template <class Result>
class Outcome {
 public:
  // Runs `work()` and keeps what it returned or threw, replacing what was kept before.
  template <class Work>
  void capture(Work& work) noexcept {
    error_ = nullptr;
    try {
      if constexpr (std::is_void_v<Result>) {
        work();
      } else {
        value_.reset();
        value_.emplace(work());
      }
    } catch (...) {
      error_ = std::current_exception();
    }
  }
  // Replaces whatever was kept with `error`.
  void fail(std::exception_ptr error) noexcept {
    if constexpr (!std::is_void_v<Result>) {
      value_.reset();
    }
    error_ = std::move(error);
  }
  [[nodiscard]] bool failed() const noexcept { return error_ != nullptr; }
  // The value, or the exception rethrown.
  Result take() {
    if (error_) {
      std::rethrow_exception(error_);
    }
    if constexpr (!std::is_void_v<Result>) {
      return std::move(*value_);
    }
  }

 private:
  struct Nothing {};
  std::exception_ptr error_;
  [[no_unique_address]] std::conditional_t<std::is_void_v<Result>, Nothing, std::optional<Result>>
      value_;
};

// The way back to a coroutine that waits for work done elsewhere: called once, from any thread,
// it posts the outcome to the coroutine's own executor. Until then that executor counts as busy,
// so its event loop does not run out of work while the job runs elsewhere.
template <class Result, class Handler>
class Resumption {
 public:
  explicit Resumption(Handler handler)
      : home_(boost::asio::make_work_guard(boost::asio::get_associated_executor(handler))),
        handler_(std::move(handler)) {}

  void operator()(Outcome<Result> outcome) && {
    boost::asio::post(home_.get_executor(),
                      [handler = std::move(handler_), outcome = std::move(outcome)]() mutable {
                        std::move(handler)(std::move(outcome));
                      });
    home_.reset();
  }

 private:
  boost::asio::executor_work_guard<boost::asio::associated_executor_t<Handler>> home_;
  Handler handler_;
};

// Suspends the awaiting coroutine and calls `hand_over(resumption)`, where `resumption` is a
// Resumption<Result, ...>: whoever ends up holding it calls it once with the outcome, which then
// resumes the coroutine (returning the value or rethrowing the exception). The resumption goes
// from the finishing thread straight to the coroutine's executor, never through a queue of the
// thread that did the work.
template <class Result, class HandOver>
boost::asio::awaitable<Result> await_handoff(HandOver hand_over) {
  Outcome<Result> outcome =
      co_await boost::asio::async_initiate<const boost::asio::use_awaitable_t<>&,
                                           void(Outcome<Result>)>(
          [](auto handler, HandOver hand_over) {
            std::move(hand_over)(Resumption<Result, decltype(handler)>(std::move(handler)));
          },
          boost::asio::use_awaitable, std::move(hand_over));
  co_return outcome.take();
}

// Runs `work()` on `target` and resumes the awaiting coroutine on its own executor with what
// `work` returned, or rethrows what it threw. The resumption never queues behind jobs given to
// `target` after this one (co_spawn would first complete on `target`). `work` runs to its end
// even when the waiting coroutine is cancelled meanwhile; it must touch nothing but what it owns
// or what the awaiting frame keeps alive until it resumes. The result type must be void or
// movable.
template <class Executor, class Work>
boost::asio::awaitable<std::invoke_result_t<Work&>> run_on(Executor target, Work work) {
  using Result = std::invoke_result_t<Work&>;
  co_return co_await await_handoff<Result>(
      [target, work = std::move(work)](auto resumption) mutable {
        boost::asio::post(target,
                          [work = std::move(work), resumption = std::move(resumption)]() mutable {
                            Outcome<Result> outcome;
                            outcome.capture(work);
                            std::move(resumption)(std::move(outcome));
                          });
      });
}

}  // namespace stratdesk::tasks
