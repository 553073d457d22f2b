// The launch steps on their own: reading and validating a configuration, the engine command
// built from it, and the bundle check.
#include "launch.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include <boost/json/parse.hpp>

#include "log/log.hpp"
#include "test_support.hpp"

namespace stratdesk::backtest {
namespace {

namespace json = boost::json;
using Args = std::vector<std::string>;

LaunchConfig read(const char* config_json) {
  return read_launch_config(json::parse(config_json));
}

std::optional<std::string_view> validation_of(const char* config_json) {
  return validate(read(config_json));
}

Args command(const char* config_json, const char* parameters_json = "{}",
             std::int64_t backtest_id = 7, std::int64_t algorithm_id = 3) {
  return build_engine_command("/engine/kestrun-plus-script.py", "/s/7/strategy.py",
                              read(config_json), json::parse(parameters_json).as_object(),
                              backtest_id, algorithm_id);
}

// The options between the strategy file and the "-mc" settings.
Args option_groups(const Args& cmd) {
  return Args(cmd.begin() + 8, cmd.end() - 9);
}

constexpr const char* valid =
    R"({"start_date": "2016-01-04", "end_date": "2016-12-30", "stock_starting_cash": 100000,)"
    R"( "frequency": "1d", "securities": "stock")";

std::string with(const char* extra) {
  return std::string(valid) + ", " + extra + "}";
}

class LaunchSteps : public ::testing::Test {
 protected:
  LaunchSteps() { log::init(dir_.file("launch.log")); }
  test::TempDir dir_;
};

TEST_F(LaunchSteps, ValidationAppliesItsRulesInOrder) {
  EXPECT_EQ(validation_of(R"({"end_date": "x"})"), "回测开始日期没设置") << "first rule wins";
  EXPECT_EQ(validation_of(R"({"start_date": "", "end_date": "x"})"), "回测开始日期没设置");
  EXPECT_EQ(validation_of(R"({"start_date": "a"})"), "回测结束日期没设置");
  EXPECT_EQ(validation_of(R"({"start_date": "a", "end_date": "b", "stock_starting_cash": 0,)"
                          R"( "future_starting_cash": 0.0})"),
            "初始资金设置不正确");
  EXPECT_EQ(validation_of(R"({"start_date": "a", "end_date": "b", "stock_starting_cash": 0,)"
                          R"( "future_starting_cash": 5, "securities": "s"})"),
            "回测周期没设置");
  EXPECT_EQ(validation_of(R"({"start_date": "a", "end_date": "b", "future_starting_cash": 5,)"
                          R"( "frequency": "1d", "securities": []})"),
            "回测标的没设置");
  EXPECT_EQ(validation_of((std::string(valid) + "}").c_str()), std::nullopt);
  EXPECT_EQ(validate(read_launch_config(json::parse("[1, 2]"))), "回测开始日期没设置")
      << "not an object";
}

TEST_F(LaunchSteps, TheWorkedExampleGivesTheWholeCommand) {
  const Args expected = {"/engine/kestrun-plus-script.py",
                         "run",
                         "-s",
                         "2016-01-04",
                         "-e",
                         "2016-12-30",
                         "-f",
                         "/s/7/strategy.py",
                         "--account",
                         "stock",
                         "100000",
                         "--frequency",
                         "1d",
                         "--benchmark",
                         "000300.XSHG",
                         "--signal",
                         "-mc",
                         "tarnel.enabled",
                         "True",
                         "-mc",
                         "tarnel.backtest_id",
                         "7",
                         "-mc",
                         "tarnel.algorithm_id",
                         "3"};
  EXPECT_EQ(command(with(R"("benchmark": "000300.XSHG", "matching_type": "signal")").c_str()),
            expected);
}

TEST_F(LaunchSteps, OptionGroupsFollowTheirConditionsAndDisplayForms) {
  EXPECT_EQ(option_groups(command(
                R"({"start_date": "a", "end_date": "b", "stock_starting_cash": 0,)"
                R"( "future_starting_cash": 100000.0, "frequency": "1m", "securities": ["x"]})")),
            (Args{"--account", "future", "100000.0", "--frequency", "1m"}))
      << "a zero cash leaves its account out; securities never reach the engine";
  EXPECT_EQ(option_groups(command(with(R"("slippage": 0.00001, "commission_multiplier": 0,)"
                                       R"( "margin_multiplier": 0.0001, "benchmark": "",)"
                                       R"( "matching_type": "next_bar", "position": "p")")
                                      .c_str())),
            (Args{"--account", "stock", "100000", "--position", "p", "--frequency", "1d",
                  "--commission-multiplier", "0", "--margin-multiplier", "0.0001",
                  "--matching-type", "next_bar", "--slippage", "1e-05"}));
  EXPECT_EQ(option_groups(command(with(R"("matching_type": "", "position": null,)"
                                       R"( "enable_profiler": 1, "enable_short_stock": true,)"
                                       R"( "dividend_reinvestment": [0])")
                                      .c_str())),
            (Args{"--account", "stock", "100000", "--frequency", "1d", "--enable-profiler",
                  "--short-stock", "--dividend-reinvestment"}));

  const Args with_parameters = command(with("\"x\": 1").c_str(), R"({"window": 20, "on": true})");
  EXPECT_EQ(Args(with_parameters.end() - 13, with_parameters.end() - 9),
            (Args{"--parameter-in", "window:20", "--parameter-in", "on:True"}));
}

TEST_F(LaunchSteps, TheReportDirectoryIsMadePerBacktestAndTextValuesMustBeTexts) {
  const std::string reports = dir_.file("reports");
  const std::string config = with(("\"report_dir\": \"" + reports + "/\"").c_str());
  const Args cmd = command(config.c_str(), "{}", 12);
  EXPECT_EQ(Args(cmd.end() - 11, cmd.end() - 9), (Args{"--report", reports + "/12"}));
  EXPECT_TRUE(std::filesystem::is_directory(reports + "/12"));

  try {
    command(with(R"("position": 5)").c_str());
    ADD_FAILURE() << "a number was handed on as a text";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "\"position\" must be a text, not 5");
  }
  EXPECT_THROW(command(R"({"start_date": "a", "end_date": "b", "stock_starting_cash": 1,)"
                       R"( "frequency": ["1d"], "securities": "s"})"),
               std::invalid_argument);
}

TEST_F(LaunchSteps, TheBundleCheckRefusesAMissingOrEmptyDirectoryAsAConflict) {
  const std::string bundle = dir_.file("bundle");
  auto refusal = check_bundle(bundle);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->kind, common::ErrorKind::conflict);
  EXPECT_EQ(refusal->text, "bundle路径 " + bundle + " 找不到,请检查是否下载了bundle数据");

  std::filesystem::create_directories(bundle);
  refusal = check_bundle(bundle);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->text, "bundle" + bundle + " 目录是空的,请检查是否下载了bundle数据");

  test::write_file(bundle + "/data", "x");
  EXPECT_FALSE(check_bundle(bundle));
}

}  // namespace
}  // namespace stratdesk::backtest
