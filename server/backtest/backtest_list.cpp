#include <optional>
#include <stdexcept>
#include <string>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "backtest/backtest.hpp"
#include "backtest/store.hpp"
#include "common/error.hpp"
#include "common/json_parse.hpp"
#include "common/py_text.hpp"
#include "common/timestamp.hpp"
#include "db/db.hpp"
#include "launch.hpp"
#include "log/log.hpp"

namespace stratdesk::backtest {
namespace {

namespace json = boost::json;

const std::string stars(10, '*');

std::string argument_list_text(const std::vector<std::string>& arguments) {
  json::array list;
  for (const auto& argument : arguments) {
    list.emplace_back(argument);
  }
  return common::display_form(list);
}

void publish_state(events::EventHub& hub, std::int64_t backtest_id, std::int64_t algorithm_id,
                   std::string_view state, json::value exception) {
  hub.publish(
      events::BacktestEvent{backtest_id, algorithm_id, json::string(state), std::move(exception)});
}

// A recorded backtest whose engine never started must not stay "executing": nothing would
// ever end it, and a running backtest cannot be deleted.
boost::asio::awaitable<void> abandon(db::Writer& writer, std::int64_t backtest_id,
                                     std::int64_t algorithm_id, const std::string& error,
                                     events::EventHub& hub) {
  log::logger().error("backtest {} could not be started: {}", backtest_id, error);
  try {
    co_await writer.write([backtest_id, &error](db::Connection& conn) {
      db::Transaction transaction(conn);
      store::set_stopped(conn, backtest_id, error);
      transaction.commit();
    });
    publish_state(hub, backtest_id, algorithm_id, "stopped", json::value(error));
  } catch (const std::exception& e) {
    log::logger().error("cannot set backtest {} stopped: {}", backtest_id, e.what());
  }
}

// Everything of a launch after the backtest row is committed.
void start_engine(const Dependencies& deps, std::int64_t backtest_id, std::int64_t algorithm_id,
                  const LaunchConfig& config, const json::object& parameters,
                  const std::string& code) {
  const std::string strategy_file =
      write_strategy_files(deps.settings.strategy_dir, backtest_id, code);
  const std::vector<std::string> cmd = build_engine_command(
      deps.settings.engine_script, strategy_file, config, parameters, backtest_id, algorithm_id);
  log::logger().info("{}", stars);
  log::logger().info("{}", argument_list_text(cmd));
  log::logger().info("{}", stars);
  deps.engines.start_kestrun(backtest_id, cmd);
}

}  // namespace

std::optional<common::Refusal> check_launch_config(const json::value& config) {
  log::logger().info("{}", common::display_form(config));
  if (auto message = validate(read_launch_config(config))) {
    return common::Refusal{common::ErrorKind::bad_request, std::string(*message)};
  }
  return std::nullopt;
}

boost::asio::awaitable<std::int64_t> launch_backtest(
    const Dependencies& deps, std::int64_t algorithm_id, const std::string& config_text,
    const json::object& parameters, const std::string& code, const std::string* comment,
    const AlsoRecord& also_record) {
  const LaunchConfig launch = read_launch_config(common::parse_json(config_text));
  const std::string run_at = common::shanghai_now();
  const std::int64_t backtest_id = co_await deps.writer.write(
      [algorithm_id, &config_text, &code, comment, &run_at, &also_record](db::Connection& conn) {
        db::Transaction transaction(conn);
        const std::int64_t id =
            store::record_launch(conn, algorithm_id, config_text, code, comment, run_at);
        if (also_record) {
          also_record(conn, id);
        }
        transaction.commit();
        return id;
      });
  publish_state(*deps.hub, backtest_id, algorithm_id, "executing", json::string());

  std::optional<std::string> start_failure;
  try {
    start_engine(deps, backtest_id, algorithm_id, launch, parameters, code);
  } catch (const std::exception& e) {
    start_failure = e.what();
  }
  if (start_failure) {
    co_await abandon(deps.writer, backtest_id, algorithm_id, *start_failure, *deps.hub);
    throw common::Error(
        common::ErrorKind::internal,
        "backtest " + std::to_string(backtest_id) + " could not be started: " + *start_failure);
  }
  co_return backtest_id;
}

boost::asio::awaitable<http::Response> BacktestList::get(http::Request& /*request*/,
                                                         std::int64_t algorithm_id) {
  auto read = [algorithm_id](db::Connection& conn) {
    db::Rows rows = store::of_algorithm(conn, algorithm_id);
    if (rows.empty()) {
      return json::array();
    }
    json::value name = nullptr;
    if (const auto algo = store::algorithm(conn, algorithm_id)) {
      if (const json::value* found = algo->if_contains("name")) {
        name = *found;
      }
    }
    for (db::Row& row : rows) {
      // A nameless algorithm gives its backtests no name at all rather than an empty one.
      if (is_true(name)) {
        row["algorithm_name"] = name;
      }
      row["final_portfolio"] = store::final_portfolio(conn, row.at("id").as_int64());
    }
    return db::to_array(std::move(rows));
  };
  co_return http::Response::json(co_await deps_.reads.read(read));
}

boost::asio::awaitable<http::Response> BacktestList::post(http::Request& request,
                                                          std::int64_t algorithm_id) {
  if (auto refusal = check_bundle(deps_.settings.bundle_dir)) {
    co_return http::Response::refusal(*refusal);
  }

  const std::string& config_text = request.required_form_value("config");
  const std::string& code = request.required_form_value("code");
  const json::value config = common::parse_json(config_text);
  const std::string* parameters_text = request.form_value("parameters");
  const json::value parameters = common::parse_json(parameters_text ? *parameters_text : "{}");
  if (!parameters.is_object()) {
    throw std::invalid_argument("the parameters are not a JSON object");
  }
  const std::string* comment = request.form_value("comment");
  if (auto refusal = check_launch_config(config)) {
    co_return http::Response::refusal(*refusal);
  }
  const std::int64_t backtest_id = co_await launch_backtest(deps_, algorithm_id, config_text,
                                                            parameters.get_object(), code, comment);
  co_return http::Response::json(json::object{{"id", backtest_id}});
}

}  // namespace stratdesk::backtest
