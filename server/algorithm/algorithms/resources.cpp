#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "algorithms/algorithms.hpp"
#include "algorithms/store.hpp"
#include "cleanup/cleanup.hpp"
#include "common/error.hpp"
#include "common/json_parse.hpp"
#include "common/py_text.hpp"
#include "common/timestamp.hpp"
#include "db/db.hpp"
#include "log/log.hpp"

namespace stratdesk::algorithms {
namespace {

namespace asio = boost::asio;

boost::json::value parse_config(const std::string& text) {
  boost::system::error_code ec;
  boost::json::value config = common::parse_json(text, ec);
  if (ec) {
    throw common::Error(common::ErrorKind::internal, "config is not valid JSON: " + ec.message());
  }
  return config;
}

// The received form as Python would print it: {'name': 'x', 'code': '...'}.
std::string form_text(const http::Fields& fields) {
  boost::json::object shown;
  for (const http::FormField& field : fields.all()) {
    if (!shown.contains(field.name)) {
      shown[field.name] = field.value;
    }
  }
  return common::display_form(shown);
}

using store::Change;

class ChangeSet {
 public:
  // Adds every form field in order; a repeated field keeps its first value. Throws a bad_request
  // for a field that names no column, and for "id", whose change would cut the algorithm off
  // from its backtests.
  explicit ChangeSet(const http::Fields& fields) {
    // The store's columns are the only names a field may carry into SQL text.
    const auto columns = store::columns();
    for (const http::FormField& field : fields.all()) {
      const auto column = std::find(columns.begin(), columns.end(), field.name);
      if (column == columns.end()) {
        throw common::Error(common::ErrorKind::bad_request,
                            "unknown field '" + field.name + "': algorithms has no such column");
      }
      if (*column == "id") {
        throw common::Error(common::ErrorKind::bad_request, "field 'id' cannot be changed");
      }
      if (find(*column) == nullptr) {
        changes_.push_back({*column, field.value});
      }
    }
  }

  std::string* find(std::string_view column) {
    const auto found = std::find_if(changes_.begin(), changes_.end(),
                                    [&](const Change& change) { return change.column == column; });
    return found == changes_.end() ? nullptr : &found->value;
  }

  // Replaces the value in place when the column is already set, as a client's own value would.
  void set(std::string_view column, std::string value) {
    if (std::string* existing = find(column)) {
      *existing = std::move(value);
    } else {
      changes_.push_back({column, std::move(value)});
    }
  }

  [[nodiscard]] std::span<const Change> changes() const { return changes_; }

 private:
  std::vector<Change> changes_;
};

}  // namespace

asio::awaitable<http::Response> AlgorithmList::get(http::Request& /*req*/) {
  auto read = [](db::Connection& connection) { return store::list(connection); };
  co_return http::Response::json(co_await reads_.read(read));
}

asio::awaitable<http::Response> AlgorithmList::post(http::Request& req) {
  const std::string name = req.required_form_value("name");
  const std::string code = req.required_form_value("code");
  const std::string config_text = req.required_form_value("config");
  const boost::json::value config = parse_config(config_text);
  log::logger().info("params = {}", form_text(req.form()));
  // Checked before the extraction so that a child is not started for a row that cannot be made.
  const boost::json::value* securities =
      config.is_object() ? config.get_object().if_contains("securities") : nullptr;
  if (securities == nullptr) {
    throw common::Error(common::ErrorKind::internal, "config has no member \"securities\"");
  }

  // The extraction is a wait on another process: it ends before the write is asked for, so the
  // writer never waits for it.
  const std::string parameters = co_await extraction_.get_parameter(code);

  const std::string securities_column = securities_text(*securities);
  const std::string last_modified = common::shanghai_now();
  const store::NewAlgorithm row{name,        securities_column, code,
                                config_text, parameters,        last_modified};
  const std::int64_t id = co_await writer_.write([&row](db::Connection& connection) {
    db::Transaction transaction(connection);
    const std::int64_t inserted = store::insert(connection, row);
    transaction.commit();
    return inserted;
  });
  co_return http::Response::json(boost::json::object{{"id", id}});
}

asio::awaitable<http::Response> Algorithm::get(http::Request& /*req*/, std::int64_t algorithm_id) {
  auto read = [algorithm_id](db::Connection& connection) -> boost::json::value {
    std::optional<db::Row> row = store::find(connection, algorithm_id);
    if (!row) {
      return nullptr;
    }
    return std::move(*row);
  };
  co_return http::Response::json(co_await reads_.read(read));
}

asio::awaitable<http::Response> Algorithm::patch(http::Request& req, std::int64_t algorithm_id) {
  const http::Fields& form = req.form();
  log::logger().info("params = {}", form_text(form));
  ChangeSet changes(form);
  changes.set("last_modified", common::shanghai_now());
  // The extraction is a wait on another process: it ends before the write is asked for.
  if (const std::string* code = changes.find("code")) {
    const std::string source = *code;
    changes.set("parameters", co_await extraction_.get_parameter(source));
  }
  co_await writer_.write([&changes, algorithm_id](db::Connection& connection) {
    db::Transaction transaction(connection);
    store::update(connection, algorithm_id, changes.changes());
    transaction.commit();
  });
  co_return http::Response::json(boost::json::object{{"id", algorithm_id}});
}

asio::awaitable<http::Response> Algorithm::delete_(http::Request& /*req*/,
                                                   std::int64_t algorithm_id) {
  bool existed = false;
  std::vector<std::int64_t> deleted_backtests;
  // The deletion commits backtest by backtest and may stop at a running one or fail part-way:
  // the backtests gone by then lose their folders and are announced either way.
  const auto settle_deleted = [&] {
    cleanup::discard_strategy_folders(effects_.strategy_dir, deleted_backtests);
    for (const std::int64_t id : deleted_backtests) {
      effects_.hub->publish(events::BacktestDeletedEvent{id});
    }
  };
  std::optional<boost::json::object> refusal;
  try {
    // One writer job keeps the deletion's commits, backtest by backtest, as they are; the ids
    // of the committed ones land in this frame, which waits for the job.
    refusal = co_await writer_.write(
        [algorithm_id, &existed, &deleted_backtests](db::Connection& connection) {
          existed = store::exists(connection, algorithm_id);
          return cleanup::delete_algorithm(connection, algorithm_id, deleted_backtests);
        });
  } catch (...) {
    settle_deleted();
    throw;
  }
  settle_deleted();
  if (existed && !refusal) {
    effects_.hub->publish(events::AlgorithmDeletedEvent{algorithm_id});
  }
  if (refusal) {
    co_return http::Response::json(std::move(*refusal));
  }
  co_return http::Response::json(boost::json::object{{"id", algorithm_id}});
}

asio::awaitable<http::Response> AlgorithmParameter::get(http::Request& /*req*/,
                                                        std::int64_t algorithm_id) {
  auto read = [algorithm_id](db::Connection& connection) {
    return store::parameters(connection, algorithm_id);
  };
  co_return http::Response::json(co_await reads_.read(read));
}

void register_api(http::Api& api, const std::string& base_uri, db::ReadPool& reads,
                  db::Writer& writer, const ParameterExtraction& extraction,
                  Algorithm::DeletionEffects deletion_effects) {
  api.add<AlgorithmList>(base_uri + "/algorithms", reads, writer, extraction);
  api.add<Algorithm>(base_uri + "/algorithms/<int:algorithm_id>", reads, writer, extraction,
                     std::move(deletion_effects));
  api.add<AlgorithmParameter>(base_uri + "/algorithms/<int:algorithm_id>/parameters", reads);
}

}  // namespace stratdesk::algorithms
