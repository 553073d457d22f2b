#include "cleanup/cleanup.hpp"

#include <gtest/gtest.h>

#include "db/db.hpp"
#include "http/errors.hpp"
#include "test_support.hpp"

namespace stratdesk::cleanup {
namespace {

const boost::json::object refusal{{"msg", "删除失败：不可以删除正在运行的策略。"}};

// A database with the server's schema at `path`.
const std::string& with_schema(const std::string& path) {
  db::Database(path).check_env();
  return path;
}

class CleanupTest : public ::testing::Test {
 protected:
  std::optional<boost::json::object> delete_algorithm_of(std::int64_t algorithm_id) {
    std::vector<std::int64_t> deleted_backtests;
    return delete_algorithm(c_, algorithm_id, deleted_backtests);
  }
  std::int64_t add_backtest(std::int64_t algorithm_id, const char* state) {
    c_.execute("INSERT INTO backtests (algorithm_id, config, state) VALUES (?, '{}', ?)",
               {algorithm_id, state});
    const std::int64_t id = c_.last_insert_rowid();
    c_.commit();
    return id;
  }
  // One row in each feed table, with the columns that may not be null.
  void add_feed_rows(std::int64_t algorithm_id, std::int64_t backtest_id) {
    for (const char* sql :
         {"INSERT INTO portfolio_feeds (algorithm_id, backtest_id, datetime) VALUES (?, ?, 'd')",
          "INSERT INTO trade_feeds (algorithm_id, backtest_id, datetime, order_book_id, "
          "exec_id) VALUES (?, ?, 'd', 'X', 'e')",
          "INSERT INTO log_feeds (algorithm_id, backtest_id, datetime, type) "
          "VALUES (?, ?, 'd', 20)",
          "INSERT INTO plot_feeds (algorithm_id, backtest_id, datetime, name) "
          "VALUES (?, ?, 'd', 'p')",
          "INSERT INTO position_feeds (algorithm_id, backtest_id, datetime, order_book_id, "
          "type) VALUES (?, ?, 'd', 'X', 'STOCK')",
          "INSERT INTO account_feeds (algorithm_id, backtest_id, datetime, type) "
          "VALUES (?, ?, 'd', 'STOCK')",
          "INSERT INTO risk_feeds (algorithm_id, backtest_id, datetime) VALUES (?, ?, 'd')"}) {
      c_.execute(sql, {algorithm_id, backtest_id});
    }
    c_.commit();
  }
  // Committed rows of `backtest_id` over all feed tables, seen from another connection.
  std::int64_t feed_rows(std::int64_t backtest_id) {
    db::Connection reader(path_);
    std::int64_t total = 0;
    for (const auto& kind : result_kinds::result_kinds) {
      total += reader
                   .execute("SELECT count(*) AS n FROM " + std::string(kind.table) +
                                " WHERE backtest_id = ?",
                            {backtest_id})
                   .at(0)
                   .at("n")
                   .as_int64();
    }
    return total;
  }
  bool exists(const char* table, std::int64_t id) {
    db::Connection reader(path_);
    return !reader.execute("SELECT id FROM " + std::string(table) + " WHERE id = ?", {id}).empty();
  }

  test::TempDir dir_;
  std::string path_ = dir_.file("t.db");
  db::Connection c_{with_schema(path_)};
};

TEST_F(CleanupTest, DeletesAFinishedBacktestAndRefusesARunningOne) {
  const std::int64_t gone = add_backtest(3, "stopped");
  const std::int64_t kept = add_backtest(3, "stopped");
  const std::int64_t running = add_backtest(3, "executing");
  add_feed_rows(3, gone);
  add_feed_rows(9, gone);  // another algorithm's rows under the same backtest id
  add_feed_rows(3, kept);
  add_feed_rows(3, running);

  EXPECT_EQ(delete_backtest(c_, gone), std::nullopt);
  EXPECT_FALSE(c_.in_transaction()) << "committed";
  EXPECT_EQ(feed_rows(gone), 0);
  EXPECT_FALSE(exists("backtests", gone));
  EXPECT_EQ(feed_rows(kept), 7);

  EXPECT_EQ(delete_backtest(c_, running), refusal);
  EXPECT_FALSE(c_.in_transaction());
  EXPECT_TRUE(exists("backtests", running));
  EXPECT_EQ(feed_rows(running), 7);
  EXPECT_EQ(delete_backtest(c_, add_backtest(3, "Executing")), std::nullopt) << "exact text only";
}

TEST_F(CleanupTest, FailuresDeleteNothing) {
  add_feed_rows(3, 42);
  try {
    delete_backtest(c_, 42);
    ADD_FAILURE() << "an unknown id was deleted";
  } catch (const UnknownBacktest& error) {
    EXPECT_EQ(http::status_of(error.kind()), 500);
    EXPECT_STREQ(error.what(), "backtest 42 does not exist");
  }
  EXPECT_EQ(feed_rows(42), 7);

  // A failing statement after the feed deletions: the request's end discards all of them.
  const std::int64_t id = add_backtest(3, "stopped");
  add_feed_rows(3, id);
  c_.execute_script(
      "CREATE TRIGGER keep BEFORE DELETE ON backtests "
      "BEGIN SELECT RAISE(ABORT, 'kept'); END");
  EXPECT_THROW(delete_backtest(c_, id), db::Error);
  c_.rollback();
  EXPECT_EQ(feed_rows(id), 7);
  EXPECT_TRUE(exists("backtests", id));

  // The table name becomes SQL text, so only feed tables are taken; no commit of its own.
  EXPECT_THROW(delete_feeds(c_, "log_feeds; DROP TABLE algorithms", id), std::invalid_argument);
  delete_feeds(c_, "log_feeds", id);
  EXPECT_TRUE(c_.in_transaction());
  EXPECT_EQ(feed_rows(id), 7);
}

TEST_F(CleanupTest, DeletesAnAlgorithmUpToItsFirstRunningBacktest) {
  c_.execute(
      "INSERT INTO algorithms (id, name, securities) VALUES (3, 'a', 's'), (4, 'b', 's'), "
      "(5, 'c', 's')");
  c_.commit();
  const std::int64_t first = add_backtest(3, "stopped");
  const std::int64_t other = add_backtest(4, "stopped");
  const std::int64_t second = add_backtest(3, "executing");
  const std::int64_t third = add_backtest(3, "stopped");
  for (std::int64_t id : {first, other, second, third}) {
    add_feed_rows(id == other ? 4 : 3, id);
  }

  EXPECT_EQ(delete_algorithm_of(3), refusal);
  EXPECT_FALSE(exists("backtests", first));
  EXPECT_EQ(feed_rows(first), 0);
  EXPECT_EQ(feed_rows(second) + feed_rows(third), 14);
  EXPECT_TRUE(exists("backtests", second) && exists("backtests", third));
  EXPECT_TRUE(exists("algorithms", 3));

  c_.execute("UPDATE backtests SET state = 'stopped' WHERE id = ?", {second});
  c_.commit();
  EXPECT_EQ(delete_algorithm_of(3), std::nullopt);
  EXPECT_FALSE(exists("algorithms", 3));
  EXPECT_FALSE(exists("backtests", second) || exists("backtests", third));
  EXPECT_EQ(feed_rows(second) + feed_rows(third), 0);

  // Without backtests only the row goes; an id without a row changes nothing.
  EXPECT_EQ(delete_algorithm_of(5), std::nullopt);
  EXPECT_FALSE(exists("algorithms", 5));
  EXPECT_EQ(delete_algorithm_of(77), std::nullopt);
  EXPECT_FALSE(c_.in_transaction());
  EXPECT_TRUE(exists("algorithms", 4) && exists("backtests", other));
  EXPECT_EQ(feed_rows(other), 7);
}

}  // namespace
}  // namespace stratdesk::cleanup
