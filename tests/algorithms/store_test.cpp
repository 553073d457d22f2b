#include "algorithms/store.hpp"

#include <gtest/gtest.h>

#include "common/error.hpp"
#include "db/db.hpp"
#include "test_support.hpp"

namespace stratdesk::algorithms::store {
namespace {

// The store against the server's own schema, without HTTP.
class StoreTest : public ::testing::Test {
 protected:
  StoreTest() {
    testing::internal::CaptureStdout();
    database_.check_env();
    testing::internal::GetCapturedStdout();
  }
  test::TempDir dir_;
  db::Database database_{dir_.file("store.db")};
  db::Connection c_{database_.open_connection()};
};

TEST_F(StoreTest, RowsGoInComeBackChangeAndAreListedInIdOrder) {
  const std::int64_t first = insert(c_, {"first", "stock", "pass\n", "{}", "[]", "2016-01-04"});
  const std::int64_t second = insert(c_, {"second", "[\"a\"]", "", "{\"x\": 1}", "", "2016-01-05"});
  c_.commit();
  EXPECT_EQ(second, first + 1);

  const auto row = find(c_, first);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->at("name"), "first");
  EXPECT_EQ(row->at("code"), "pass\n");
  EXPECT_EQ(row->at("last_modified"), "2016-01-04");
  EXPECT_EQ(parameters(c_, first), "[]");
  EXPECT_TRUE(exists(c_, second));

  const std::vector<Change> changes = {{"name", "renamed"}, {"parameters", "[1]"}};
  update(c_, second, changes);
  update(c_, second, {});
  c_.commit();
  const boost::json::array all = list(c_);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].at("id"), first);
  EXPECT_EQ(all[1].at("name"), "renamed");
  EXPECT_EQ(all[1].at("parameters"), "[1]");
  EXPECT_EQ(all[1].at("config"), "{\"x\": 1}");
}

TEST_F(StoreTest, AMissingRowIsNoRowOrANamedError) {
  EXPECT_FALSE(find(c_, 42));
  EXPECT_FALSE(exists(c_, 42));
  try {
    parameters(c_, 42);
    ADD_FAILURE() << "no error for a missing algorithm";
  } catch (const common::Error& error) {
    EXPECT_NE(std::string(error.what()).find("algorithm 42 does not exist"), std::string::npos);
  }
  EXPECT_EQ(columns().front(), "id");
}

}  // namespace
}  // namespace stratdesk::algorithms::store
