#include "tasks/task_group.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <stdexcept>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "log/log.hpp"
#include "test_support.hpp"

namespace stratdesk::tasks {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

asio::awaitable<void> sleep_for(Clock::duration duration) {
  asio::steady_timer timer(co_await asio::this_coro::executor, duration);
  co_await timer.async_wait(asio::use_awaitable);
}

// Like the engine supervision: a pause, some work, forever.
asio::awaitable<void> poll_forever(int& passes) {
  for (;;) {
    ++passes;
    co_await sleep_for(5ms);
  }
}

// Reads a cancelled wait as a value and goes on waiting, as a careless task would.
asio::awaitable<void> ignore_cancellation(bool& ended) {
  co_await asio::this_coro::throw_if_cancelled(false);
  asio::steady_timer timer(co_await asio::this_coro::executor);
  for (int i = 0; i < 100; ++i) {
    timer.expires_after(10ms);
    co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
  }
  ended = true;
}

asio::awaitable<void> fail_after(Clock::duration duration, const char* what) {
  co_await sleep_for(duration);
  throw std::runtime_error(what);
}

asio::awaitable<void> abort_by_itself() {
  co_await sleep_for(1ms);
  throw boost::system::system_error(asio::error::operation_aborted);
}

class TaskGroupTest : public ::testing::Test {
 protected:
  TaskGroupTest() : log_path_(dir_.file("tasks.log")) { log::init(log_path_); }

  // Cancels the group and runs the loop until its wait for the tasks completes; the number of
  // tasks left then, and how long it took.
  std::pair<std::size_t, Clock::duration> shut_down(std::chrono::milliseconds limit) {
    group().cancel();
    return wait_for_all(limit);
  }

  std::pair<std::size_t, Clock::duration> wait_for_all(std::chrono::milliseconds limit) {
    std::optional<std::size_t> left;
    const auto start = Clock::now();
    io_.restart();
    asio::co_spawn(
        io_, [&]() -> asio::awaitable<void> { left = co_await group().wait_for_all(limit); },
        asio::detached);
    while (!left && Clock::now() - start < 10s) {
      io_.run_for(5ms);
    }
    EXPECT_TRUE(left.has_value()) << "the wait never completed";
    return {left.value_or(999), Clock::now() - start};
  }

  TaskGroup& group() { return group_; }
  [[nodiscard]] std::string log_text() const { return test::read_file(log_path_); }

  test::TempDir dir_;
  std::string log_path_;
  TaskGroup group_;
  asio::io_context io_;
};

TEST_F(TaskGroupTest, ShutdownCancelsEveryTaskAndWaitsForItsEnd) {
  int manager_passes = 0;
  int checker_passes = 0;
  group().spawn(io_.get_executor(), "manager", poll_forever(manager_passes));
  group().spawn(io_.get_executor(), "checker", poll_forever(checker_passes));
  group().spawn(io_.get_executor(), "sleeper", sleep_for(1h));
  io_.run_for(50ms);
  EXPECT_EQ(group().running(), 3u);
  EXPECT_GT(manager_passes, 1);

  const auto [left, took] = shut_down(2s);
  EXPECT_EQ(left, 0u);
  EXPECT_LT(took, 1s);
  EXPECT_EQ(group().running(), 0u);
  // Nothing is left for the loop: it returns by itself, and no task runs again.
  const int passes = manager_passes;
  io_.restart();
  const auto start = Clock::now();
  io_.run_for(5s);
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_EQ(manager_passes, passes);
  // Ending by cancellation is no failure.
  EXPECT_EQ(log_text().find("ended"), std::string::npos) << log_text();
}

TEST_F(TaskGroupTest, ShutdownIsBoundedForATaskThatIgnoresCancellation) {
  bool careless_ended = false;
  group().spawn(io_.get_executor(), "careless", ignore_cancellation(careless_ended));
  io_.run_for(20ms);
  const auto [left, took] = shut_down(100ms);
  EXPECT_EQ(left, 1u);
  EXPECT_GE(took, 100ms);
  EXPECT_LT(took, 900ms);
  EXPECT_FALSE(careless_ended);
}

TEST_F(TaskGroupTest, FailuresAreLoggedButTheGroupsOwnCancellationIsNot) {
  group().spawn(io_.get_executor(), "the first task", fail_after(1ms, "disk on fire"));
  group().spawn(io_.get_executor(), "the second task", abort_by_itself());
  group().spawn(io_.get_executor(), "the third task", sleep_for(1h));
  io_.run_for(100ms);
  EXPECT_EQ(group().running(), 1u);
  shut_down(1s);
  const std::string log = log_text();
  EXPECT_NE(log.find("the first task ended: disk on fire"), std::string::npos) << log;
  // Aborted while nobody cancelled it: a fault worth a line.
  EXPECT_NE(log.find("the second task ended: "), std::string::npos) << log;
  EXPECT_EQ(log.find("the third task"), std::string::npos) << log;
}

TEST_F(TaskGroupTest, ATaskSpawnedAfterCancellationNeverRunsAndSignalsAreReused) {
  // Many short tasks one after another: each finished task's signal serves the next one.
  int ran = 0;
  auto count = [&]() -> asio::awaitable<void> {
    ++ran;
    co_return;
  };
  for (int i = 0; i < 1000; ++i) {
    group().spawn(io_.get_executor(), "short", count());
    io_.restart();
    io_.run_for(1ms);
  }
  EXPECT_EQ(ran, 1000);
  EXPECT_EQ(group().running(), 0u);

  group().cancel();
  EXPECT_TRUE(group().cancelled());
  group().spawn(io_.get_executor(), "late", count());
  io_.restart();
  io_.run_for(20ms);
  EXPECT_EQ(ran, 1000);
  EXPECT_EQ(group().running(), 0u);
}

TEST_F(TaskGroupTest, AWaitEndsWhenTheLastTaskDoesWithoutCancellingAnything) {
  EXPECT_EQ(wait_for_all(10s).first, 0u) << "nothing to wait for";
  int passes = 0;
  group().spawn(io_.get_executor(), "short", sleep_for(30ms));
  group().spawn(io_.get_executor(), "shorter", sleep_for(10ms));
  const auto [left, took] = wait_for_all(10s);
  EXPECT_EQ(left, 0u);
  EXPECT_LT(took, 5s) << "woken by the last task's end, not by the limit";
  EXPECT_FALSE(group().cancelled());

  group().spawn(io_.get_executor(), "poller", poll_forever(passes));
  const auto [still_running, waited] = wait_for_all(50ms);
  EXPECT_EQ(still_running, 1u) << "a wait alone cancels nothing";
  EXPECT_GE(waited, 50ms);
  EXPECT_EQ(shut_down(2s).first, 0u);
}

}  // namespace
}  // namespace stratdesk::tasks
