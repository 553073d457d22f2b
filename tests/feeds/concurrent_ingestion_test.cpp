#include "feeds/feeds.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include <boost/json/serialize.hpp>

#include "db/connection.hpp"
#include "test_support.hpp"

namespace stratdesk::feeds {
namespace {

using boost::json::array;

array log_rows(int backtest, int count) {
  array rows;
  for (int n = 0; n < count; ++n) {
    rows.push_back(array{3, backtest, "2016-01-04 15:00:00", "line " + std::to_string(n), 20});
  }
  return rows;
}

array position_rows(int backtest, int count) {
  array rows;
  for (int n = 0; n < count; ++n) {
    rows.push_back(array{3,
                         backtest,
                         "2016-01-04 15:00:00",
                         "000001.XSHE",
                         "STOCK",
                         100.0,
                         10.5,
                         9.8,
                         1050.0,
                         0.0,
                         1.0,
                         0.0,
                         100.0,
                         9.8,
                         0.0,
                         0.0,
                         0.0,
                         0.0,
                         1050.0,
                         0.0,
                         1.0,
                         0.5,
                         0.5,
                         0.0});
  }
  return rows;
}

std::string form(const std::vector<std::pair<std::string, std::string>>& kinds) {
  return test::form_encode(kinds);
}

class ConcurrentIngestionTest : public ::testing::Test {
 protected:
  ConcurrentIngestionTest() : server_(dir_.path()) {}

  // Rows of `backtest` in `table`, read from the file itself.
  std::int64_t rows_of(const std::string& table, int backtest) {
    db::Connection c(server_.db_path());
    return c.execute("SELECT count(*) AS n FROM " + table + " WHERE backtest_id = ?", {backtest})
        .at(0)
        .at("n")
        .as_int64();
  }

  test::TempDir dir_;
  test::ServerProcess server_;
};

// While one large POST is read and stored, reads of another backtest keep being answered: the
// reads' answers all arrive before the POST's.
TEST_F(ConcurrentIngestionTest, ReadsAreAnsweredWhileALargePostIsStored) {
  test::HttpClient reader("127.0.0.1", server_.port());
  ASSERT_EQ(
      reader.post_form("/api/feedgroup", {{"log_feeds", boost::json::serialize(log_rows(99, 5))}})
          .status,
      200);
  const std::string large =
      form({{"position_feeds", boost::json::serialize(position_rows(8, 150000))}});
  std::atomic<bool> answered{false};
  auto post = std::async(std::launch::async, [&] {
    test::HttpClient poster("127.0.0.1", server_.port());
    const int status =
        poster.request("POST", "/api/feedgroup", large, "application/x-www-form-urlencoded").status;
    answered = true;
    return status;
  });
  // Wait until the body is on its way, then read while it is being handled.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  int reads_before_answer = 0;
  for (int i = 0; i < 20; ++i) {
    const auto page = reader.get("/api/algorithms/3/backtests/99/feeds/log?limit=2");
    ASSERT_EQ(page.status, 200);
    ASSERT_EQ(page.json().as_array().size(), 2u);
    reads_before_answer += answered ? 0 : 1;
  }
  EXPECT_EQ(post.get(), 200);
  EXPECT_EQ(reads_before_answer, 20) << "reads waited for the large POST";
  EXPECT_EQ(rows_of("position_feeds", 8), 150000);
}

// Many engines at once, some posting rows that cannot be stored, some cut off mid-body: every
// POST is stored whole or not at all, and what was answered is what the file holds.
TEST_F(ConcurrentIngestionTest, EachPostIsStoredWholeOrNotAtAll) {
  constexpr int engines = 6;
  constexpr int posts_per_engine = 12;
  std::mutex mutex;
  std::map<int, int> status_of_backtest;
  std::vector<std::thread> threads;
  for (int engine = 0; engine < engines; ++engine) {
    threads.emplace_back([&, engine] {
      test::HttpClient client("127.0.0.1", server_.port());
      for (int n = 0; n < posts_per_engine; ++n) {
        const int backtest = 1000 + engine * 100 + n;
        std::string body;
        switch (n % 4) {
          case 0:
          case 1:  // two kinds, both storable
            body = form({{"position_feeds", boost::json::serialize(position_rows(backtest, 120))},
                         {"log_feeds", boost::json::serialize(log_rows(backtest, 30))}});
            break;
          case 2:  // the positions are stored before the malformed log rows are met
            body = form({{"position_feeds", boost::json::serialize(position_rows(backtest, 120))},
                         {"log_feeds", "[[3, " + std::to_string(backtest) + ", \"x\", "}});
            break;
          case 3: {  // cut off mid-body: the connection closes before the body is whole
            const std::string whole =
                form({{"position_feeds", boost::json::serialize(position_rows(backtest, 120))}});
            test::raw_exchange(server_.port(),
                               "POST /api/feedgroup HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                               "Content-Type: application/x-www-form-urlencoded\r\n"
                               "Content-Length: " +
                                   std::to_string(whole.size()) + "\r\n\r\n" +
                                   whole.substr(0, whole.size() / 2),
                               std::chrono::milliseconds(200));
            const std::lock_guard lock(mutex);
            status_of_backtest[backtest] = 0;
            continue;
          }
        }
        const int status =
            client.request("POST", "/api/feedgroup", body, "application/x-www-form-urlencoded")
                .status;
        const std::lock_guard lock(mutex);
        status_of_backtest[backtest] = status;
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  ASSERT_EQ(status_of_backtest.size(), static_cast<std::size_t>(engines * posts_per_engine));
  for (const auto& [backtest, status] : status_of_backtest) {
    const int n = (backtest - 1000) % 100;
    if (n % 4 < 2) {
      EXPECT_EQ(status, 200) << backtest;
      EXPECT_EQ(rows_of("position_feeds", backtest), 120) << backtest;
      EXPECT_EQ(rows_of("log_feeds", backtest), 30) << backtest;
    } else {
      EXPECT_NE(status, 200) << backtest;
      EXPECT_EQ(rows_of("position_feeds", backtest), 0) << backtest;
      EXPECT_EQ(rows_of("log_feeds", backtest), 0) << backtest;
    }
  }
  // Every row belongs to a POST answered 200: nothing of another's transaction slipped in.
  db::Connection c(server_.db_path());
  EXPECT_EQ(c.execute("SELECT count(*) AS n FROM position_feeds").at(0).at("n").as_int64(),
            engines * posts_per_engine / 2 * 120);
  EXPECT_EQ(c.execute("PRAGMA integrity_check").at(0).begin()->value().as_string(), "ok");
}

}  // namespace
}  // namespace stratdesk::feeds
