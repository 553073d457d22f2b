#include "db/db.hpp"

#include <gtest/gtest.h>

#include <boost/beast/http/string_body.hpp>
#include <boost/json/parse.hpp>

#include "log/log.hpp"
#include "request_db/request_db.hpp"
#include "test_support.hpp"

namespace stratdesk::db {
namespace {

std::int64_t count(Connection& c, const std::string& sql) {
  return c.execute(sql).at(0).begin()->value().as_int64();
}

std::int64_t schema_objects(Connection& c, const char* type) {
  return c.execute("SELECT count(*) AS n FROM sqlite_master WHERE type = ?", {type})
      .at(0)
      .at("n")
      .as_int64();
}

class ConnectionTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
  std::string path_ = dir_.file("t.db");
};

TEST_F(ConnectionTest, WritesOpenATransactionThatOnlyCommitEnds) {
  Connection writer(path_);
  Connection reader(path_);
  writer.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, v)");
  EXPECT_FALSE(writer.in_transaction());
  writer.execute("SELECT * FROM t");
  EXPECT_FALSE(writer.in_transaction()) << "a SELECT opens no transaction";
  writer.execute("INSERT INTO t (v) VALUES (?)", {1});
  EXPECT_TRUE(writer.in_transaction());
  EXPECT_EQ(count(reader, "SELECT count(*) FROM t"), 0);
  writer.commit();
  EXPECT_FALSE(writer.in_transaction());
  EXPECT_EQ(count(reader, "SELECT count(*) FROM t"), 1);
  writer.commit();  // committing nothing is harmless

  writer.execute("UPDATE t SET v = 2");
  writer.rollback();
  EXPECT_EQ(count(reader, "SELECT v FROM t"), 1);

  // Schema statements commit what is open first.
  writer.execute("DELETE FROM t");
  writer.execute("CREATE TABLE u (x)");
  EXPECT_FALSE(writer.in_transaction());
  EXPECT_EQ(count(reader, "SELECT count(*) FROM t"), 0);
}

TEST_F(ConnectionTest, ClosingWithoutCommitDiscardsTheTransaction) {
  {
    Connection c(path_);
    c.execute("CREATE TABLE t (v)");
    c.execute("INSERT INTO t VALUES (1)");
  }
  Connection c(path_);
  EXPECT_EQ(count(c, "SELECT count(*) FROM t"), 0);
}

TEST_F(ConnectionTest, BindsJsonValuesAsSqliteStoresThem) {
  Connection c(path_);
  c.execute("CREATE TABLE t (a, b, c, d, e, f)");
  const auto values = boost::json::parse(R"([7, 2.5, "text", true, false, null])").as_array();
  c.execute("INSERT INTO t VALUES (?, ?, ?, ?, ?, ?)",
            std::span<const Value>(values.data(), values.size()));
  const Row row = c.execute("SELECT a, typeof(b) AS tb, b, c, d, e, f FROM t").at(0);
  EXPECT_EQ(row.at("a"), 7);
  EXPECT_EQ(row.at("tb"), "real");
  EXPECT_EQ(row.at("b"), 2.5);
  EXPECT_EQ(row.at("c"), "text");
  EXPECT_EQ(row.at("d"), 1);
  EXPECT_EQ(row.at("e"), 0);
  EXPECT_TRUE(row.at("f").is_null());

  EXPECT_THROW(c.execute("INSERT INTO t (a) VALUES (?)", {boost::json::array{1}}), Error);
  EXPECT_THROW(c.execute("INSERT INTO t (a) VALUES (?)", {boost::json::object{}}), Error);
  EXPECT_THROW(c.execute("INSERT INTO t (a) VALUES (?)", {Value(18446744073709551615ull)}), Error);
  EXPECT_THROW(c.execute("INSERT INTO t (a, b) VALUES (?, ?)", {1}), Error)
      << "a short parameter list must not leave NULLs behind";
}

TEST_F(ConnectionTest, RowMapsKeepTheLaterOfTwoEqualColumnNames) {
  Connection c(path_);
  c.execute("CREATE TABLE a (id INTEGER PRIMARY KEY, name)");
  c.execute("CREATE TABLE b (id INTEGER PRIMARY KEY, a_id)");
  c.execute("INSERT INTO a (id, name) VALUES (1, 'x')");
  c.execute("INSERT INTO b (id, a_id) VALUES (9, 1)");
  const Row row = c.execute("SELECT * FROM a JOIN b ON b.a_id = a.id").at(0);
  EXPECT_EQ(row.size(), 3u);
  EXPECT_EQ(row.at("id"), 9);
  EXPECT_EQ(row.begin()->key(), "id") << "the name keeps its first position";
}

TEST_F(ConnectionTest, RowIdsAreReusedAfterTheLargestIsDeleted) {
  Connection c(path_);
  c.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, at timestamp DEFAULT CURRENT_TIMESTAMP)");
  c.execute("INSERT INTO t DEFAULT VALUES");
  c.execute("INSERT INTO t DEFAULT VALUES");
  EXPECT_EQ(c.last_insert_rowid(), 2);
  c.execute("DELETE FROM t WHERE id = 2");
  c.execute("INSERT INTO t DEFAULT VALUES");
  EXPECT_EQ(c.last_insert_rowid(), 2);
  const std::string at(c.execute("SELECT at FROM t WHERE id = 2").at(0).at("at").as_string());
  EXPECT_EQ(at.size(), 19u) << at;
}

TEST(Transaction, CommitsOnlyWhenToldAndRollsBackOtherwise) {
  test::TempDir dir;
  Connection c(dir.file("t.db"));
  c.execute("CREATE TABLE t (id INTEGER PRIMARY KEY)");
  const auto rows = [&c] { return count(c, "SELECT count(*) FROM t"); };
  {
    Transaction transaction(c);
    c.execute("INSERT INTO t DEFAULT VALUES");
    transaction.commit();
    transaction.commit();  // nothing open: a second commit changes nothing
  }
  EXPECT_EQ(rows(), 1);
  {
    Transaction transaction(c);
    c.execute("INSERT INTO t DEFAULT VALUES");
  }
  EXPECT_FALSE(c.in_transaction());
  EXPECT_EQ(rows(), 1) << "scope end without commit";
  try {
    Transaction transaction(c);
    c.execute("INSERT INTO t DEFAULT VALUES");
    c.execute("INSERT INTO t (id) VALUES (1)");
    transaction.commit();
  } catch (const Error&) {
  }
  EXPECT_FALSE(c.in_transaction());
  EXPECT_EQ(rows(), 1) << "a failing statement discards the earlier ones";
  {
    Transaction transaction(c);
    c.execute("INSERT INTO t DEFAULT VALUES");
    transaction.commit();
    c.execute("INSERT INTO t DEFAULT VALUES");
  }
  EXPECT_EQ(rows(), 2) << "what was written after the commit is discarded";
}

TEST(ExpectNoTransaction, AbortsInCheckedBuildsWhenATransactionIsOpen) {
  test::TempDir dir;
  Connection c(dir.file("t.db"));
  c.execute("CREATE TABLE t (id INTEGER PRIMARY KEY)");
  expect_no_transaction(c, "nothing");
  c.execute("INSERT INTO t DEFAULT VALUES");
#ifdef STRATDESK_CHECK_TRANSACTIONS
  EXPECT_DEATH(expect_no_transaction(c, "the analytics service"),
               "a transaction is open while waiting on the analytics service");
#else
  expect_no_transaction(c, "the analytics service");
  EXPECT_TRUE(c.in_transaction()) << "unchecked builds leave the transaction alone";
#endif
}

class CheckEnvTest : public ::testing::Test {
 protected:
  void SetUp() override { log::init(dir_.file("check_env.log")); }
  void check_env() { database_.check_env(); }

  std::string log_text() const { return test::read_file(dir_.file("check_env.log")); }

  test::TempDir dir_;
  std::string path_ = dir_.file("stratdesk.db");
  int seeded_ = 0;
  Database database_{path_, [this](const Database&) { ++seeded_; }};
};

TEST_F(CheckEnvTest, NewFileGetsTheWholeSchemaAndIsSeeded) {
  testing::internal::CaptureStdout();
  check_env();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "connect ro sqlite url: " + path_ + "\n");
  EXPECT_EQ(seeded_, 1);
  Connection c(path_);
  EXPECT_EQ(schema_objects(c, "table"), 9);
  EXPECT_EQ(schema_objects(c, "index"), 9);
  const std::string log = log_text();
  std::size_t at = 0;
  for (const char* table :
       {"algorithms", "backtests", "portfolio_feeds", "trade_feeds", "log_feeds", "plot_feeds",
        "position_feeds", "account_feeds", "risk_feeds"}) {
    at = log.find("Start creating " + std::string(table) + " table", at);
    ASSERT_NE(at, std::string::npos) << table << " missing or out of order";
  }
}

TEST_F(CheckEnvTest, ExistingFileIsNotSeededAndKeepsItsRows) {
  testing::internal::CaptureStdout();
  check_env();
  {
    Connection c(path_);
    c.execute("INSERT INTO algorithms (name, securities) VALUES ('a', 'stock')");
    c.commit();
  }
  check_env();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(seeded_, 1);
  Connection c(path_);
  EXPECT_EQ(count(c, "SELECT count(*) FROM algorithms"), 1);
  EXPECT_EQ(schema_objects(c, "table"), 9);
}

TEST_F(CheckEnvTest, MissingTablesOfAnExistingFileAreCreatedWithoutSeeding) {
  {
    Connection c(path_);
    c.execute(
        "CREATE TABLE algorithms (id INTEGER PRIMARY KEY, name text NOT NULL, "
        "securities text NOT NULL, code text DEFAULT '', config text DEFAULT '', "
        "parameters text, last_modified timestamp DEFAULT CURRENT_TIMESTAMP)");
  }
  testing::internal::CaptureStdout();
  check_env();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(seeded_, 0);
  Connection c(path_);
  EXPECT_EQ(schema_objects(c, "table"), 9);
  EXPECT_EQ(schema_objects(c, "index"), 9);
}

http::Request make_request() {
  return http::Request(http::RequestMessage{boost::beast::http::verb::get, "/", 11});
}

TEST_F(CheckEnvTest, RequestConnectionIsSharedWithinARequestAndDiscardsUncommittedWork) {
  using request_db::get_connection;
  testing::internal::CaptureStdout();
  check_env();
  testing::internal::GetCapturedStdout();
  {
    http::Request request = make_request();
    Connection& first = get_connection(request, database_);
    EXPECT_EQ(&first, &get_connection(request, database_));
    first.execute("INSERT INTO algorithms (name, securities) VALUES ('gone', 'stock')");
    http::Request other = make_request();
    EXPECT_NE(&first, &get_connection(other, database_));
  }
  {
    http::Request request = make_request();
    Connection& c = get_connection(request, database_);
    EXPECT_FALSE(c.in_transaction()) << "a pooled connection comes back clean";
    EXPECT_EQ(count(c, "SELECT count(*) FROM algorithms"), 0);
  }
}

}  // namespace
}  // namespace stratdesk::db
