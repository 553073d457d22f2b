#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <type_traits>
#include <utility>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>

#include "tasks/run_on.hpp"

namespace stratdesk::http {

// A few threads for the CPU-heavy part of a request (decoding a large body, reading its rows),
// so that the event loop goes on serving while they work. At most `queue_limit` jobs run or
// wait at once; whoever asks beyond that waits for a place, which bounds the memory that
// bodies being decoded can take. Used from the event loop's thread only.
class WorkerPool {
 public:
  WorkerPool(std::size_t threads, std::size_t queue_limit);
  // Finishes the jobs already handed over, then stops the threads.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Threads for a machine with `cores` cores: the event loop and the database writer have a
  // thread each, and parsing keeps pace with one writer from two threads on.
  static std::size_t threads_for(unsigned cores);

  [[nodiscard]] std::size_t size() const { return threads_; }

  // Runs `job()` on a pool thread, once a place is free, and resumes the awaiting coroutine on
  // its own executor with the job's result or exception. `job` must touch nothing but what it
  // owns. Its answer goes straight back to the awaiting coroutine's executor.
  template <class Job>
  boost::asio::awaitable<std::invoke_result_t<Job&>> run(Job job) {
    co_await take_place();
    const Place place{*this};
    co_return co_await tasks::run_on(pool_.get_executor(), std::move(job));
  }

 private:
  // Gives the place back, to the longest waiter if there is one.
  struct Place {
    WorkerPool& pool;
    ~Place() { pool.give_place_back(); }
  };

  boost::asio::awaitable<void> take_place();
  void give_place_back() noexcept;

  std::size_t threads_;
  std::size_t queue_limit_;
  std::size_t taken_ = 0;
  std::deque<std::shared_ptr<boost::asio::steady_timer>> waiting_;
  boost::asio::thread_pool pool_;
};

}  // namespace stratdesk::http
