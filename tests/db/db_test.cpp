#include "db/db.hpp"

#include <gtest/gtest.h>

#include <boost/beast/http/string_body.hpp>
#include <boost/json/parse.hpp>

#include "log/log.hpp"
#include "result_kinds/result_kinds.hpp"
#include "test_support.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <stdexcept>

#include <boost/json/serialize.hpp>

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

  // A NaN real is stored as NULL, infinities as they are.
  c.execute("INSERT INTO t (a, b, c) VALUES (?, ?, ?)",
            {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
             -std::numeric_limits<double>::infinity()});
  const Row non_finite = c.execute("SELECT typeof(a) AS ta, b, c FROM t WHERE rowid = 2").at(0);
  EXPECT_EQ(non_finite.at("ta"), "null");
  EXPECT_EQ(non_finite.at("b"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(non_finite.at("c"), -std::numeric_limits<double>::infinity());

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
    EXPECT_THROW(transaction.commit(), std::logic_error);
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

TEST(Transaction, InsideAnotherItIsASavepointThatOnlyTheOuterCommitStores) {
  test::TempDir dir;
  Connection c(dir.file("t.db"));
  c.execute("CREATE TABLE t (id INTEGER PRIMARY KEY)");
  const auto rows = [&c] { return count(c, "SELECT count(*) FROM t"); };
  {
    Transaction outer(c);
    c.execute("INSERT INTO t (id) VALUES (1)");
    {
      Transaction kept(c);
      c.execute("INSERT INTO t (id) VALUES (2)");
      kept.commit();
    }
    try {
      Transaction failed(c);
      c.execute("INSERT INTO t (id) VALUES (3)");
      c.execute("INSERT INTO t (id) VALUES (1)");
      failed.commit();
    } catch (const Error&) {
    }
    EXPECT_TRUE(c.in_transaction()) << "a failed savepoint leaves the outer transaction open";
    c.execute("INSERT INTO t (id) VALUES (4)");
    outer.commit();
  }
  EXPECT_FALSE(c.in_transaction());
  EXPECT_EQ(rows(), 3);
  EXPECT_EQ(count(c, "SELECT count(*) FROM t WHERE id = 3"), 0);
  {
    Transaction outer(c);
    Transaction inner(c);
    c.execute("INSERT INTO t (id) VALUES (5)");
    inner.commit();
  }
  EXPECT_EQ(rows(), 3) << "a released savepoint goes with its outer transaction's roll-back";
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
  // check_env without its line on standard output.
  void check_env_quietly() {
    testing::internal::CaptureStdout();
    check_env();
    testing::internal::GetCapturedStdout();
  }

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
  EXPECT_EQ(schema_objects(c, "table"), 11);
  // Each feed table has its datetime index and the (backtest_id, id) one after_id reads; the
  // sweeps' tables have three.
  EXPECT_EQ(schema_objects(c, "index"), 19);
  const std::string log = log_text();
  std::size_t at = 0;
  for (const char* table :
       {"algorithms", "backtests", "portfolio_feeds", "trade_feeds", "log_feeds", "plot_feeds",
        "position_feeds", "account_feeds", "risk_feeds", "sweeps", "sweep_runs"}) {
    at = log.find("Start creating " + std::string(table) + " table", at);
    ASSERT_NE(at, std::string::npos) << table << " missing or out of order";
  }
}

// Every kind of result has its table, with the columns it is posted with, and both indexes its
// pages read by.
TEST_F(CheckEnvTest, EveryResultKindHasItsTableAndIndexes) {
  check_env_quietly();
  Connection c(path_);
  for (const result_kinds::ResultKind& kind : result_kinds::result_kinds) {
    const std::string table(kind.table);
    std::vector<std::string> columns;
    for (const auto& row : c.execute("SELECT name FROM pragma_table_info(?)", {Value(table)})) {
      columns.emplace_back(row.at("name").as_string());
    }
    for (const std::string_view posted : kind.posted) {
      EXPECT_NE(std::find(columns.begin(), columns.end(), posted), columns.end())
          << table << "." << posted;
    }
    for (const std::string& index : {table + "_index", table + "_after_id_index"}) {
      EXPECT_EQ(c.execute("SELECT name FROM sqlite_master WHERE type = 'index' AND name = ?",
                          {Value(index)})
                    .size(),
                1u)
          << index;
    }
  }
}

TEST_F(CheckEnvTest, ExistingFileIsNotSeededAndKeepsItsRows) {
  check_env_quietly();
  {
    Connection c(path_);
    c.execute("INSERT INTO algorithms (name, securities) VALUES ('a', 'stock')");
    c.commit();
  }
  check_env_quietly();
  EXPECT_EQ(seeded_, 1);
  Connection c(path_);
  EXPECT_EQ(count(c, "SELECT count(*) FROM algorithms"), 1);
  EXPECT_EQ(schema_objects(c, "table"), 11);
}

TEST_F(CheckEnvTest, MissingTablesOfAnExistingFileAreCreatedWithoutSeeding) {
  {
    Connection c(path_);
    c.execute(
        "CREATE TABLE algorithms (id INTEGER PRIMARY KEY, name text NOT NULL, "
        "securities text NOT NULL, code text DEFAULT '', config text DEFAULT '', "
        "parameters text, last_modified timestamp DEFAULT CURRENT_TIMESTAMP)");
  }
  check_env_quietly();
  EXPECT_EQ(seeded_, 0);
  Connection c(path_);
  EXPECT_EQ(schema_objects(c, "table"), 11);
  EXPECT_EQ(schema_objects(c, "index"), 19);
}

TEST(DatabaseConditions, WhatTheUserCanActOnIsNamedAndNothingElse) {
  std::vector<std::string> named;
  for (int code : {SQLITE_FULL, SQLITE_READONLY, SQLITE_READONLY_DBMOVED, SQLITE_BUSY,
                   SQLITE_BUSY_SNAPSHOT, SQLITE_LOCKED, SQLITE_NOTADB}) {
    named.push_back(condition_message(code));
    EXPECT_FALSE(named.back().empty()) << code;
    EXPECT_EQ(Error(code, "details").client_message(), named.back());
  }
  EXPECT_NE(named[0], named[1]);
  EXPECT_NE(named[0], named[3]);
  EXPECT_NE(named[3], named[6]);
  for (int code : {0, SQLITE_ERROR, SQLITE_CONSTRAINT_NOTNULL, SQLITE_MISMATCH, SQLITE_IOERR_READ,
                   SQLITE_CORRUPT}) {
    EXPECT_EQ(condition_message(code), "") << code;
  }
}

std::string message_of(const test::HttpResponse& response) {
  const boost::json::value answer = response.json();
  const boost::json::value* message = answer.as_object().if_contains("message");
  return message != nullptr && message->is_string() ? std::string(message->get_string()) : "";
}

boost::json::array log_batch(int first) {
  boost::json::array rows;
  for (int i = first; i < first + 50; ++i) {
    rows.push_back(
        boost::json::array{3, 7, "2016-01-04 15:00:00", std::string(2000, 'a' + i % 26), 20});
  }
  return rows;
}

// The database alone on a small tmpfs, with a filler file to delete when the disk is full.
TEST(DatabaseConditions, AFullDiskIsNamedNothingIsLostAndWritesResumeOnceSpaceIsFreed) {
  test::TempDir dir;
  test::TmpfsMount disk(dir.file("disk"), 2 * 1024 * 1024);
  if (!disk.mounted()) {
    GTEST_SKIP() << "this process may not mount a tmpfs";
  }
  const std::string filler = disk.path() + "/filler";
  test::write_file(filler, std::string(512 * 1024, 'x'));
  const std::string db_path = disk.path() + "/stratdesk.db";
  test::ServerProcess server(dir.file("data"), {"--db", db_path});
  test::HttpClient client("127.0.0.1", server.port());
  const auto post = [&](int first) {
    return client.post_form("/api/feedgroup",
                            {{"log_feeds", boost::json::serialize(log_batch(first))}});
  };

  int stored_posts = 0;
  test::HttpResponse refused;
  while (stored_posts < 100) {
    refused = post(stored_posts * 50);
    if (refused.status != 200) {
      break;
    }
    ++stored_posts;
  }
  ASSERT_EQ(refused.status, 500) << "the disk never filled";
  EXPECT_EQ(message_of(refused), condition_message(SQLITE_FULL)) << refused.body;
  EXPECT_EQ(message_of(post(0)), condition_message(SQLITE_FULL));
  {
    Connection c(db_path);
    EXPECT_EQ(c.execute("PRAGMA integrity_check").at(0).at("integrity_check"), "ok");
    EXPECT_EQ(count(c, "SELECT count(*) FROM log_feeds"), stored_posts * 50);
  }

  std::filesystem::remove(filler);
  const test::HttpResponse resumed = post(stored_posts * 50);
  ASSERT_EQ(resumed.status, 200) << resumed.body;
  Connection c(db_path);
  EXPECT_EQ(count(c, "SELECT count(*) FROM log_feeds"), (stored_posts + 1) * 50);
}

TEST(DatabaseConditions, ALockHeldPastTheBusyWaitIsNamedAndOtherFailuresStayGeneric) {
  test::TempDir dir;
  test::ServerProcess server(dir.file("data"));
  test::HttpClient client("127.0.0.1", server.port());
  {
    Connection c(server.db_path());
    c.execute("INSERT INTO backtests (algorithm_id, config, state) VALUES (1, '{}', 'stopped')");
    c.commit();
  }
  const auto comment = [&] {
    return client.post_form("/api/algorithms/1/backtests/1", {{"comment", "x"}}, "PATCH");
  };
  Connection holder(server.db_path());
  holder.execute_script("BEGIN IMMEDIATE");
  const test::HttpResponse locked = comment();
  EXPECT_EQ(locked.status, 500);
  EXPECT_EQ(message_of(locked), condition_message(SQLITE_BUSY)) << locked.body;
  holder.execute_script("ROLLBACK");
  EXPECT_EQ(comment().status, 200);

  // A statement SQLite refuses for another reason: the generic answer, details in the log.
  {
    Connection c(server.db_path());
    c.execute_script("DROP TABLE risk_feeds");
  }
  const test::HttpResponse generic = client.get("/api/algorithms/1/backtests/1/feeds/risk");
  EXPECT_EQ(generic.status, 500);
  EXPECT_EQ(message_of(generic), "internal server error") << generic.body;
}

}  // namespace
}  // namespace stratdesk::db
