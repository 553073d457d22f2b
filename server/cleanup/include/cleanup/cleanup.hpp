#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/object.hpp>

#include "common/error.hpp"
#include "db/connection.hpp"
#include "result_kinds/result_kinds.hpp"

// Cleanup: the schema has no foreign keys, so a backtest's result rows and an algorithm's
// backtests are deleted here by hand. A backtest whose engine still runs is never deleted.
namespace stratdesk::cleanup {

// The message of the refusal map.
inline constexpr std::string_view running_refusal_message = "删除失败：不可以删除正在运行的策略。";

// The refusal map {"msg": "删除失败：不可以删除正在运行的策略。"}: the answer, with status 200,
// to a deletion that meets a running backtest.
boost::json::object refusal_map();

// A deletion of a backtest id that has no row: an internal error whose message names the id.
class UnknownBacktest : public common::Error {
 public:
  explicit UnknownBacktest(std::int64_t backtest_id);
  [[nodiscard]] std::int64_t backtest_id() const noexcept { return backtest_id_; }

 private:
  std::int64_t backtest_id_;
};

// Deletes the rows of `table` whose backtest_id is `backtest_id`, whatever their algorithm_id.
// Does not commit. `table` must be a result kind's table (std::invalid_argument otherwise), since
// it becomes part of the SQL text.
void delete_feeds(db::Connection& c, std::string_view table, std::int64_t backtest_id);

// Deletes a backtest that is not running, with its rows in every feed table, and commits once
// at the end. Returns the refusal map, deleting nothing, when its state is "executing"; nullopt
// when deleted. Throws UnknownBacktest when no backtest has that id; a database failure
// propagates with nothing committed.
std::optional<boost::json::object> delete_backtest(db::Connection& conn, std::int64_t backtest_id);

// Deletes the algorithm's backtests in ascending id order through delete_backtest (each commits
// its own work), then the algorithm row, and commits. At the first running backtest it returns
// the refusal map: that backtest, the later ones and the algorithm stay, the earlier ones are
// gone. An id without a row deletes nothing and returns nullopt. Appends to `deleted_backtests`
// the id of every backtest whose deletion was committed, in deletion order: all of them on success,
// the ones before the running backtest on a refusal, and those before the failure when a failure
// propagates.
std::optional<boost::json::object> delete_algorithm(db::Connection& conn, std::int64_t algo_id,
                                                    std::vector<std::int64_t>& deleted_backtests);

// Removes <strategy_dir>/<id>/ (the strategy file of one launch) of each deleted backtest, so
// that a later backtest given a reused id does not find it. Call after the deletion committed.
// A missing folder is no error; one that cannot be removed is logged at warning level and does
// not throw: the rows are gone for good, stray files are worth a warning only. An empty
// `strategy_dir` removes nothing.
void discard_strategy_folders(const std::string& strategy_dir,
                              std::span<const std::int64_t> backtest_ids);

}  // namespace stratdesk::cleanup
