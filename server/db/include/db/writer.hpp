#pragma once

#include <thread>
#include <type_traits>
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "db/connection.hpp"
#include "db/db.hpp"
#include "tasks/run_on.hpp"

namespace stratdesk::db {

// The one thread and connection that every write transaction of the server runs on, whole and
// in the order asked. With a single writer no transaction of ours waits in SQLite's busy wait
// behind another, and the event loop never waits for a write: readers keep their own
// connections and, in WAL mode, never wait for the writer.
class Writer {
 public:
  // Opens the writer's connection to `database` (throws Error when it cannot) and starts its
  // thread.
  explicit Writer(const Database& database);
  // Runs every transaction already asked for, then stops the thread.
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Runs `work(connection)` on the writer's thread and resumes the awaiting coroutine on its own
  // executor with what `work` returned, or with what it threw. The answer goes straight back to
  // the awaiting coroutine's executor, never behind the writes queued after this one. Whatever
  // `work` leaves uncommitted is rolled back before the next transaction starts, on every path.
  // `work` must touch nothing but the connection and what it was handed: it runs beside the
  // event loop. Let `work` capture by reference what the awaiting frame owns: a closure owning a
  // string, as a temporary of the co_await expression, was seen destroyed twice (GCC 12).
  template <class Work>
  boost::asio::awaitable<std::invoke_result_t<Work&, Connection&>> write(Work work) {
    co_return co_await tasks::run_on(io_.get_executor(), [this, work = std::move(work)]() mutable {
      const EndOfWork end{connection_};
      return work(connection_);
    });
  }

 private:
  // Rolls back what a transaction left open, however it ended.
  struct EndOfWork {
    Connection& connection;
    ~EndOfWork();
  };

  boost::asio::io_context io_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_guard_;
  Connection connection_;
  std::thread thread_;
};

}  // namespace stratdesk::db
