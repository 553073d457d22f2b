// Feed paging: with 100,000 position rows of one backtest stored, pages at random offsets and
// first pages over 4 connections, beside the raw statement straight against SQLite on 4 threads
// and the server's own rate for an unknown path; and the reads of a client following the backtest
// near its end by after_id, beside the same pages by start_index; and the caught-up after_id poll
// of that backtest before and after another backtest stores millions of later rows; and a cheap
// page while four clients each read a whole backtest of 2 million rows in one answer, with the
// server's memory meanwhile.

#include <atomic>
#include <cstdio>
#include <random>
#include <thread>

#include <time.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "bench_common.hpp"
#include "test_support.hpp"

namespace {

using namespace stratdesk;
using bench::Clock;

constexpr int total_rows = 100000;
constexpr int other_rows = 8000000;
constexpr int whole_rows = 2000000;
constexpr int whole_readers = 4;
constexpr int connections = 4;
constexpr auto run_time = std::chrono::seconds(5);
const std::string page_path = "/api/algorithms/3/backtests/7/feeds/position";

void load_rows(unsigned short port) {
  test::HttpClient client("127.0.0.1", port);
  for (int first = 0; first < total_rows; first += 1000) {
    const auto body = test::form_encode(
        {{"position_feeds", boost::json::serialize(bench::position_rows(3, 7, first, 1000))}});
    if (client.request("POST", "/api/feedgroup", body, "application/x-www-form-urlencoded")
            .status != 200) {
      throw std::runtime_error("loading rows failed");
    }
  }
}

// Pages straight from SQLite, on as many threads and connections as the server's side has
// clients, each binding and stepping the page's statement; at random offsets, or the first page.
double raw_pages_per_second(const std::string& db_path, int limit, bool first_page) {
  std::atomic<long> pages{0};
  std::atomic<bool> read_something{false};
  const auto read = [&](int thread) {
    sqlite3* db = nullptr;
    bench::check(sqlite3_open(db_path.c_str(), &db), db, "open");
    sqlite3_stmt* select = nullptr;
    bench::check(sqlite3_prepare_v2(db,
                                    "SELECT * FROM position_feeds WHERE algorithm_id = ? AND "
                                    "backtest_id = ? ORDER BY datetime ASC LIMIT ? OFFSET ?",
                                    -1, &select, nullptr),
                 db, "prepare");
    std::mt19937 random(static_cast<unsigned>(42 + thread));
    std::uniform_int_distribution<int> offset(0, total_rows - limit);
    long mine = 0;
    double checksum = 0;
    const auto start = Clock::now();
    while (Clock::now() - start < run_time) {
      sqlite3_bind_int(select, 1, 3);
      sqlite3_bind_int(select, 2, 7);
      sqlite3_bind_int(select, 3, limit);
      sqlite3_bind_int(select, 4, first_page ? 0 : offset(random));
      while (sqlite3_step(select) == SQLITE_ROW) {
        for (int c = 0; c < sqlite3_column_count(select); ++c) {
          checksum += sqlite3_column_type(select, c) == SQLITE_FLOAT
                          ? sqlite3_column_double(select, c)
                          : static_cast<double>(sqlite3_column_bytes(select, c));
        }
      }
      sqlite3_reset(select);
      ++mine;
    }
    sqlite3_finalize(select);
    sqlite3_close(db);
    pages += mine;
    if (checksum > 0) {
      read_something = true;
    }
  };
  std::vector<std::thread> threads;
  for (int thread = 0; thread < connections; ++thread) {
    threads.emplace_back(read, thread);
  }
  for (auto& thread : threads) {
    thread.join();
  }
  const double seconds = std::chrono::duration<double>(run_time).count();
  return read_something ? static_cast<double>(pages) / seconds : 0;
}

// Straight into the file, as the server is idle by then: posting millions of rows would take
// most of the run. The rows carry only the required columns, which is all a poll would walk.
void store_rows_of_another_backtest(const std::string& db_path, int backtest, int rows) {
  sqlite3* db = nullptr;
  bench::check(sqlite3_open(db_path.c_str(), &db), db, "open");
  sqlite3_busy_timeout(db, 10000);
  const std::string insert =
      "INSERT INTO position_feeds (algorithm_id, backtest_id, datetime, order_book_id, type) "
      "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
      std::to_string(rows - 1) + ") SELECT 3, " + std::to_string(backtest) +
      ", printf('2016-%02d-%02d 15:00:00', 1 + (i / 28) % 12, 1 + i % 28), "
      "printf('%06d.XSHE', i % 3000), 'STOCK' FROM n";
  bench::check(sqlite3_exec(db, insert.c_str(), nullptr, nullptr, nullptr), db, "insert");
  sqlite3_close(db);
}

// One whole answer read and thrown away as it arrives, as a client that saves it to a file
// would: the bytes it held.
std::size_t read_and_discard(unsigned short port, const std::string& target) {
  namespace asio = boost::asio;
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  socket.connect({asio::ip::make_address("127.0.0.1"), port});
  const std::string request =
      "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  asio::write(socket, asio::buffer(request));
  std::vector<char> buffer(std::size_t{1} << 20);
  std::size_t total = 0;
  boost::system::error_code ec;
  while (!ec) {
    total += socket.read_some(asio::buffer(buffer), ec);
  }
  return total;
}

// Four whole-backtest reads at once and, beside them, one client asking for a small page as
// fast as it can; the server's resident memory is sampled meanwhile.
void whole_backtest_reads(const test::ServerProcess& server) {
  store_rows_of_another_backtest(server.db_path(), 9, whole_rows);
  const std::string whole = "/api/algorithms/3/backtests/9/feeds/position?limit=100000000";
  const double rss_before = bench::memory_mib(server.pid(), "VmRSS:");
  std::atomic<int> reading{whole_readers};
  std::atomic<std::size_t> bytes{0};
  std::vector<std::thread> readers;
  const auto start = Clock::now();
  for (int n = 0; n < whole_readers; ++n) {
    readers.emplace_back([&] {
      bytes += read_and_discard(server.port(), whole);
      --reading;
    });
  }
  std::vector<double> latencies_ms;
  double rss_peak = rss_before;
  test::HttpClient client("127.0.0.1", server.port());
  while (reading > 0) {
    const auto before = Clock::now();
    if (client.get(page_path + "?limit=10").status != 200) {
      throw std::runtime_error("a small page failed during the whole reads");
    }
    latencies_ms.push_back(
        std::chrono::duration<double, std::milli>(Clock::now() - before).count());
    rss_peak = std::max(rss_peak, bench::memory_mib(server.pid(), "VmRSS:"));
  }
  for (auto& reader : readers) {
    reader.join();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf(
      "  %d whole reads of %d rows (%.0f MiB each) in %.1f s, beside them %zu small pages:\n",
      whole_readers, whole_rows, static_cast<double>(bytes) / whole_readers / (1 << 20), seconds,
      latencies_ms.size());
  std::printf("    small page p50 %.2f ms  p99 %.2f ms  max %.2f ms\n",
              bench::percentile(latencies_ms, 0.5), bench::percentile(latencies_ms, 0.99),
              bench::percentile(latencies_ms, 1.0));
  std::printf(
      "    server resident memory %.0f MiB before, %.0f MiB at most during (%.2f of the\n"
      "    bytes one answer holds)\n",
      rss_before, rss_peak,
      (rss_peak - rss_before) / (static_cast<double>(bytes) / whole_readers / (1 << 20)));
}

double own_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double seconds_of(std::chrono::milliseconds duration) {
  return std::chrono::duration<double>(duration).count();
}

bench::LoadResult serve(unsigned short port,
                        const std::function<std::string(std::mt19937&)>& target,
                        int expected_status) {
  return bench::run_load(connections, run_time, [&](int thread) {
    auto client = std::make_shared<test::HttpClient>("127.0.0.1", port);
    auto random = std::make_shared<std::mt19937>(static_cast<unsigned>(thread));
    return std::function<bool(long)>([client, random, &target, expected_status](long) {
      return client->get(target(*random)).status == expected_status;
    });
  });
}

void print(const char* name, const bench::LoadResult& result, double reference,
           const char* reference_name) {
  std::printf("  %-28s %8.0f req/s  p50 %.2f ms  p99 %.2f ms  (%ld failed)  %.0f%% of %s\n", name,
              result.rate(), bench::percentile(result.latencies_ms, 0.5),
              bench::percentile(result.latencies_ms, 0.99), result.failures,
              100.0 * result.rate() / reference, reference_name);
}

}  // namespace

int main() {
  test::TempDir dir;
  test::ServerProcess server(dir.path());
  load_rows(server.port());
  std::printf("paging: %d position rows of one backtest, %d connections\n", total_rows,
              connections);

  const auto random_page = [](int limit) {
    return [limit](std::mt19937& random) {
      std::uniform_int_distribution<int> offset(0, total_rows - limit);
      return page_path + "?limit=" + std::to_string(limit) +
             "&start_index=" + std::to_string(offset(random));
    };
  };
  const auto not_found = serve(
      server.port(), [](std::mt19937&) { return "/api/nowhere"; }, 404);
  for (int limit : {10, 100}) {
    const double raw = raw_pages_per_second(server.db_path(), limit, false);
    std::printf("  raw statement on %d threads, pages of %d at random offsets: %.0f pages/s\n",
                connections, limit, raw);
    const auto pages = serve(server.port(), random_page(limit), 200);
    const std::string name = "pages of " + std::to_string(limit) + ", random offset";
    print(name.c_str(), pages, raw, "raw");
  }
  // CPU per page on both sides, apart from the client's own work on the same cores.
  const double bench_cpu_before = own_cpu_seconds();
  const double raw_first = raw_pages_per_second(server.db_path(), 100, true);
  const double raw_cpu_us =
      (own_cpu_seconds() - bench_cpu_before) * 1e6 / (raw_first * seconds_of(run_time));
  std::printf(
      "  raw statement on %d threads, first pages of 100: %.0f pages/s, %.0f us of CPU "
      "each\n",
      connections, raw_first, raw_cpu_us);
  const double server_cpu_before = bench::cpu_seconds(server.pid());
  const auto first_pages = serve(
      server.port(), [](std::mt19937&) { return page_path + "?limit=100"; }, 200);
  const double server_cpu_us = (bench::cpu_seconds(server.pid()) - server_cpu_before) * 1e6 /
                               static_cast<double>(first_pages.requests);
  std::printf(
      "  server CPU per first page of 100: %.0f us, %.2f of the raw statement's rate by "
      "CPU\n",
      server_cpu_us, raw_cpu_us / server_cpu_us);
  print("first pages of 100", first_pages, raw_first, "raw");

  // Ids follow the posted order, 1 to total_rows, so both read the same region of the backtest.
  constexpr int tail = 1000;
  constexpr int limit = 100;
  const auto near_end = [](const char* argument) {
    return [argument](std::mt19937& random) {
      std::uniform_int_distribution<int> position(total_rows - tail, total_rows - limit);
      return page_path + "?limit=" + std::to_string(limit) + "&" + argument + "=" +
             std::to_string(position(random));
    };
  };
  const auto by_offset = serve(server.port(), near_end("start_index"), 200);
  const auto by_id = serve(server.port(), near_end("after_id"), 200);
  std::printf("  following the last %d rows, pages of %d:\n", tail, limit);
  print("by start_index", by_offset, by_offset.rate(), "itself");
  print("by after_id", by_id, by_offset.rate(), "start_index");
  print("unknown path (404)", not_found, not_found.rate(), "itself");

  // A client that has read all of backtest 7 polls for more; the rows of backtest 8 all come
  // after its last id.
  const auto caught_up = [](std::mt19937&) {
    return page_path + "?limit=" + std::to_string(limit) +
           "&after_id=" + std::to_string(total_rows);
  };
  const auto alone = serve(server.port(), caught_up, 200);
  const auto before_storing = Clock::now();
  store_rows_of_another_backtest(server.db_path(), 8, other_rows);
  std::printf("  %d rows of another backtest stored straight into the file in %.1f s\n", other_rows,
              std::chrono::duration<double>(Clock::now() - before_storing).count());
  const auto beside_others = serve(server.port(), caught_up, 200);
  std::printf("  caught-up after_id poll, pages of %d:\n", limit);
  print("no later rows elsewhere", alone, alone.rate(), "itself");
  const std::string name = std::to_string(other_rows) + " later rows elsewhere";
  print(name.c_str(), beside_others, alone.rate(), "no rows elsewhere");
  whole_backtest_reads(server);
  return 0;
}
