#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/thread_pool.hpp>

#include "db/connection.hpp"
#include "db/db.hpp"
#include "tasks/run_on.hpp"

namespace stratdesk::db {

// Reading beside the event loop: a few threads, and connections of their own lent to each read,
// so that a long read (a whole backtest's rows, a poll on a large file) holds up neither the
// loop nor the other reads. In WAL mode a reader never waits for the writer. The connections
// refuse to write.
class ReadPool {
 public:
  // A connection lent to one reader until the lease ends. A page written in pieces keeps its
  // lease, and with it its read transaction, from the first piece to the last.
  // May outlive the pool (an answer still held when the server stops).
  class Lease {
   public:
    Lease(Lease&& other) noexcept = default;
    Lease& operator=(Lease&&) = delete;
    Lease(const Lease&) = delete;
    ~Lease();
    [[nodiscard]] Connection& connection() { return *connection_; }

   private:
    friend class ReadPool;
    struct Idle;
    Lease(std::shared_ptr<Idle> idle, Connection connection)
        : idle_(std::move(idle)), connection_(std::move(connection)) {}
    std::shared_ptr<Idle> idle_;
    std::optional<Connection> connection_;
  };

  ReadPool(const Database& database, std::size_t threads);
  // Finishes the reads already handed over, then stops the threads. Every lease must be gone.
  ~ReadPool();
  ReadPool(const ReadPool&) = delete;
  ReadPool& operator=(const ReadPool&) = delete;

  // An idle connection, or a new one (throws Error when the file cannot be opened). Any thread.
  Lease lease();

  // Runs `work()` on a pool thread and resumes the awaiting coroutine on its own executor with
  // what it returned or threw. `work` must touch nothing but what it owns, what the awaiting
  // frame keeps alive, and leases.
  template <class Work>
  boost::asio::awaitable<std::invoke_result_t<Work&>> run(Work work) {
    co_return co_await tasks::run_on(threads_.get_executor(), std::move(work));
  }

  // Runs `work(connection)` on a pool thread with a connection leased for the call.
  template <class Work>
  boost::asio::awaitable<std::invoke_result_t<Work&, Connection&>> read(Work work) {
    auto leased = [this, &work] {
      Lease lease = this->lease();
      return work(lease.connection());
    };
    co_return co_await run(leased);
  }

 private:
  std::string path_;
  std::shared_ptr<Lease::Idle> idle_;
  boost::asio::thread_pool threads_;
};

}  // namespace stratdesk::db
