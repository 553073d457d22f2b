// Feed ingestion: 500-row position POSTs over 1 and 4 connections against the real server,
// beside the same rows inserted straight into SQLite (the floor no HTTP server can beat).

#include <cstdio>

#include "bench_common.hpp"
#include "test_support.hpp"

namespace {

using namespace stratdesk;
using bench::Clock;

constexpr int rows_per_post = 500;
constexpr auto run_time = std::chrono::seconds(6);

double raw_sqlite_rows_per_second(const std::string& path, const std::string& pragmas,
                                  const std::vector<boost::json::array>& batches,
                                  std::chrono::milliseconds run_time) {
  sqlite3* db = nullptr;
  bench::check(sqlite3_open(path.c_str(), &db), db, "open");
  bench::check(sqlite3_exec(db, pragmas.c_str(), nullptr, nullptr, nullptr), db, "pragmas");
  const std::string table = std::string("CREATE TABLE position_feeds (id INTEGER PRIMARY KEY, ") +
                            "algorithm_id INTEGER NOT NULL, backtest_id INTEGER NOT NULL, " +
                            "datetime timestamp NOT NULL, order_book_id TEXT NOT NULL, type " +
                            "TEXT NOT NULL, quantity REAL, last_price REAL, avg_price REAL, " +
                            "market_value REAL, margin REAL, buy_pnl REAL, buy_margin REAL, " +
                            "buy_quantity REAL, buy_avg_open_price REAL, sell_pnl REAL, " +
                            "sell_margin REAL, sell_quantity REAL, sell_avg_open_price REAL, " +
                            "buy_market_value REAL, sell_market_value REAL, pnl REAL, " +
                            "transaction_cost REAL, buy_transaction_cost REAL, " +
                            "sell_transaction_cost REAL); CREATE INDEX position_feeds_index ON " +
                            "position_feeds (algorithm_id, backtest_id, datetime);";
  bench::check(sqlite3_exec(db, table.c_str(), nullptr, nullptr, nullptr), db, "schema");
  std::string sql =
      std::string("INSERT INTO position_feeds (") + bench::position_columns() + ") VALUES ";
  std::string placeholders = "(?";
  for (int i = 1; i < 24; ++i) {
    placeholders += ", ?";
  }
  placeholders += ")";
  for (int r = 0; r < 50; ++r) {
    sql += (r == 0 ? "" : ", ") + placeholders;
  }
  sqlite3_stmt* insert = nullptr;
  bench::check(sqlite3_prepare_v2(db, sql.c_str(), -1, &insert, nullptr), db, "prepare");
  long rows = 0;
  const auto start = Clock::now();
  for (std::size_t b = 0; Clock::now() - start < run_time; ++b) {
    const auto& batch = batches[b % batches.size()];
    bench::check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
    for (std::size_t first = 0; first < batch.size(); first += 50) {
      int index = 1;
      for (std::size_t r = first; r < first + 50; ++r) {
        for (const auto& value : batch[r].as_array()) {
          if (value.is_int64()) {
            sqlite3_bind_int64(insert, index++, value.get_int64());
          } else if (value.is_double()) {
            sqlite3_bind_double(insert, index++, value.get_double());
          } else {
            const auto& text = value.get_string();
            sqlite3_bind_text(insert, index++, text.data(), static_cast<int>(text.size()),
                              SQLITE_TRANSIENT);
          }
        }
      }
      bench::check(sqlite3_step(insert), db, "insert");
      sqlite3_reset(insert);
    }
    bench::check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
    rows += static_cast<long>(batch.size());
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sqlite3_finalize(insert);
  sqlite3_close(db);
  return static_cast<double>(rows) / seconds;
}

}  // namespace

int main() {
  test::TempDir dir;
  std::vector<boost::json::array> batches;
  std::vector<std::string> bodies;
  for (int b = 0; b < 8; ++b) {
    batches.push_back(bench::position_rows(3, 7 + b, b * rows_per_post, rows_per_post));
    bodies.push_back(
        test::form_encode({{"position_feeds", boost::json::serialize(batches.back())}}));
  }
  std::printf("ingestion: %d position rows per POST, body about %zu KB (URL-encoded)\n",
              rows_per_post, bodies[0].size() / 1024);

  // The journal settings the server could use, each on a fresh file; the server uses the first.
  const double raw = raw_sqlite_rows_per_second(dir.file("wal-full.db"),
                                                "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;",
                                                batches, run_time);
  std::printf("  raw SQLite, WAL + synchronous=FULL (the server's setting): %.0f rows/s\n", raw);
  const std::pair<const char*, const char*> alternatives[] = {
      {"WAL + synchronous=NORMAL", "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"},
      {"rollback journal + synchronous=FULL", "PRAGMA synchronous=FULL;"}};
  for (const auto& [name, pragmas] : alternatives) {
    const double rate =
        raw_sqlite_rows_per_second(dir.file(std::string(name) + ".db"), pragmas, batches, run_time);
    std::printf("  raw SQLite, %s: %.0f rows/s\n", name, rate);
  }

  // Every run starts from an empty database: insert cost grows with the table, so a later run
  // on a fuller file would be measured against an easier floor.
  double idle_mib = 0;
  double peak_mib = 0;
  for (int connections : {1, 4}) {
    test::ServerProcess server(dir.path() + "/server-" + std::to_string(connections));
    if (connections == 1) {
      idle_mib = bench::memory_mib(server.pid(), "VmRSS:");
    }
    const double cpu_before = bench::cpu_seconds(server.pid());
    const auto result = bench::run_load(connections, run_time, [&](int thread) {
      auto client = std::make_shared<test::HttpClient>("127.0.0.1", server.port());
      return std::function<bool(long)>([client, &bodies, thread](long i) {
        const auto& body = bodies[static_cast<std::size_t>(thread + i) % bodies.size()];
        return client->request("POST", "/api/feedgroup", body, "application/x-www-form-urlencoded")
                   .status == 200;
      });
    });
    const double cpu = bench::cpu_seconds(server.pid()) - cpu_before;
    const double rows_per_second = result.rate() * rows_per_post;
    std::printf(
        "  server, %d connection%s: %.0f rows/s (%ld POSTs, %ld failed), %.0f%% of raw; server "
        "busy %.0f%% of the time\n",
        connections, connections == 1 ? "" : "s", rows_per_second, result.requests, result.failures,
        100.0 * rows_per_second / raw, 100.0 * cpu / result.seconds);
    peak_mib = std::max(peak_mib, bench::memory_mib(server.pid(), "VmHWM:"));
  }
  std::printf("  server memory: %.1f MiB idle, %.1f MiB peak during ingestion\n", idle_mib,
              peak_mib);
  return 0;
}
