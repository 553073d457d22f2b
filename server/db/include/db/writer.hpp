#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "db/connection.hpp"
#include "db/db.hpp"
#include "tasks/run_on.hpp"

namespace stratdesk::db {

// The one thread and connection that every write transaction of the server runs on, in the
// order asked. With a single writer no transaction of ours waits in SQLite's busy wait behind
// another, and the event loop never waits for a write: readers keep their own connections and,
// in WAL mode, never wait for the writer.
class Writer {
 public:
  // How the writer spent its time, for benchmarks and the shutdown log line. A wait for work
  // of `pause` or longer means there was no load; shorter ones are the writer starved under load.
  struct Statistics {
    std::uint64_t transactions = 0;    // commits asked for, grouped or not
    std::uint64_t groups = 0;          // transactions made of grouped writes
    std::uint64_t grouped_writes = 0;  // grouped writes stored in them
    std::chrono::nanoseconds starved{0};
    std::chrono::nanoseconds under_load{0};  // lifetime less the pauses
  };
  static constexpr std::chrono::milliseconds pause{100};

  // Opens the writer's connection to `database` (throws Error when it cannot) and starts its
  // thread.
  explicit Writer(const Database& database);
  // Runs every transaction already asked for, then stops the thread.
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Runs `work(connection)` on the writer's thread, in a transaction of its own, and resumes
  // the awaiting coroutine on its own executor with what `work` returned, or with what it
  // threw. The answer goes straight back to the awaiting coroutine's executor, never behind the
  // writes queued after this one. Whatever `work` leaves uncommitted is rolled back before the
  // next transaction starts, on every path. `work` must touch nothing but the connection and
  // what it was handed: it runs beside the event loop. Let `work` capture by reference what the
  // awaiting frame owns: a closure owning a string, as a temporary of the co_await expression,
  // was seen destroyed twice (GCC 12).
  template <class Work>
  boost::asio::awaitable<std::invoke_result_t<Work&, Connection&>> write(Work work) {
    co_return co_await submit(std::move(work), Kind::alone, 0);
  }

  // As write(), for many small inserts that may share one transaction: when grouped writes are
  // queued one behind another, the writer stores several of them (up to `max_group_rows` rows
  // by their `rows`) in one transaction, each in a savepoint of its own, and answers them all
  // once the COMMIT has returned. A write that throws has its own savepoint rolled back and
  // gets its exception, as alone. `work` must not commit: the writer does. It may be run a
  // second time, alone, when a failure of another write or of the COMMIT takes the whole
  // transaction with it; each run starts from nothing it stored before.
  template <class Work>
  boost::asio::awaitable<std::invoke_result_t<Work&, Connection&>> write_grouped(Work work,
                                                                                 std::size_t rows) {
    co_return co_await submit(std::move(work), Kind::grouped, rows);
  }

  [[nodiscard]] Statistics statistics() const;

  // Rows past which no further write joins a group: with every write answered only after its
  // group commits, a group of this size keeps a POST's extra wait to a few tens of milliseconds.
  static constexpr std::size_t max_group_rows = 10000;

 private:
  enum class Kind { alone, grouped };

  // A write queued for the writer's thread: its work, and the way back to who waits for it.
  class Job {
   public:
    Job(Kind kind, std::size_t rows) : kind_(kind), rows_(rows) {}
    virtual ~Job() = default;
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;
    // Runs the work on `c`, keeping what it returned or threw.
    virtual void run(Connection& c) noexcept = 0;
    [[nodiscard]] virtual bool failed() const noexcept = 0;
    virtual void fail(std::exception_ptr error) noexcept = 0;
    // Hands what was kept back to the waiting coroutine; called once, last.
    virtual void answer() = 0;
    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    [[nodiscard]] std::size_t rows() const noexcept { return rows_; }

   private:
    Kind kind_;
    std::size_t rows_;
  };

  template <class Work, class Resumption>
  class JobFor final : public Job {
   public:
    using Result = std::invoke_result_t<Work&, Connection&>;
    JobFor(Kind kind, std::size_t rows, Work work, Resumption resumption)
        : Job(kind, rows), work_(std::move(work)), resumption_(std::move(resumption)) {}
    void run(Connection& c) noexcept override {
      auto call = [this, &c]() -> Result { return work_(c); };
      outcome_.capture(call);
    }
    [[nodiscard]] bool failed() const noexcept override { return outcome_.failed(); }
    void fail(std::exception_ptr error) noexcept override { outcome_.fail(std::move(error)); }
    void answer() override { std::move(resumption_)(std::move(outcome_)); }

   private:
    Work work_;
    Resumption resumption_;
    tasks::Outcome<Result> outcome_;
  };

  using Jobs = std::vector<std::unique_ptr<Job>>;

  template <class Work>
  boost::asio::awaitable<std::invoke_result_t<Work&, Connection&>> submit(Work work, Kind kind,
                                                                          std::size_t rows) {
    using Result = std::invoke_result_t<Work&, Connection&>;
    co_return co_await tasks::await_handoff<Result>(
        [this, kind, rows, work = std::move(work)](auto resumption) mutable {
          enqueue(std::make_unique<JobFor<Work, decltype(resumption)>>(kind, rows, std::move(work),
                                                                       std::move(resumption)));
        });
  }

  void enqueue(std::unique_ptr<Job> job);
  // The next job, with the grouped jobs queued right behind it when it is grouped; empty once
  // the writer is stopping and nothing is left.
  Jobs take_next();
  void serve();
  void run_alone(Job& job);
  void run_grouped_alone(Job& job);
  void run_group(const Jobs& group);
  // Stores the whole group in the open transaction, each job in a savepoint of its own; false
  // when a job's failure took the transaction with it.
  bool store_group(const Jobs& group);
  void roll_back_quietly() noexcept;

  Connection connection_;
  mutable std::mutex mutex_;
  std::condition_variable queued_;
  std::deque<std::unique_ptr<Job>> queue_;
  bool stopping_ = false;
  Statistics statistics_;               // guarded by mutex_
  std::chrono::nanoseconds paused_{0};  // guarded by mutex_
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::thread thread_;
};

}  // namespace stratdesk::db
