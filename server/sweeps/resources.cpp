#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <boost/json/array.hpp>

#include "cleanup/cleanup.hpp"
#include "common/error.hpp"
#include "common/json_parse.hpp"
#include "common/json_text.hpp"
#include "common/timestamp.hpp"
#include "db/db.hpp"
#include "events/events.hpp"
#include "log/log.hpp"
#include "sweeps/plan.hpp"
#include "sweeps/sweeps.hpp"

namespace stratdesk::sweeps {
namespace {

namespace asio = boost::asio;
namespace json = boost::json;

template <class Value>
const Value* value_or_refuse(const std::variant<Value, common::Refusal>& read,
                             std::optional<common::Refusal>& refusal) {
  if (const auto* refused = std::get_if<common::Refusal>(&read)) {
    refusal = *refused;
    return nullptr;
  }
  return &std::get<Value>(read);
}

http::Response unknown_sweep(std::int64_t id) {
  return http::Response::message(common::ErrorKind::not_found,
                                 "no sweep has id " + std::to_string(id));
}

// The sweep's row and runs, or nullopt when no sweep has that id.
struct Found {
  db::Row sweep;
  std::vector<store::Run> runs;
};

// A run that ended moments ago may not have its summary stored yet: it is read the way the
// scheduler is about to store it.
void fill_summaries(db::Connection& c, std::vector<store::Run>& runs) {
  for (store::Run& run : runs) {
    if (!run.summary && run.state && *run.state == "stopped") {
      run.summary = common::to_json_text(store::summary_of(c, *run.backtest_id, run.time_spent));
    }
  }
}

std::optional<Found> find(db::Connection& c, std::int64_t id) {
  auto sweep = store::find(c, id);
  if (!sweep) {
    return std::nullopt;
  }
  Found found{std::move(*sweep), store::runs_of(c, id)};
  fill_summaries(c, found.runs);
  return found;
}

// What a deletion did: nothing (no such sweep), the refusal map (a run executes), or the
// backtests it deleted.
struct Deletion {
  bool found = false;
  std::optional<json::object> refusal;
  std::vector<std::int64_t> backtests;
};

Deletion delete_sweep(db::Connection& c, std::int64_t id) {
  Deletion deletion;
  const auto found = find(c, id);
  if (!found) {
    return deletion;
  }
  deletion.found = true;
  for (const store::Run& run : found->runs) {
    if (run.state && *run.state == "executing") {
      deletion.refusal = cleanup::refusal_map();
      return deletion;
    }
  }
  // Launches are writes too: none can start a run between the look above and the deletion.
  db::Transaction transaction(c);
  for (const store::Run& run : found->runs) {
    // A run's backtest deleted on its own has nothing left to delete.
    if (run.backtest_id && run.state != "gone") {
      if (auto refusal = cleanup::delete_backtest(c, *run.backtest_id)) {
        deletion.refusal = std::move(refusal);
        deletion.backtests.clear();
        return deletion;  // nothing of the sweep is deleted
      }
      deletion.backtests.push_back(*run.backtest_id);
    }
  }
  store::delete_rows(c, id);
  transaction.commit();
  return deletion;
}

// <base>/algorithms/<int:algorithm_id>/sweeps: an algorithm's sweeps, and a new one.
class SweepList final {
 public:
  SweepList(backtest::Dependencies deps, std::shared_ptr<Scheduler> scheduler)
      : deps_(std::move(deps)), scheduler_(std::move(scheduler)) {}

  asio::awaitable<http::Response> get(http::Request& /*request*/, std::int64_t algorithm_id) {
    auto read = [algorithm_id](db::Connection& c) {
      json::array sweeps;
      for (const db::Row& sweep : store::of_algorithm(c, algorithm_id)) {
        sweeps.push_back(sweep_view(sweep, store::runs_of(c, sweep.at("id").as_int64()), false));
      }
      return sweeps;
    };
    co_return http::Response::json(co_await deps_.reads.read(read));
  }

  asio::awaitable<http::Response> post(http::Request& request, std::int64_t algorithm_id) {
    const std::string& config_text = request.required_form_value("config");
    const std::string& code = request.required_form_value("code");
    const std::string& grid_text = request.required_form_value("grid");
    if (auto refusal = backtest::check_launch_config(common::parse_json(config_text))) {
      co_return http::Response::refusal(*refusal);
    }
    std::optional<common::Refusal> refusal;
    const auto grid_read = read_grid(grid_text);
    const auto base_read = read_base_parameters(request.form_value("parameters"));
    const auto concurrency_read = read_concurrency(request.form_value("concurrency"));
    const auto objective_read = read_objective(request.form_value("objective"));
    const Grid* grid = value_or_refuse(grid_read, refusal);
    const json::object* base = value_or_refuse(base_read, refusal);
    const std::int64_t* concurrency = value_or_refuse(concurrency_read, refusal);
    const Objective* objective = value_or_refuse(objective_read, refusal);
    if (refusal) {
      co_return http::Response::message(refusal->kind, refusal->text);
    }
    store::NewSweep sweep{
        algorithm_id, *concurrency, std::string(name_of(*objective)), request.form_value("comment"),
        config_text,  code,         common::shanghai_now(),           {}};
    sweep.run_parameters.reserve(grid->combinations());
    for (std::size_t index = 0; index < grid->combinations(); ++index) {
      sweep.run_parameters.push_back(common::to_json_text(grid->parameters_of(*base, index)));
    }
    const std::int64_t id = co_await deps_.writer.write(
        [&sweep](db::Connection& c) { return store::create(c, sweep); });
    log::logger().info("sweep {} of algorithm {}: {} runs, {} at a time, ranked by {}", id,
                       algorithm_id, grid->combinations(), *concurrency, name_of(*objective));
    scheduler_->wake();
    co_return http::Response::json(
        json::object{{"id", id}, {"runs", static_cast<std::int64_t>(grid->combinations())}});
  }

 private:
  backtest::Dependencies deps_;
  std::shared_ptr<Scheduler> scheduler_;
};

// <base>/sweeps/<int:id>: one sweep, its stop and its deletion.
class Sweep final {
 public:
  Sweep(backtest::Dependencies deps, std::shared_ptr<Scheduler> scheduler)
      : deps_(std::move(deps)), scheduler_(std::move(scheduler)) {}

  asio::awaitable<http::Response> get(http::Request& /*request*/, std::int64_t id) {
    auto read = [id](db::Connection& c) { return find(c, id); };
    const auto found = co_await deps_.reads.read(read);
    if (!found) {
      co_return unknown_sweep(id);
    }
    co_return http::Response::json(sweep_view(found->sweep, found->runs, true));
  }

  asio::awaitable<http::Response> patch(http::Request& request, std::int64_t id) {
    const std::string* state = request.form_value("state");
    if (state == nullptr || *state != "stop") {
      co_return http::Response::message(common::ErrorKind::bad_request,
                                        "a sweep can only be stopped: send state=stop");
    }
    const bool found = co_await deps_.writer.write([id](db::Connection& c) {
      db::Transaction transaction(c);
      const bool exists = store::request_stop(c, id);
      transaction.commit();
      return exists;
    });
    if (!found) {
      co_return unknown_sweep(id);
    }
    log::logger().info("sweep {}: stop requested", id);
    scheduler_->wake();
    co_return http::Response::json(true);
  }

  asio::awaitable<http::Response> delete_(http::Request& /*request*/, std::int64_t id) {
    const Deletion deletion =
        co_await deps_.writer.write([id](db::Connection& c) { return delete_sweep(c, id); });
    if (!deletion.found) {
      co_return unknown_sweep(id);
    }
    if (deletion.refusal) {
      co_return http::Response::json(*deletion.refusal);
    }
    for (const std::int64_t backtest_id : deletion.backtests) {
      deps_.hub->publish(events::BacktestDeletedEvent{backtest_id});
    }
    cleanup::discard_strategy_folders(deps_.settings.strategy_dir, deletion.backtests);
    log::logger().info("sweep {} deleted with {} backtests", id, deletion.backtests.size());
    co_return http::Response::json(json::object{{"id", id}});
  }

 private:
  backtest::Dependencies deps_;
  std::shared_ptr<Scheduler> scheduler_;
};

}  // namespace

void register_api(http::Api& api, const std::string& base_uri, backtest::Dependencies deps,
                  std::shared_ptr<Scheduler> scheduler) {
  api.add<SweepList>(base_uri + "/algorithms/<int:algorithm_id>/sweeps", deps, scheduler);
  api.add<Sweep>(base_uri + "/sweeps/<int:id>", std::move(deps), std::move(scheduler));
}

}  // namespace stratdesk::sweeps
