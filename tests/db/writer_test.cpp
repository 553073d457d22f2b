#include "db/writer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "db/db.hpp"
#include "db/read_pool.hpp"
#include "test_support.hpp"

namespace stratdesk::db {
namespace {

namespace asio = boost::asio;

class WriterTest : public ::testing::Test {
 protected:
  WriterTest() {
    Connection setup = database_.open_connection();
    setup.execute_script("CREATE TABLE t (id INTEGER PRIMARY KEY, v INTEGER)");
  }

  // Runs the event loop until every coroutine spawned on it has ended, or fails after 10 s.
  void run_loop() {
    const auto ran = std::async(std::launch::async, [this] { io_.run(); });
    ASSERT_EQ(ran.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  }

  std::int64_t rows() {
    Connection reader = database_.open_connection();
    return reader.execute("SELECT count(*) AS n FROM t").at(0).at("n").as_int64();
  }

  test::TempDir dir_;
  Database database_{dir_.file("w.db")};
  asio::io_context io_;
};

TEST_F(WriterTest, RunsTransactionsInOrderAndResumesOnTheAskingThread) {
  Writer writer(database_);
  std::vector<int> finished;
  std::thread::id loop_thread;
  for (int i = 0; i < 20; ++i) {
    asio::co_spawn(
        io_,
        [&, i]() -> asio::awaitable<void> {
          loop_thread = std::this_thread::get_id();
          const auto id = co_await writer.write([i](Connection& c) {
            c.execute("INSERT INTO t (v) VALUES (?)", {i});
            const auto rowid = c.last_insert_rowid();
            c.commit();
            return rowid;
          });
          EXPECT_EQ(std::this_thread::get_id(), loop_thread);
          EXPECT_EQ(id, i + 1) << "transactions run in the order they were asked for";
          finished.push_back(i);
        },
        asio::detached);
  }
  run_loop();
  EXPECT_EQ(finished.size(), 20u);
  EXPECT_EQ(rows(), 20);
}

TEST_F(WriterTest, DiscardsWhatATransactionLeavesUncommittedOrThrowsOutOf) {
  Writer writer(database_);
  std::string error;
  asio::co_spawn(
      io_,
      [&]() -> asio::awaitable<void> {
        co_await writer.write([](Connection& c) { c.execute("INSERT INTO t (v) VALUES (1)"); });
        try {
          co_await writer.write([](Connection& c) -> int {
            c.execute("INSERT INTO t (v) VALUES (2)");
            throw std::runtime_error("engine row refused");
          });
        } catch (const std::runtime_error& e) {
          error = e.what();
        }
        co_await writer.write([](Connection& c) {
          EXPECT_FALSE(c.in_transaction()) << "every transaction starts clean";
          c.execute("INSERT INTO t (v) VALUES (3)");
          c.commit();
        });
      },
      asio::detached);
  run_loop();
  EXPECT_EQ(error, "engine row refused");
  EXPECT_EQ(rows(), 1);
}

// The write below cannot finish before a read on the event loop has happened: if a write held
// the loop, this would never end.
TEST_F(WriterTest, ReadersOnTheLoopGoOnWhileAWriteIsOpen) {
  Writer writer(database_);
  std::promise<void> read_done;
  auto read_seen = read_done.get_future();
  std::atomic<bool> writing{false};
  std::int64_t seen_during_write = -1;
  asio::co_spawn(
      io_,
      [&]() -> asio::awaitable<void> {
        co_await writer.write([&](Connection& c) {
          c.execute("INSERT INTO t (v) VALUES (1)");
          writing = true;
          if (read_seen.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            throw std::runtime_error("the loop did not read while the write was open");
          }
          c.commit();
        });
      },
      asio::detached);
  asio::co_spawn(
      io_,
      [&]() -> asio::awaitable<void> {
        asio::steady_timer pause(io_);
        while (!writing) {
          pause.expires_after(std::chrono::milliseconds(1));
          co_await pause.async_wait(asio::use_awaitable);
        }
        seen_during_write = rows();
        read_done.set_value();
      },
      asio::detached);
  run_loop();
  EXPECT_EQ(seen_during_write, 0) << "the open transaction is not visible to readers";
  EXPECT_EQ(rows(), 1);
}

// Grouped writes queued behind a write that holds the writer. Each coroutine runs up to its
// hand-over before the next starts, so everything is queued before the holder is let go.
class GroupedWrites : public WriterTest {
 protected:
  void hold_the_writer(Writer& writer) {
    asio::co_spawn(
        io_,
        [&]() -> asio::awaitable<void> {
          co_await writer.write([this](Connection&) { held_.get_future().wait(); });
        },
        asio::detached);
  }
  void let_go() {
    asio::co_spawn(
        io_,
        [this]() -> asio::awaitable<void> {
          held_.set_value();
          co_return;
        },
        asio::detached);
  }
  // A grouped write of `v`; what it answers or throws goes into answers_.
  void insert(Writer& writer, int v, std::function<void(Connection&)> also = {}) {
    asio::co_spawn(
        io_,
        [&, v, also]() -> asio::awaitable<void> {
          try {
            const auto id = co_await writer.write_grouped(
                [&, v](Connection& c) {
                  c.execute("INSERT INTO t (v) VALUES (?)", {v});
                  runs_[v] += 1;
                  if (also) {
                    also(c);
                  }
                  return c.last_insert_rowid();
                },
                1);
            answers_[v] =
                "stored as " + std::to_string(id) + ", " + std::to_string(rows()) + " rows on disk";
          } catch (const std::exception& e) {
            answers_[v] = e.what();
          }
        },
        asio::detached);
  }
  std::vector<std::int64_t> stored_values() {
    std::vector<std::int64_t> values;
    Connection reader = database_.open_connection();
    for (const auto& row : reader.execute("SELECT v FROM t ORDER BY id")) {
      values.push_back(row.at("v").as_int64());
    }
    return values;
  }

  std::promise<void> held_;
  std::map<int, std::string> answers_;
  std::map<int, int> runs_;
};

TEST_F(GroupedWrites, ShareOneCommitAndAreAnsweredOnlyOnceAllAreOnDisk) {
  Writer writer(database_);
  hold_the_writer(writer);
  for (int v = 1; v <= 5; ++v) {
    insert(writer, v,
           v == 3 ? [](Connection&) { throw std::runtime_error("row 3 refused"); }
                  : std::function<void(Connection&)>{});
  }
  let_go();
  run_loop();
  EXPECT_EQ(answers_[1], "stored as 1, 4 rows on disk");
  EXPECT_EQ(answers_[2], "stored as 2, 4 rows on disk");
  EXPECT_EQ(answers_[3], "row 3 refused") << "a failing write rolls back its own rows only";
  EXPECT_EQ(answers_[4], "stored as 3, 4 rows on disk") << "row 3's id was given back";
  EXPECT_EQ(stored_values(), (std::vector<std::int64_t>{1, 2, 4, 5}));
  const Writer::Statistics statistics = writer.statistics();
  EXPECT_EQ(statistics.groups, 1u);
  EXPECT_EQ(statistics.grouped_writes, 5u);
  EXPECT_EQ(statistics.transactions, 2u);
}

TEST_F(GroupedWrites, KeepTheirPlaceAmongOtherWrites) {
  Writer writer(database_);
  hold_the_writer(writer);
  insert(writer, 1);
  insert(writer, 2);
  std::int64_t seen_by_other_write = -1;
  asio::co_spawn(
      io_,
      [&]() -> asio::awaitable<void> {
        seen_by_other_write = co_await writer.write([](Connection& c) {
          EXPECT_FALSE(c.in_transaction());
          return c.execute("SELECT count(*) AS n FROM t").at(0).at("n").as_int64();
        });
      },
      asio::detached);
  insert(writer, 3);
  let_go();
  run_loop();
  EXPECT_EQ(seen_by_other_write, 2) << "a write sees the grouped writes asked before it, only";
  EXPECT_EQ(stored_values(), (std::vector<std::int64_t>{1, 2, 3}));
  EXPECT_EQ(writer.statistics().groups, 2u);
}

// A failure that ends the whole transaction (SQLite does so on a full disk or an I/O error)
// takes the other writes' rows with it: they are stored again, each on its own.
TEST_F(GroupedWrites, ALostTransactionIsStoredAgainWriteByWrite) {
  Writer writer(database_);
  hold_the_writer(writer);
  insert(writer, 1);
  insert(writer, 2, [](Connection& c) {
    c.execute_script("ROLLBACK");
    throw std::runtime_error("the disk is full");
  });
  insert(writer, 3);
  let_go();
  run_loop();
  EXPECT_EQ(answers_[1], "stored as 1, 2 rows on disk");
  EXPECT_EQ(answers_[2], "the disk is full");
  EXPECT_EQ(answers_[3], "stored as 2, 2 rows on disk");
  EXPECT_EQ(stored_values(), (std::vector<std::int64_t>{1, 3}));
  EXPECT_EQ(runs_[1], 2) << "the write stored before the loss runs again";
  EXPECT_EQ(runs_[2], 1) << "the write that failed keeps its failure";
  EXPECT_EQ(runs_[3], 1);
}

}  // namespace
}  // namespace stratdesk::db

namespace stratdesk::db {
namespace {

class ReadPoolTest : public WriterTest {};

// A long read holds up neither the loop nor another read, sees what was committed when it
// started, and cannot write.
TEST_F(ReadPoolTest, ReadsRunBesideEachOtherAndTheWriterAndCannotWrite) {
  Writer writer(database_);
  ReadPool reads(database_, 2);
  std::promise<void> quick_done;
  auto quick_seen = quick_done.get_future().share();
  std::int64_t slow_saw = -1;
  std::int64_t quick_saw = -1;
  std::string refused;
  asio::co_spawn(
      io_,
      [&]() -> asio::awaitable<void> {
        auto slow = [&](Connection& c) {
          Statement held(c, "SELECT count(*) AS n FROM t");
          held.step();
          slow_saw = held.column(0).integer;
          // The other read and a commit happen while this one is open.
          if (quick_seen.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            throw std::runtime_error("the second read waited for the first");
          }
        };
        co_await reads.read(slow);
      },
      asio::detached);
  asio::co_spawn(
      io_,
      [&]() -> asio::awaitable<void> {
        co_await writer.write([](Connection& c) {
          c.execute("INSERT INTO t (v) VALUES (1)");
          c.commit();
        });
        auto quick = [](Connection& c) {
          return c.execute("SELECT count(*) AS n FROM t").at(0).at("n").as_int64();
        };
        quick_saw = co_await reads.read(quick);
        quick_done.set_value();
        auto write = [](Connection& c) { c.execute("INSERT INTO t (v) VALUES (2)"); };
        try {
          co_await reads.read(write);
        } catch (const Error& error) {
          refused = error.what();
        }
      },
      asio::detached);
  run_loop();
  EXPECT_EQ(quick_saw, 1);
  EXPECT_LE(slow_saw, 1);
  EXPECT_NE(refused.find("readonly"), std::string::npos) << refused;
  EXPECT_EQ(rows(), 1);
}

// A page sent in pieces keeps its lease after the pool is gone (a server stopping with an
// answer still held); the connection is closed, not handed back to nothing.
TEST_F(ReadPoolTest, ALeaseMayOutliveThePoolAndAnOpenReadIsEndedWhenItIsReturned) {
  std::optional<ReadPool::Lease> kept;
  {
    ReadPool reads(database_, 1);
    {
      ReadPool::Lease lease = reads.lease();
      lease.connection().execute_script("BEGIN");
      lease.connection().execute("SELECT count(*) FROM t");
    }
    ReadPool::Lease again = reads.lease();
    EXPECT_FALSE(again.connection().in_transaction()) << "a returned read starts afresh";
    kept.emplace(reads.lease());
  }
  EXPECT_EQ(kept->connection().execute("SELECT count(*) AS n FROM t").at(0).at("n"), 0);
  kept.reset();
}

}  // namespace
}  // namespace stratdesk::db
