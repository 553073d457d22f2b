#include <chrono>
#include <exception>
#include <utility>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "common/error.hpp"
#include "common/json_parse.hpp"
#include "common/json_text.hpp"
#include "db/db.hpp"
#include "events/events.hpp"
#include "log/log.hpp"
#include "sweeps/sweeps.hpp"

namespace stratdesk::sweeps {
namespace {

namespace asio = boost::asio;
namespace json = boost::json;

// How often running sweeps are looked at between wake-ups: the latest a place freed by a run's
// end is filled. Without a running sweep the scheduler sleeps until woken.
constexpr auto running_pause = std::chrono::milliseconds(200);

// What one look at a sweep reads.
struct SweepState {
  std::optional<store::LaunchSettings> settings;
  std::vector<store::Run> runs;
};

// The task owns the scheduler: a lambda's captures would die with the lambda, before its frame.
asio::awaitable<void> keep_running(std::shared_ptr<Scheduler> scheduler) {
  co_await scheduler->run();
}

bool has_ended(const store::Run& run) {
  return run.state && *run.state != "executing";
}

}  // namespace

Scheduler::Scheduler(asio::any_io_executor executor, backtest::Dependencies launches,
                     std::int64_t max_running)
    : executor_(std::move(executor)),
      launches_(std::move(launches)),
      max_running_(max_running),
      pause_(executor_) {}

void Scheduler::start(tasks::TaskGroup& tasks) {
  tasks.spawn(executor_, "the sweep scheduler", keep_running(shared_from_this()));
}

void Scheduler::wake() {
  woken_ = true;
  pause_.cancel();
}

asio::awaitable<void> Scheduler::run() {
  for (;;) {
    bool running = false;
    try {
      running = co_await pass();
    } catch (const std::exception& e) {
      // A locked or full database now is usually fine at the next look.
      log::logger().error("sweep scheduler pass failed: {}", e.what());
      running = true;
    }
    // A wake-up during the pass may concern what the pass had already read.
    if (std::exchange(woken_, false)) {
      continue;
    }
    if (running) {
      pause_.expires_after(running_pause);
    } else {
      pause_.expires_at(asio::steady_timer::time_point::max());
    }
    co_await pause_.async_wait(asio::as_tuple(asio::use_awaitable));
    woken_ = false;
    if ((co_await asio::this_coro::cancellation_state).cancelled() !=
        asio::cancellation_type::none) {
      co_return;
    }
  }
}

asio::awaitable<bool> Scheduler::pass() {
  auto read_running = [](db::Connection& c) { return store::running(c); };
  const std::vector<std::int64_t> sweeps = co_await launches_.reads.read(read_running);
  // The places taken by every running sweep's executing runs, before any of them starts more.
  std::int64_t executing_total = 0;
  for (const std::int64_t id : sweeps) {
    auto read_runs = [id](db::Connection& c) { return store::runs_of(c, id); };
    for (const store::Run& run : co_await launches_.reads.read(read_runs)) {
      executing_total += run.state && *run.state == "executing" ? 1 : 0;
    }
  }
  for (const std::int64_t id : sweeps) {
    co_await advance(id, executing_total);
  }
  co_return !sweeps.empty();
}

asio::awaitable<void> Scheduler::advance(std::int64_t sweep_id, std::int64_t& executing_total) {
  auto read = [sweep_id](db::Connection& c) {
    return SweepState{store::launch_settings(c, sweep_id), store::runs_of(c, sweep_id)};
  };
  SweepState sweep = co_await launches_.reads.read(read);
  if (!sweep.settings) {
    co_return;  // deleted meanwhile
  }
  std::int64_t executing = 0;
  for (const store::Run& run : sweep.runs) {
    if (!run.state || *run.state != "executing") {
      continue;
    }
    ++executing;
    if (sweep.settings->stop_requested && stops_sent_.insert(*run.backtest_id).second) {
      launches_.engines.stop_kestrun(*run.backtest_id);
    }
  }
  if (!sweep.settings->stop_requested) {
    for (store::Run& run : sweep.runs) {
      if (executing >= sweep.settings->concurrency || executing_total >= max_running_) {
        break;
      }
      if (run.state) {
        continue;
      }
      if (!co_await launch(sweep_id, *sweep.settings, run)) {
        break;
      }
      if (run.state == "executing") {
        ++executing;
        ++executing_total;
      }
      publish(sweep_id, sweep.runs, sweep.settings->stop_requested);
    }
  }
  // Each ended run's summary, once, from what its engine posted; after the launches, so that a
  // freed place is filled first.
  for (store::Run& run : sweep.runs) {
    if (!has_ended(run) || run.summary || !run.backtest_id) {
      continue;
    }
    const std::int64_t backtest_id = *run.backtest_id;
    auto summarize = [backtest_id, &run](db::Connection& c) {
      return common::to_json_text(store::summary_of(c, backtest_id, run.time_spent));
    };
    std::string summary = co_await launches_.reads.read(summarize);
    co_await launches_.writer.write([sweep_id, &run, &summary](db::Connection& c) {
      db::Transaction transaction(c);
      store::store_summary(c, sweep_id, run.index, summary);
      transaction.commit();
    });
    run.summary = std::move(summary);
    stops_sent_.erase(backtest_id);
    publish(sweep_id, sweep.runs, sweep.settings->stop_requested);
  }
  const std::string state = state_of(sweep.runs, sweep.settings->stop_requested);
  if (state != "running") {
    co_await launches_.writer.write([sweep_id, &state](db::Connection& c) {
      db::Transaction transaction(c);
      store::set_state(c, sweep_id, state);
      transaction.commit();
    });
    log::logger().info("sweep {} {}", sweep_id, state);
    publish(sweep_id, sweep.runs, sweep.settings->stop_requested);
  }
}

asio::awaitable<bool> Scheduler::launch(std::int64_t sweep_id,
                                        const store::LaunchSettings& settings, store::Run& run) {
  const json::object parameters = common::parse_json(run.parameters).as_object();
  const std::int64_t index = run.index;
  // Linked in the launch's own transaction, so that a run is never launched twice; a sweep
  // deleted or stopped meanwhile launches nothing.
  const backtest::AlsoRecord link = [sweep_id, index](db::Connection& c, std::int64_t id) {
    const auto current = store::launch_settings(c, sweep_id);
    if (!current || current->stop_requested) {
      throw common::Error(common::ErrorKind::conflict,
                          "sweep " + std::to_string(sweep_id) + " was stopped or deleted");
    }
    store::link_run(c, sweep_id, index, id);
  };
  const std::string* comment = settings.comment ? &*settings.comment : nullptr;
  try {
    const std::int64_t backtest_id =
        co_await backtest::launch_backtest(launches_, settings.algorithm_id, settings.config,
                                           parameters, settings.code, comment, link);
    run.backtest_id = backtest_id;
    run.state = "executing";
    log::logger().info("sweep {} run {} launched as backtest {}", sweep_id, index, backtest_id);
  } catch (const common::Error& error) {
    if (error.kind() == common::ErrorKind::conflict) {
      co_return false;
    }
    // Recorded stopped with its error by the launch: the run has failed, the sweep goes on.
    log::logger().warning("sweep {} run {}: {}", sweep_id, index, error.what());
    run.state = "stopped";
    run.exception = error.what();
  }
  co_return true;
}

void Scheduler::publish(std::int64_t sweep_id, const std::vector<store::Run>& runs,
                        bool stop_requested) {
  launches_.hub->publish(
      events::SweepEvent{sweep_id, state_of(runs, stop_requested), counts_of(runs)});
}

}  // namespace stratdesk::sweeps
