#include "sweeps/plan.hpp"

#include <gtest/gtest.h>

#include <string>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

namespace stratdesk::sweeps {
namespace {

namespace json = boost::json;

Grid grid_of(std::string_view text) {
  auto read = read_grid(text);
  EXPECT_TRUE(std::holds_alternative<Grid>(read)) << text;
  return std::holds_alternative<Grid>(read) ? std::get<Grid>(read) : Grid{};
}

std::string refusal_of(std::string_view grid_text) {
  const auto read = read_grid(grid_text);
  if (!std::holds_alternative<common::Refusal>(read)) {
    return "accepted";
  }
  EXPECT_EQ(std::get<common::Refusal>(read).kind, common::ErrorKind::bad_request);
  return std::get<common::Refusal>(read).text;
}

TEST(SweepGrid, RunsAreTheProductInObjectOrderWithTheLastNameFastest) {
  const Grid grid = grid_of(R"({"slow": [5, 10], "fast": ["a", "b", "c"], "flag": [true]})");
  ASSERT_EQ(grid.combinations(), 6u);
  const json::object base{{"fast", "base"}, {"kept", 1}};
  std::vector<std::string> runs;
  for (std::size_t i = 0; i < grid.combinations(); ++i) {
    runs.push_back(json::serialize(grid.parameters_of(base, i)));
  }
  EXPECT_EQ(runs.front(), R"({"fast":"a","kept":1,"slow":5,"flag":true})");
  EXPECT_EQ(runs[1], R"({"fast":"b","kept":1,"slow":5,"flag":true})");
  EXPECT_EQ(runs[3], R"({"fast":"a","kept":1,"slow":10,"flag":true})");
  EXPECT_EQ(runs.back(), R"({"fast":"c","kept":1,"slow":10,"flag":true})");
}

TEST(SweepGrid, EveryMalformedGridIsRefusedNamingItsProblem) {
  EXPECT_NE(refusal_of("[1, 2]").find("JSON object"), std::string::npos);
  EXPECT_NE(refusal_of("{").find("JSON object"), std::string::npos);
  EXPECT_NE(refusal_of("{}").find("at least one"), std::string::npos);
  EXPECT_NE(refusal_of(R"({"n": []})").find("'n'"), std::string::npos);
  EXPECT_NE(refusal_of(R"({"n": 3})").find("non-empty array"), std::string::npos);
  for (const char* value : {R"({"a": 1})", "[1]", "null"}) {
    const std::string grid = std::string(R"({"n": [1, )") + value + "]}";
    EXPECT_NE(refusal_of(grid).find("'n' takes"), std::string::npos) << grid;
  }
  std::string hundred = "[";
  for (int i = 0; i < 100; ++i) {
    hundred += (i == 0 ? "" : ",") + std::to_string(i);
  }
  hundred += "]";
  EXPECT_EQ(refusal_of(R"({"a": )" + hundred + R"(, "b": )" + hundred + "}"), "accepted");
  EXPECT_NE(refusal_of(R"({"a": )" + hundred + R"(, "b": )" + hundred + R"(, "c": [1, 2]})")
                .find("more than 10000"),
            std::string::npos);
}

TEST(SweepSettings, ConcurrencyObjectiveAndBaseParameters) {
  EXPECT_EQ(std::get<std::int64_t>(read_concurrency(nullptr)), 2);
  const std::string sixty_four = "64";
  EXPECT_EQ(std::get<std::int64_t>(read_concurrency(&sixty_four)), 64);
  for (const std::string bad : {"0", "65", "-1", "2.5", "", "two"}) {
    EXPECT_TRUE(std::holds_alternative<common::Refusal>(read_concurrency(&bad))) << bad;
  }
  EXPECT_EQ(std::get<Objective>(read_objective(nullptr)), Objective::total_returns);
  const std::string sharpe = "sharpe";
  EXPECT_EQ(std::get<Objective>(read_objective(&sharpe)), Objective::sharpe);
  const std::string unknown = "profit";
  EXPECT_NE(std::get<common::Refusal>(read_objective(&unknown)).text.find("max_drawdown"),
            std::string::npos);
  for (Objective objective : {Objective::total_returns, Objective::volatility}) {
    EXPECT_EQ(objective_named(name_of(objective)), objective);
  }
  const std::string list = "[1]";
  EXPECT_TRUE(std::holds_alternative<common::Refusal>(read_base_parameters(&list)));
  EXPECT_TRUE(std::get<json::object>(read_base_parameters(nullptr)).empty());
}

TEST(SweepRanking, BestFirstByTheObjectiveAndRunsWithoutItLast) {
  const json::value summaries = json::parse(R"([
    {"total_returns": 0.1, "max_drawdown": -0.30, "volatility": 0.2},
    {"total_returns": null, "max_drawdown": -0.05, "volatility": 0.1},
    {"total_returns": 0.4, "max_drawdown": 0.10, "volatility": 0.3},
    null,
    {"total_returns": 0.4, "max_drawdown": -0.20}
  ])");
  std::vector<RankedRun> runs;
  for (std::size_t i = 0; i < summaries.as_array().size(); ++i) {
    runs.push_back({i * 10, &summaries.as_array()[i]});
  }
  EXPECT_EQ(rank(runs, Objective::total_returns), (std::vector<std::size_t>{20, 40, 0, 10, 30}));
  EXPECT_EQ(rank(runs, Objective::max_drawdown), (std::vector<std::size_t>{10, 20, 40, 0, 30}));
  EXPECT_EQ(rank(runs, Objective::volatility), (std::vector<std::size_t>{10, 0, 20, 30, 40}));
}

}  // namespace
}  // namespace stratdesk::sweeps
