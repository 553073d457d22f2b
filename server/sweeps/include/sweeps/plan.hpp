#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "common/error.hpp"

// A parameter sweep's plan: the grid of parameter values it runs a strategy over, how many of
// its runs execute at once, and what its runs are ranked by. Pure values, read from a request's
// fields and kept with the sweep.
namespace stratdesk::sweeps {

// Parameter name -> the values it takes, in the order the posted object gave them.
struct Grid {
  std::vector<std::pair<std::string, std::vector<boost::json::value>>> axes;

  // The number of runs: the product of the axes' sizes.
  [[nodiscard]] std::size_t combinations() const;
  // The parameters of run `index` (< combinations()): `base` with each axis's value set, the
  // last axis varying fastest.
  [[nodiscard]] boost::json::object parameters_of(const boost::json::object& base,
                                                  std::size_t index) const;
};

inline constexpr std::size_t max_combinations = 10000;

// The grid of a posted `grid` text: a JSON object of non-empty arrays whose values are numbers,
// texts or booleans, with at most max_combinations runs. Otherwise the refusal (bad_request)
// naming the problem.
std::variant<Grid, common::Refusal> read_grid(std::string_view text);

// The base parameters of a posted `parameters` text: a JSON object; an absent or empty field is
// none.
std::variant<boost::json::object, common::Refusal> read_base_parameters(const std::string* text);

inline constexpr std::int64_t default_concurrency = 2;
inline constexpr std::int64_t max_concurrency = 64;

// The posted `concurrency`: an integer from 1 to max_concurrency; absent, the default.
std::variant<std::int64_t, common::Refusal> read_concurrency(const std::string* text);

// What a sweep's finished runs are ranked by, each a value of a run's summary.
enum class Objective {
  total_returns,
  annualized_returns,
  sharpe,
  sortino,
  information_ratio,
  max_drawdown,  // the smallest loss first
  volatility,    // the smallest first
};

// The posted `objective`, by its name; absent, total_returns.
std::variant<Objective, common::Refusal> read_objective(const std::string* text);
[[nodiscard]] std::string_view name_of(Objective objective);
// The objective a stored name names; nullopt for any other text.
std::optional<Objective> objective_named(std::string_view name);

// A finished run as ranking sees it: its index and its summary (an object, or null).
struct RankedRun {
  std::size_t index = 0;
  const boost::json::value* summary = nullptr;
};

// The indexes of `runs` ordered by `objective`, best first; runs without a number for it come
// last; equal values keep index order.
std::vector<std::size_t> rank(std::vector<RankedRun> runs, Objective objective);

}  // namespace stratdesk::sweeps
