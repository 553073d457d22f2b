#include <string_view>

#include <boost/json/array.hpp>

#include "common/json_parse.hpp"
#include "sweeps/plan.hpp"
#include "sweeps/sweeps.hpp"

namespace stratdesk::sweeps {
namespace {

namespace json = boost::json;

// The text a run stopped on request ends with.
constexpr std::string_view stopped_by_request = "stopped by request";

enum class RunEnd { none, finished, failed, stopped };

RunEnd end_of(const store::Run& run) {
  if (!run.state || *run.state == "executing") {
    return RunEnd::none;
  }
  if (*run.state == "gone" || !run.exception.is_string()) {
    return RunEnd::failed;
  }
  const std::string_view exception = run.exception.get_string();
  if (exception.empty()) {
    return RunEnd::finished;
  }
  return exception == stopped_by_request ? RunEnd::stopped : RunEnd::failed;
}

json::value parsed_or_null(const std::optional<std::string>& text) {
  if (!text) {
    return nullptr;
  }
  boost::system::error_code ec;
  json::value value = common::parse_json(*text, ec);
  return ec ? json::value(nullptr) : value;
}

json::object run_view(const store::Run& run) {
  return {{"index", run.index},
          {"parameters", parsed_or_null(run.parameters)},
          {"backtest_id", run.backtest_id ? json::value(*run.backtest_id) : json::value(nullptr)},
          {"state", !run.state                  ? "pending"
                    : *run.state == "executing" ? "executing"
                                                : "stopped"},
          {"exception", run.backtest_id ? run.exception : json::value(nullptr)},
          {"summary", parsed_or_null(run.summary)}};
}

// Mean time of the ended runs times the runs left, spread over the places; null before an end.
json::value eta_seconds(const std::vector<store::Run>& runs, std::int64_t concurrency) {
  double spent = 0;
  std::size_t ended = 0;
  std::size_t left = 0;
  for (const store::Run& run : runs) {
    if (end_of(run) == RunEnd::none) {
      ++left;
    } else if (run.time_spent.is_number()) {
      spent += run.time_spent.to_number<double>();
      ++ended;
    }
  }
  if (ended == 0 || concurrency <= 0) {
    return nullptr;
  }
  return spent / static_cast<double>(ended) * static_cast<double>(left) /
         static_cast<double>(concurrency);
}

}  // namespace

json::object counts_of(const std::vector<store::Run>& runs) {
  std::int64_t pending = 0;
  std::int64_t executing = 0;
  std::int64_t finished = 0;
  std::int64_t failed = 0;
  std::int64_t stopped = 0;
  for (const store::Run& run : runs) {
    switch (end_of(run)) {
      case RunEnd::none:
        ++(run.state ? executing : pending);
        break;
      case RunEnd::finished:
        ++finished;
        break;
      case RunEnd::failed:
        ++failed;
        break;
      case RunEnd::stopped:
        ++stopped;
        break;
    }
  }
  return {{"pending", pending},
          {"executing", executing},
          {"finished", finished},
          {"failed", failed},
          {"stopped", stopped}};
}

std::string state_of(const std::vector<store::Run>& runs, bool stop_requested) {
  for (const store::Run& run : runs) {
    if (end_of(run) == RunEnd::none && (run.state || !stop_requested)) {
      return "running";
    }
  }
  return stop_requested ? "stopped" : "finished";
}

json::object sweep_view(const db::Row& sweep, const std::vector<store::Run>& runs, bool with_runs) {
  const bool stop_requested = sweep.at("stop_requested").as_int64() != 0;
  const std::string state = state_of(runs, stop_requested);
  json::object view{
      {"id", sweep.at("id")},
      {"algorithm_id", sweep.at("algorithm_id")},
      {"state", state},
      {"concurrency", sweep.at("concurrency")},
      {"objective", sweep.at("objective")},
      {"comment", sweep.at("comment")},
      {"created_at", sweep.at("created_at")},
      {"counts", counts_of(runs)},
      {"eta_seconds", state == "running" ? eta_seconds(runs, sweep.at("concurrency").as_int64())
                                         : json::value(nullptr)}};
  if (!with_runs) {
    return view;
  }
  json::array run_list;
  std::vector<json::value> summaries;
  summaries.reserve(runs.size());
  std::vector<RankedRun> finished;
  for (const store::Run& run : runs) {
    run_list.push_back(run_view(run));
    summaries.push_back(run_list.back().as_object().at("summary"));
  }
  for (std::size_t i = 0; i < runs.size(); ++i) {
    if (end_of(runs[i]) == RunEnd::finished) {
      finished.push_back({static_cast<std::size_t>(runs[i].index), &summaries[i]});
    }
  }
  const auto objective = objective_named(std::string_view(sweep.at("objective").as_string()))
                             .value_or(Objective::total_returns);
  json::array ranking;
  for (const std::size_t index : rank(std::move(finished), objective)) {
    ranking.push_back(static_cast<std::int64_t>(index));
  }
  view["runs"] = std::move(run_list);
  view["ranking"] = std::move(ranking);
  return view;
}

}  // namespace stratdesk::sweeps
