#include "http/worker_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

namespace stratdesk::http {
namespace {

namespace asio = boost::asio;

void run_for_at_most(asio::io_context& io, std::chrono::seconds limit) {
  auto ran = std::async(std::launch::async, [&io] { io.run(); });
  ASSERT_EQ(ran.wait_for(limit), std::future_status::ready);
  ran.get();
}

TEST(WorkerPool, RunsJobsBesideTheLoopWithNoMoreThanItsLimitAtOnce) {
  asio::io_context io;
  WorkerPool pool(2, 3);
  std::atomic<int> running{0};
  std::atomic<int> most{0};
  std::vector<int> results;
  std::thread::id loop_thread;
  for (int i = 0; i < 12; ++i) {
    asio::co_spawn(
        io,
        [&, i]() -> asio::awaitable<void> {
          loop_thread = std::this_thread::get_id();
          const int result = co_await pool.run([&, i] {
            EXPECT_NE(std::this_thread::get_id(), loop_thread);
            most = std::max(most.load(), ++running);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            --running;
            return i * i;
          });
          EXPECT_EQ(std::this_thread::get_id(), loop_thread);
          results.push_back(result);
        },
        asio::detached);
  }
  run_for_at_most(io, std::chrono::seconds(10));
  EXPECT_EQ(results.size(), 12u);
  EXPECT_LE(most.load(), 2) << "two threads";
  int sum = 0;
  for (int r : results) {
    sum += r;
  }
  EXPECT_EQ(sum, 506);
}

TEST(WorkerPool, AJobsExceptionReachesTheAskerAndFreesItsPlace) {
  asio::io_context io;
  WorkerPool pool(1, 1);
  int failures = 0;
  int successes = 0;
  for (int i = 0; i < 4; ++i) {
    asio::co_spawn(
        io,
        [&, i]() -> asio::awaitable<void> {
          try {
            co_await pool.run([i]() -> int {
              if (i % 2 == 0) {
                throw std::invalid_argument("bad body");
              }
              return i;
            });
            ++successes;
          } catch (const std::invalid_argument&) {
            ++failures;
          }
        },
        asio::detached);
  }
  run_for_at_most(io, std::chrono::seconds(10));
  EXPECT_EQ(failures, 2);
  EXPECT_EQ(successes, 2);
}

}  // namespace
}  // namespace stratdesk::http
