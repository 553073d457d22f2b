#include "db/writer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "db/db.hpp"
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

}  // namespace
}  // namespace stratdesk::db
