#include "backtest/store.hpp"

#include <gtest/gtest.h>

#include "db/db.hpp"
#include "test_support.hpp"

namespace stratdesk::backtest::store {
namespace {

// The store against the server's own schema, without HTTP.
class BacktestStoreTest : public ::testing::Test {
 protected:
  BacktestStoreTest() {
    testing::internal::CaptureStdout();
    database_.check_env();
    testing::internal::GetCapturedStdout();
    c_.execute("INSERT INTO algorithms (id, name, securities) VALUES (3, 'three', 'stock')");
    c_.commit();
  }
  test::TempDir dir_;
  db::Database database_{dir_.file("store.db")};
  db::Connection c_{database_.open_connection()};
};

TEST_F(BacktestStoreTest, ALaunchIsRecordedFoundStoppedAndCommented) {
  const std::string comment = "first try";
  const std::int64_t id = record_launch(c_, 3, "{\"a\": 1}", "pass\n", &comment, "2016-01-04");
  EXPECT_FALSE(c_.in_transaction()) << "the launch commits";
  EXPECT_EQ(algorithm(c_, 3)->at("code"), "pass\n");
  EXPECT_EQ(executing_ids(c_), std::vector<std::int64_t>{id});
  EXPECT_EQ(find(c_, 3, id)->at("comment"), "first try");
  EXPECT_FALSE(find(c_, 4, id)) << "another algorithm's id";

  set_stopped(c_, id, "engine exited with code 1");
  set_comment(c_, 3, id, "second try");
  c_.commit();
  const auto row = find(c_, id);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->at("state"), "stopped");
  EXPECT_EQ(row->at("exception"), "engine exited with code 1");
  EXPECT_EQ(row->at("comment"), "second try");
  EXPECT_TRUE(executing_ids(c_).empty());
  EXPECT_EQ(in_state(c_, "stopped").size(), 1u);
  EXPECT_EQ(of_algorithm(c_, 3).size(), 1u);
  EXPECT_EQ(progress_row(c_, id)->at("run_at"), "2016-01-04");
  EXPECT_FALSE(progress_row(c_, id + 1));
}

TEST_F(BacktestStoreTest, PortfolioReadsTakeTheLatestRowAndAreNullWithoutOne) {
  EXPECT_TRUE(final_portfolio(c_, 7).at("order_key").is_null());
  EXPECT_TRUE(latest_own_portfolio_datetime(c_, 3, 7).is_null());
  for (const char* row : {"(3, 7, '2016-01-04 15:00:00', 0)", "(3, 7, '2016-01-06 15:00:00', 0)",
                          "(3, 7, '2016-01-08 15:00:00', 1)"}) {
    c_.execute(std::string("INSERT INTO portfolio_feeds (algorithm_id, backtest_id, datetime, "
                           "is_benchmark) VALUES ") +
               row);
  }
  c_.commit();
  EXPECT_EQ(final_portfolio(c_, 7).at("order_key"), "2016-01-08 15:00:00");
  EXPECT_EQ(latest_own_portfolio_datetime(c_, 3, 7), "2016-01-06 15:00:00");
}

}  // namespace
}  // namespace stratdesk::backtest::store
