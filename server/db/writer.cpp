#include "db/writer.hpp"

#include "log/log.hpp"

namespace stratdesk::db {

Writer::Writer(const Database& database) : connection_(database.open_connection()) {
  thread_ = std::thread([this] { serve(); });
}

Writer::~Writer() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  queued_.notify_one();
  thread_.join();
}

Writer::Statistics Writer::statistics() const {
  const std::lock_guard lock(mutex_);
  Statistics statistics = statistics_;
  statistics.under_load = std::chrono::steady_clock::now() - started_ - paused_;
  return statistics;
}

void Writer::enqueue(std::unique_ptr<Job> job) {
  {
    const std::lock_guard lock(mutex_);
    queue_.push_back(std::move(job));
  }
  queued_.notify_one();
}

Writer::Jobs Writer::take_next() {
  std::unique_lock lock(mutex_);
  if (queue_.empty() && !stopping_) {
    const auto idle_since = std::chrono::steady_clock::now();
    queued_.wait(lock, [this] { return !queue_.empty() || stopping_; });
    const auto waited = std::chrono::steady_clock::now() - idle_since;
    (waited < pause && !queue_.empty() ? statistics_.starved : paused_) += waited;
  }
  Jobs jobs;
  if (queue_.empty()) {
    return jobs;
  }
  jobs.push_back(std::move(queue_.front()));
  queue_.pop_front();
  if (jobs.front()->kind() == Kind::grouped) {
    // Only what is already queued joins: a write never waits for others to arrive.
    std::size_t rows = jobs.front()->rows();
    while (!queue_.empty() && queue_.front()->kind() == Kind::grouped &&
           rows + queue_.front()->rows() <= max_group_rows) {
      rows += queue_.front()->rows();
      jobs.push_back(std::move(queue_.front()));
      queue_.pop_front();
    }
    statistics_.groups += 1;
    statistics_.grouped_writes += jobs.size();
  }
  statistics_.transactions += 1;
  return jobs;
}

void Writer::serve() {
  for (Jobs jobs = take_next(); !jobs.empty(); jobs = take_next()) {
    if (jobs.front()->kind() == Kind::alone) {
      run_alone(*jobs.front());
    } else if (jobs.size() == 1) {
      run_grouped_alone(*jobs.front());
    } else {
      run_group(jobs);
    }
    // Nobody is answered before the transaction holding their rows is on disk.
    for (const auto& job : jobs) {
      try {
        job->answer();
      } catch (const std::exception& error) {
        // Only memory can run out here; the writer goes on for everyone else.
        log::logger().error("database writer: an answer could not be handed back: {}",
                            error.what());
      }
    }
  }
  const Statistics totals = statistics();
  log::logger().info(
      "database writer: {} transactions, {} grouped writes in {} groups; waited for work {:.1f}% "
      "of {:.1f} s under load",
      totals.transactions, totals.grouped_writes, totals.groups,
      totals.under_load.count() > 0 ? 100.0 * static_cast<double>(totals.starved.count()) /
                                          static_cast<double>(totals.under_load.count())
                                    : 0.0,
      std::chrono::duration<double>(totals.under_load).count());
}

void Writer::run_alone(Job& job) {
  job.run(connection_);
  roll_back_quietly();
}

void Writer::run_grouped_alone(Job& job) {
  try {
    Transaction transaction(connection_);
    job.run(connection_);
    if (!job.failed()) {
      transaction.commit();
    }
  } catch (...) {
    job.fail(std::current_exception());
  }
}

void Writer::run_group(const Jobs& group) {
  bool committed = false;
  try {
    Transaction transaction(connection_);
    if (store_group(group)) {
      transaction.commit();
      committed = true;
    }
  } catch (const std::exception& error) {
    log::logger().warning("database writer: a group of {} writes could not be committed: {}",
                          group.size(), error.what());
  }
  if (committed) {
    return;
  }
  // The transaction is gone with every write it held: store each again on its own, so that
  // each gets the answer it would have had alone. A write that failed on its own keeps its
  // failure (and has already said so).
  for (const auto& job : group) {
    if (!job->failed()) {
      run_grouped_alone(*job);
    }
  }
}

bool Writer::store_group(const Jobs& group) {
  for (const auto& job : group) {
    Transaction write(connection_);
    job->run(connection_);
    if (!job->failed()) {
      write.commit();
    } else if (!connection_.in_transaction()) {
      // Some failures (a full disk, an I/O error) end the whole transaction in SQLite.
      return false;
    }
  }
  return true;
}

void Writer::roll_back_quietly() noexcept {
  if (!connection_.in_transaction()) {
    return;
  }
  try {
    connection_.rollback();
  } catch (const std::exception& error) {
    // The connection is the writer's only one: a failed roll-back would leave every later
    // transaction inside this one, so say so loudly.
    log::logger().error("database writer: roll-back failed: {}", error.what());
  }
}

}  // namespace stratdesk::db
