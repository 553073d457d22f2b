#include "sweeps/plan.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

#include "common/json_parse.hpp"
#include "common/json_text.hpp"

namespace stratdesk::sweeps {
namespace {

namespace json = boost::json;

common::Refusal bad_request(std::string text) {
  return common::Refusal{common::ErrorKind::bad_request, std::move(text)};
}

bool is_grid_value(const json::value& value) {
  return value.is_number() || value.is_string() || value.is_bool();
}

constexpr std::array<std::pair<Objective, std::string_view>, 7> objective_names = {{
    {Objective::total_returns, "total_returns"},
    {Objective::annualized_returns, "annualized_returns"},
    {Objective::sharpe, "sharpe"},
    {Objective::sortino, "sortino"},
    {Objective::information_ratio, "information_ratio"},
    {Objective::max_drawdown, "max_drawdown"},
    {Objective::volatility, "volatility"},
}};

// How good a run is by `objective`, larger is better; nullopt when its summary has no number
// for it.
std::optional<double> merit(const json::value* summary, Objective objective) {
  const json::object* fields = summary == nullptr ? nullptr : summary->if_object();
  const json::value* value = fields == nullptr ? nullptr : fields->if_contains(name_of(objective));
  if (value == nullptr || !value->is_number()) {
    return std::nullopt;
  }
  const double number = value->to_number<double>();
  if (std::isnan(number)) {
    return std::nullopt;
  }
  switch (objective) {
    case Objective::max_drawdown:
      return -std::fabs(number);
    case Objective::volatility:
      return -number;
    default:
      return number;
  }
}

}  // namespace

std::size_t Grid::combinations() const {
  std::size_t product = 1;
  for (const auto& [name, values] : axes) {
    product *= values.size();
  }
  return product;
}

json::object Grid::parameters_of(const json::object& base, std::size_t index) const {
  std::vector<std::size_t> positions(axes.size());
  for (std::size_t axis = axes.size(); axis-- > 0;) {
    positions[axis] = index % axes[axis].second.size();
    index /= axes[axis].second.size();
  }
  json::object parameters = base;
  for (std::size_t axis = 0; axis < axes.size(); ++axis) {
    parameters[axes[axis].first] = axes[axis].second[positions[axis]];
  }
  return parameters;
}

std::variant<Grid, common::Refusal> read_grid(std::string_view text) {
  boost::system::error_code ec;
  const json::value parsed = common::parse_json(text, ec);
  if (ec || !parsed.is_object()) {
    return bad_request("grid must be a JSON object of parameter names to arrays of values");
  }
  Grid grid;
  std::size_t combinations = 1;
  for (const auto& [name, values] : parsed.get_object()) {
    const std::string key(name);
    if (!values.is_array() || values.get_array().empty()) {
      return bad_request("grid: the values of '" + key + "' must be a non-empty array");
    }
    for (const json::value& value : values.get_array()) {
      if (!is_grid_value(value)) {
        return bad_request("grid: '" + key + "' takes " + common::to_json_text(value) +
                           ", but a value must be a number, a text or a boolean");
      }
    }
    const std::size_t size = values.get_array().size();
    if (size > max_combinations / combinations) {
      return bad_request("grid: more than " + std::to_string(max_combinations) + " combinations");
    }
    combinations *= size;
    grid.axes.emplace_back(
        key, std::vector<json::value>(values.get_array().begin(), values.get_array().end()));
  }
  if (grid.axes.empty()) {
    return bad_request("grid must name at least one parameter");
  }
  return grid;
}

std::variant<json::object, common::Refusal> read_base_parameters(const std::string* text) {
  if (text == nullptr || text->empty()) {
    return json::object{};
  }
  boost::system::error_code ec;
  json::value parsed = common::parse_json(*text, ec);
  if (ec || !parsed.is_object()) {
    return bad_request("parameters must be a JSON object");
  }
  return std::move(parsed.get_object());
}

std::variant<std::int64_t, common::Refusal> read_concurrency(const std::string* text) {
  if (text == nullptr) {
    return default_concurrency;
  }
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (text->empty() || ec != std::errc{} || end != text->data() + text->size() || value < 1 ||
      value > max_concurrency) {
    return bad_request("concurrency must be an integer from 1 to " +
                       std::to_string(max_concurrency) + ", not '" + *text + "'");
  }
  return value;
}

std::variant<Objective, common::Refusal> read_objective(const std::string* text) {
  if (text == nullptr) {
    return Objective::total_returns;
  }
  if (const auto objective = objective_named(*text)) {
    return *objective;
  }
  std::string names;
  for (const auto& [objective, name] : objective_names) {
    names += (names.empty() ? "" : ", ") + std::string(name);
  }
  return bad_request("objective must be one of " + names + ", not '" + *text + "'");
}

std::string_view name_of(Objective objective) {
  for (const auto& [known, name] : objective_names) {
    if (known == objective) {
      return name;
    }
  }
  return {};
}

std::optional<Objective> objective_named(std::string_view name) {
  for (const auto& [objective, known] : objective_names) {
    if (known == name) {
      return objective;
    }
  }
  return std::nullopt;
}

std::vector<std::size_t> rank(std::vector<RankedRun> runs, Objective objective) {
  std::vector<std::pair<std::optional<double>, std::size_t>> scored;
  scored.reserve(runs.size());
  for (const RankedRun& run : runs) {
    scored.emplace_back(merit(run.summary, objective), run.index);
  }
  std::stable_sort(scored.begin(), scored.end(), [](const auto& a, const auto& b) {
    if (a.first.has_value() != b.first.has_value()) {
      return a.first.has_value();
    }
    if (a.first && *a.first != *b.first) {
      return *a.first > *b.first;
    }
    return a.second < b.second;
  });
  std::vector<std::size_t> order;
  order.reserve(scored.size());
  for (const auto& [score, index] : scored) {
    order.push_back(index);
  }
  return order;
}

}  // namespace stratdesk::sweeps
