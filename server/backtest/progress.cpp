#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json/object.hpp>

#include "backtest/backtest.hpp"
#include "backtest/store.hpp"
#include "common/date_time.hpp"
#include "common/json_parse.hpp"
#include "common/json_text.hpp"
#include "common/timestamp.hpp"
#include "db/db.hpp"
#include "http/errors.hpp"
#include "log/log.hpp"
#include "tasks/task_group.hpp"

namespace stratdesk::backtest {
namespace {

namespace json = boost::json;
using std::chrono::seconds;

// The calendar day a "YYYY-MM-DD..." text starts with.
std::optional<std::chrono::sys_days> day_of(std::string_view text) {
  const auto date = common::leading_date(text);
  return date ? std::optional(date->calendar_day()) : std::nullopt;
}

// A text starting "YYYY-MM-DD HH:MM:SS" as seconds on a clock of its own zone.
std::optional<std::chrono::sys_seconds> instant_of(std::string_view text) {
  if (text.size() < 19) {
    return std::nullopt;
  }
  const auto date_time = common::parse_date_time(text.substr(0, 19));
  return date_time ? std::optional(date_time->instant()) : std::nullopt;
}

json::value text_of(const json::object* config, std::string_view key) {
  const json::value* value = config == nullptr ? nullptr : config->if_contains(key);
  if (value == nullptr || value->is_null()) {
    return nullptr;
  }
  return value->is_string() ? json::value(value->get_string())
                            : json::value(common::to_json_text(*value));
}

json::value progress_between(const json::value& start, const json::value& end,
                             const json::value& simulated_until) {
  if (!start.is_string() || !end.is_string()) {
    return nullptr;
  }
  const auto first = day_of(start.get_string());
  const auto last = day_of(end.get_string());
  if (!first || !last || *last < *first) {
    return nullptr;
  }
  if (!simulated_until.is_string()) {
    return 0.0;
  }
  const auto reached = day_of(simulated_until.get_string());
  if (!reached) {
    return nullptr;
  }
  if (*last == *first) {
    return 1.0;
  }
  const double share = static_cast<double>((*reached - *first).count()) /
                       static_cast<double>((*last - *first).count());
  return std::clamp(share, 0.0, 1.0);
}

// Both stamps are Shanghai wall-clock texts, so their difference needs no zone arithmetic.
json::value seconds_since(const json::value& run_at) {
  if (!run_at.is_string()) {
    return nullptr;
  }
  const auto started = instant_of(run_at.get_string());
  const auto now = instant_of(common::shanghai_now());
  if (!started || !now) {
    return nullptr;
  }
  return std::max<std::int64_t>(0, (*now - *started).count());
}

bool ended_by_itself(const db::Row& row) {
  const json::value& state = row.at("state");
  const json::value& exception = row.at("exception");
  return state.is_string() && state.get_string() == "stopped" && exception.is_string() &&
         exception.get_string().empty();
}

// A date text is at most "YYYY-MM-DD HH:MM:SS.ffffff+08:00".
constexpr std::size_t longest_date_text = 32;

// Every progress event repeats the launch's dates: texts too long to be dates are left out of
// it, so that a reconnecting client is not handed megabytes of them. The progress route still
// answers them whole.
json::object progress_event(json::object progress) {
  for (const std::string_view key : {"start_date", "end_date"}) {
    json::value& date = progress[key];
    if (date.is_string() && date.get_string().size() > longest_date_text) {
      date = nullptr;
    }
  }
  return progress;
}

}  // namespace

std::optional<json::object> backtest_progress(db::Connection& conn, std::int64_t backtest_id) {
  const std::optional<db::Row> found = store::progress_row(conn, backtest_id);
  if (!found) {
    return std::nullopt;
  }
  const db::Row& row = *found;
  json::value config = nullptr;
  if (const json::value& text = row.at("config"); text.is_string()) {
    boost::system::error_code ec;
    config = common::parse_json(text.get_string(), ec);
    if (ec) {
      config = nullptr;
    }
  }
  const json::object* settings = config.if_object();
  const json::value start = text_of(settings, "start_date");
  const json::value end = text_of(settings, "end_date");
  const json::value until =
      store::latest_own_portfolio_datetime(conn, row.at("algorithm_id"), backtest_id);
  const json::value& state = row.at("state");
  const bool executing = state.is_string() && state.get_string() == "executing";

  json::object progress;
  progress["id"] = backtest_id;
  progress["state"] = state;
  progress["start_date"] = start;
  progress["end_date"] = end;
  progress["simulated_until"] = until;
  progress["progress"] = progress_between(start, end, until);
  // A run that ended by itself went through its whole range, though its last simulated day is
  // the last trading day, not end_date.
  if (ended_by_itself(row) && progress["progress"].is_double()) {
    progress["progress"] = 1.0;
  }
  progress["elapsed_seconds"] = executing ? seconds_since(row.at("run_at")) : row.at("time_spent");
  return progress;
}

boost::asio::awaitable<http::Response> BacktestProgress::get(http::Request& /*request*/,
                                                             std::int64_t backtest_id) {
  auto read = [backtest_id](db::Connection& conn) { return backtest_progress(conn, backtest_id); };
  auto progress = co_await reads_.read(read);
  if (!progress) {
    co_return http::Response::message(
        common::ErrorKind::not_found,
        "backtest " + std::to_string(backtest_id) + " does not exist");
  }
  co_return http::Response::json(std::move(*progress));
}

namespace {

class ProgressWatch {
 public:
  ProgressWatch(const db::Database& database, std::shared_ptr<events::EventHub> hub)
      : database_(database), hub_(std::move(hub)) {}

  boost::asio::awaitable<void> run() {
    boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor);
    try {
      // Opened before any request is served, so the server's descriptors stay level after.
      conn_.emplace(database_.open_connection());
    } catch (const std::exception& e) {
      log::logger().error("cannot look at the progress of running backtests: {}", e.what());
    }
    for (;;) {
      timer.expires_after(seconds(1));
      co_await timer.async_wait(boost::asio::use_awaitable);
      try {
        look();
      } catch (const std::exception& e) {
        // A locked or missing file now is usually fine a second later.
        log::logger().error("cannot look at the progress of running backtests: {}", e.what());
        conn_.reset();
      }
    }
  }

 private:
  void look() {
    if (!conn_) {
      conn_.emplace(database_.open_connection());
    }
    std::map<std::int64_t, json::value> seen;
    for (const std::int64_t id : store::executing_ids(*conn_)) {
      auto progress = backtest_progress(*conn_, id);
      if (!progress) {
        continue;
      }
      const json::value until = progress->at("simulated_until");
      const auto before = last_seen_.find(id);
      if (!until.is_null() && (before == last_seen_.end() || before->second != until)) {
        hub_->publish(events::ProgressEvent{progress_event(std::move(*progress))});
      }
      seen.emplace(id, until);
    }
    last_seen_ = std::move(seen);
  }

  const db::Database& database_;
  std::shared_ptr<events::EventHub> hub_;
  std::optional<db::Connection> conn_;
  std::map<std::int64_t, json::value> last_seen_;  // executing backtests at the last look
};

boost::asio::awaitable<void> watch(std::shared_ptr<ProgressWatch> watch) {
  co_await watch->run();
}

}  // namespace

void start_progress_watch(boost::asio::any_io_executor executor, tasks::TaskGroup& tasks,
                          const db::Database& database, std::shared_ptr<events::EventHub> hub) {
  auto progress_watch = std::make_shared<ProgressWatch>(database, std::move(hub));
  tasks.spawn(executor, "the progress watch", watch(std::move(progress_watch)));
}

}  // namespace stratdesk::backtest
