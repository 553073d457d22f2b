#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "backtest/backtest.hpp"
#include "backtest/store.hpp"
#include "cleanup/cleanup.hpp"
#include "common/error.hpp"
#include "db/db.hpp"
#include "launch.hpp"
#include "log/log.hpp"

namespace stratdesk::backtest {
namespace {

namespace json = boost::json;

// The algorithm row of a backtest row. A backtest may outlive its algorithm, or have been
// launched for an id that never had one.
std::optional<db::Row> algorithm_of(db::Connection& conn, const db::Row& backtest) {
  const json::value* id = backtest.if_contains("algorithm_id");
  if (id == nullptr || !id->is_int64()) {
    return std::nullopt;
  }
  return store::algorithm(conn, id->get_int64());
}

// Sets "algorithm_name" when the algorithm row exists, whatever its name.
void add_algorithm_name(db::Connection& conn, db::Row& backtest) {
  if (const auto algo = algorithm_of(conn, backtest)) {
    if (const json::value* name = algo->if_contains("name")) {
      backtest["algorithm_name"] = *name;
    }
  }
}

}  // namespace

// Ids are reused once the highest backtest is deleted, and a later launch under the same id
// must not find the files of the earlier one beside its own.
void Backtest::discard_strategy_files(std::int64_t backtest_id) {
  if (deps_.settings.strategy_dir.empty()) {
    return;
  }
  try {
    remove_strategy_files(deps_.settings.strategy_dir, backtest_id);
  } catch (const std::exception& e) {
    // The row and its results are gone for good; the stray files are worth a warning only.
    log::logger().warning("cannot remove the strategy files of deleted backtest {}: {}",
                          backtest_id, e.what());
  }
}

boost::asio::awaitable<http::Response> Backtest::get(http::Request& /*request*/,
                                                     std::int64_t algorithm_id,
                                                     std::int64_t backtest_id) {
  auto read = [algorithm_id, backtest_id](db::Connection& conn) -> json::value {
    std::optional<db::Row> row = store::find(conn, algorithm_id, backtest_id);
    if (!row) {
      return nullptr;
    }
    add_algorithm_name(conn, *row);
    return std::move(*row);
  };
  co_return http::Response::json(co_await deps_.reads.read(read));
}

boost::asio::awaitable<http::Response> Backtest::patch(http::Request& request,
                                                       std::int64_t algorithm_id,
                                                       std::int64_t backtest_id) {
  if (const std::string* comment = request.form_value("comment")) {
    co_return http::Response::json(co_await update_comment(algorithm_id, backtest_id, *comment));
  }
  if (const std::string* state = request.form_value("state");
      state != nullptr && *state == "stop") {
    co_return http::Response::json(stop_algorithm(algorithm_id, backtest_id));
  }
  co_return http::Response::refusal({common::ErrorKind::forbidden, "无效的PATCH指令"});
}

boost::asio::awaitable<http::Response> Backtest::delete_(http::Request& /*request*/,
                                                         std::int64_t /*algorithm_id*/,
                                                         std::int64_t backtest_id) {
  auto refusal = co_await deps_.writer.write(
      [backtest_id](db::Connection& conn) { return cleanup::delete_backtest(conn, backtest_id); });
  if (refusal) {
    co_return http::Response::json(std::move(*refusal));
  }
  deps_.hub->publish(events::BacktestDeletedEvent{backtest_id});
  discard_strategy_files(backtest_id);
  co_return http::Response::json(json::object{{"id", backtest_id}});
}

boost::asio::awaitable<bool> Backtest::update_comment(std::int64_t algorithm_id,
                                                      std::int64_t backtest_id,
                                                      const std::string& comment) {
  co_await deps_.writer.write([algorithm_id, backtest_id, &comment](db::Connection& conn) {
    db::Transaction transaction(conn);
    store::set_comment(conn, algorithm_id, backtest_id, comment);
    transaction.commit();
  });
  co_return true;
}

bool Backtest::stop_algorithm(std::int64_t /*algorithm_id*/, std::int64_t backtest_id) {
  deps_.engines.stop_kestrun(backtest_id);
  return true;
}

boost::asio::awaitable<http::Response> BackTestListByCondition::get(http::Request& request) {
  const Arguments args = parse_arguments(request, {"state"});
  const json::value state = backtest::get(args, "state", "stopped");
  const bool executing = state.is_string() && state.get_string() == "executing";

  auto read = [&state, executing](db::Connection& conn) {
    db::Rows rows = store::in_state(conn, state);
    for (db::Row& row : rows) {
      add_algorithm_name(conn, row);
      if (executing) {
        row["final_portfolio"] = store::final_portfolio(conn, row.at("id").as_int64());
      }
    }
    return db::to_array(std::move(rows));
  };
  co_return http::Response::json(co_await reads_.read(read));
}

boost::asio::awaitable<http::Response> BackTestNoALgoInfo::get(http::Request& /*request*/,
                                                               std::int64_t backtest_id) {
  auto read = [backtest_id](db::Connection& conn) {
    std::optional<db::Row> row = store::find(conn, backtest_id);
    if (!row) {
      throw common::Error(common::ErrorKind::internal,
                          "backtest " + std::to_string(backtest_id) + " does not exist");
    }
    add_algorithm_name(conn, *row);
    return std::move(*row);
  };
  co_return http::Response::json(co_await reads_.read(read));
}

void register_api(http::Api& api, const std::string& base_uri, db::ReadPool& reads,
                  db::Writer& writer, const Settings& settings, EngineControl& engines,
                  std::shared_ptr<events::EventHub> hub) {
  const Dependencies deps{reads, writer, settings, engines, std::move(hub)};
  api.add<BacktestList>(base_uri + "/algorithms/<int:algorithm_id>/backtests", deps);
  api.add<Backtest>(base_uri + "/algorithms/<int:algorithm_id>/backtests/<int:backtest_id>", deps);
  api.add<BackTestListByCondition>(base_uri + "/backtests", reads);
  api.add<BackTestNoALgoInfo>(base_uri + "/backtests/<int:backtest_id>", reads);
  api.add<BacktestProgress>(base_uri + "/backtests/<int:backtest_id>/progress", reads);
}

}  // namespace stratdesk::backtest
