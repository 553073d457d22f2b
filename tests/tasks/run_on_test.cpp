#include "tasks/run_on.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

namespace stratdesk::tasks {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

// A second thread with its own queue of jobs, as the database writer has.
class OtherThread {
 public:
  OtherThread() : guard_(io_.get_executor()), thread_([this] { io_.run(); }) {}
  ~OtherThread() {
    guard_.reset();
    thread_.join();
  }
  asio::io_context::executor_type executor() { return io_.get_executor(); }
  [[nodiscard]] std::thread::id id() const { return thread_.get_id(); }

 private:
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::thread thread_;
};

TEST(RunOn, HandsBackValuesMoveOnlyResultsAndExceptionsOnTheCallersThread) {
  OtherThread other;
  asio::io_context io;
  const auto caller = std::this_thread::get_id();
  std::vector<std::string> seen;
  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        const int value = co_await run_on(other.executor(), [&] {
          EXPECT_EQ(std::this_thread::get_id(), other.id());
          return 42;
        });
        EXPECT_EQ(std::this_thread::get_id(), caller);
        seen.push_back("value " + std::to_string(value));

        auto owned = co_await run_on(other.executor(), [] { return std::make_unique<int>(7); });
        seen.push_back("owned " + std::to_string(*owned));

        co_await run_on(other.executor(), [] {});
        seen.push_back("void");

        try {
          co_await run_on(other.executor(), []() -> int { throw std::runtime_error("refused"); });
        } catch (const std::runtime_error& error) {
          EXPECT_EQ(std::this_thread::get_id(), caller);
          seen.push_back(error.what());
        }
      },
      asio::detached);
  io.run();
  EXPECT_EQ(seen, (std::vector<std::string>{"value 42", "owned 7", "void", "refused"}));
}

// The answer of a finished job reaches its caller while a job given after it still runs on the
// other thread: it does not wait in that thread's queue.
TEST(RunOn, AnAnswerDoesNotWaitBehindJobsQueuedAfterIt) {
  OtherThread other;
  asio::io_context io;
  std::atomic<bool> slow_job_done{false};
  bool answered_before_slow_job_ended = false;
  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        co_await run_on(other.executor(), [&] {
          // Queue the slow job before this one ends, as a second request would.
          asio::co_spawn(
              io,
              [&]() -> asio::awaitable<void> {
                co_await run_on(other.executor(), [&] {
                  std::this_thread::sleep_for(1s);
                  slow_job_done = true;
                });
              },
              asio::detached);
          std::this_thread::sleep_for(20ms);
        });
        answered_before_slow_job_ended = !slow_job_done;
      },
      asio::detached);
  io.run();
  EXPECT_TRUE(answered_before_slow_job_ended);
  EXPECT_TRUE(slow_job_done);
}

}  // namespace
}  // namespace stratdesk::tasks
