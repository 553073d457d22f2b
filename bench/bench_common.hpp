#pragma once

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/json/array.hpp>
#include <boost/json/serialize.hpp>

// Pieces shared by the benchmark programs.
namespace stratdesk::bench {

using Clock = std::chrono::steady_clock;

// Resident and peak resident memory of a process, in MiB, from /proc.
inline double memory_mib(int pid, const char* field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) {
      return std::stod(line.substr(std::string(field).size())) / 1024.0;
    }
  }
  return -1;
}

// User plus system CPU time a process has used, in seconds, from /proc.
inline double cpu_seconds(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int index = 3; fields >> field; ++index) {
    if (index == 14 || index == 15) {
      ticks += std::stod(field);
    }
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A position row as an engine posts it: 24 values, realistic magnitudes.
inline boost::json::array position_row(int algorithm, int backtest, int n) {
  char datetime[32];
  std::snprintf(datetime, sizeof datetime, "2016-%02d-%02d 15:00:00", 1 + (n / 28) % 12,
                1 + n % 28);
  char instrument[32];
  std::snprintf(instrument, sizeof instrument, "%06d.XSHE", n % 3000);
  const double price = 10.0 + (n % 997) * 0.013;
  const double quantity = 100.0 * (1 + n % 50);
  return boost::json::array{algorithm,
                            backtest,
                            datetime,
                            instrument,
                            "STOCK",
                            quantity,
                            price,
                            price * 0.98,
                            price * quantity,
                            0.0,
                            quantity * price * 0.02,
                            0.0,
                            quantity,
                            price * 0.98,
                            0.0,
                            0.0,
                            0.0,
                            0.0,
                            price * quantity,
                            0.0,
                            quantity * price * 0.02,
                            price * quantity * 0.0008,
                            price * quantity * 0.0008,
                            0.0};
}

inline boost::json::array position_rows(int algorithm, int backtest, int first, int count) {
  boost::json::array rows;
  for (int n = first; n < first + count; ++n) {
    rows.push_back(position_row(algorithm, backtest, n));
  }
  return rows;
}

inline const char* position_columns() {
  return "algorithm_id, backtest_id, datetime, order_book_id, type, quantity, last_price, "
         "avg_price, market_value, margin, buy_pnl, buy_margin, buy_quantity, "
         "buy_avg_open_price, sell_pnl, sell_margin, sell_quantity, sell_avg_open_price, "
         "buy_market_value, sell_market_value, pnl, transaction_cost, buy_transaction_cost, "
         "sell_transaction_cost";
}

inline void check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
  }
}

inline double percentile(std::vector<double> samples, double p) {
  if (samples.empty()) {
    return 0;
  }
  std::sort(samples.begin(), samples.end());
  const auto index = static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1));
  return samples[index];
}

struct LoadResult {
  double seconds = 0;
  long requests = 0;
  long failures = 0;
  std::vector<double> latencies_ms;
  [[nodiscard]] double rate() const { return static_cast<double>(requests) / seconds; }
};

// Runs `connections` threads, each calling `one_request(thread, iteration)` (true when the
// answer was right) until `duration` has passed.
inline LoadResult run_load(int connections, std::chrono::milliseconds duration,
                           const std::function<std::function<bool(long)>(int)>& make_worker) {
  std::vector<LoadResult> partial(static_cast<std::size_t>(connections));
  std::vector<std::thread> threads;
  const auto start = Clock::now();
  const auto deadline = start + duration;
  for (int t = 0; t < connections; ++t) {
    threads.emplace_back([&, t] {
      auto worker = make_worker(t);
      LoadResult& mine = partial[static_cast<std::size_t>(t)];
      for (long i = 0; Clock::now() < deadline; ++i) {
        const auto before = Clock::now();
        const bool ok = worker(i);
        mine.latencies_ms.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - before).count());
        ++mine.requests;
        mine.failures += ok ? 0 : 1;
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  LoadResult total;
  total.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (auto& part : partial) {
    total.requests += part.requests;
    total.failures += part.failures;
    total.latencies_ms.insert(total.latencies_ms.end(), part.latencies_ms.begin(),
                              part.latencies_ms.end());
  }
  return total;
}

}  // namespace stratdesk::bench
