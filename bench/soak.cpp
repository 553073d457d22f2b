// A bounded mixed load on one server: feed ingestion and paging from several clients, launches of
// short stand-in engine runs, stops and deletions. Samples the server's resident memory, open
// descriptors and child processes, and prints them at the start (after warm-up) and the end.
//
//   soak [--seconds N]     (default 600)

#include <dirent.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

#include "bench_common.hpp"
#include "test_support.hpp"

namespace {

using namespace stratdesk;
using namespace std::chrono_literals;

struct Sample {
  double seconds = 0;
  double rss_mib = 0;
  int descriptors = 0;
  int children = 0;
  int zombies = 0;
};

int count_descriptors(int pid) {
  int count = 0;
  if (DIR* directory = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (const dirent* entry = ::readdir(directory)) {
      count += entry->d_name[0] != '.' ? 1 : 0;
    }
    ::closedir(directory);
  }
  return count;
}

// Children of `pid`, and how many of them are zombies, from /proc/*/stat.
std::pair<int, int> count_children(int pid) {
  int children = 0;
  int zombies = 0;
  DIR* proc = ::opendir("/proc");
  while (const dirent* entry = proc != nullptr ? ::readdir(proc) : nullptr) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') {
      continue;
    }
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
      continue;
    }
    char state = 0;
    int parent = 0;
    if (std::sscanf(text.c_str() + close + 2, "%c %d", &state, &parent) == 2 && parent == pid) {
      ++children;
      zombies += state == 'Z' ? 1 : 0;
    }
  }
  if (proc != nullptr) {
    ::closedir(proc);
  }
  return {children, zombies};
}

Sample sample(int pid, bench::Clock::time_point start) {
  Sample s;
  s.seconds = std::chrono::duration<double>(bench::Clock::now() - start).count();
  s.rss_mib = bench::memory_mib(pid, "VmRSS:");
  s.descriptors = count_descriptors(pid);
  std::tie(s.children, s.zombies) = count_children(pid);
  return s;
}

void print(const char* label, const Sample& s) {
  std::printf("  %-22s t=%6.0fs  rss %6.1f MiB  descriptors %4d  children %2d  zombies %d\n", label,
              s.seconds, s.rss_mib, s.descriptors, s.children, s.zombies);
  std::fflush(stdout);
}

std::string short_run_config(int month) {
  char config[512];
  std::snprintf(config, sizeof config,
                R"({"start_date": "2016-%02d-01", "end_date": "2016-%02d-28", )"
                R"("stock_starting_cash": 100000, "frequency": "1d", "benchmark": "000300.XSHG", )"
                R"("matching_type": "current_bar", "securities": "stock"})",
                month, month);
  return config;
}

const std::string long_run_config =
    R"({"start_date": "2014-01-02", "end_date": "2018-12-28", "stock_starting_cash": 100000, )"
    R"("frequency": "1d", "benchmark": "000300.XSHG", "securities": "stock"})";

struct Counters {
  std::atomic<long> posts{0}, pages{0}, launches{0}, stops{0}, deletions{0}, failures{0};
};

void ingest(unsigned short port, int client, const std::atomic<bool>& stop, Counters& counters) {
  test::HttpClient http("127.0.0.1", port);
  for (int n = 0; !stop; ++n) {
    const auto body = test::form_encode(
        {{"position_feeds",
          boost::json::serialize(bench::position_rows(90, 9000 + client, (n % 50) * 100, 100))}});
    const auto answer =
        http.request("POST", "/api/feedgroup", body, "application/x-www-form-urlencoded");
    (answer.status == 200 ? counters.posts : counters.failures)++;
    std::this_thread::sleep_for(100ms);
  }
}

void page(unsigned short port, int client, const std::atomic<bool>& stop, Counters& counters) {
  test::HttpClient http("127.0.0.1", port);
  std::mt19937 random(static_cast<unsigned>(client));
  const char* kinds[] = {"position", "portfolio", "trade", "log", "plot"};
  while (!stop) {
    const std::string target = "/api/algorithms/90/backtests/" + std::to_string(9000 + client % 2) +
                               "/feeds/" + kinds[random() % 5] +
                               "?start_index=" + std::to_string(random() % 2000) + "&limit=50";
    (http.get(target).status == 200 ? counters.pages : counters.failures)++;
    std::this_thread::sleep_for(20ms);
  }
}

std::string state_of(test::HttpClient& http, std::int64_t id) {
  const auto answer = http.get("/api/backtests/" + std::to_string(id));
  if (answer.status != 200) {
    return "";
  }
  const auto row = answer.json();
  return row.is_object() ? std::string(row.at("state").as_string()) : "";
}

bool wait_stopped(test::HttpClient& http, std::int64_t id, std::chrono::seconds limit) {
  const auto deadline = bench::Clock::now() + limit;
  while (bench::Clock::now() < deadline) {
    if (state_of(http, id) == "stopped") {
      return true;
    }
    std::this_thread::sleep_for(200ms);
  }
  return false;
}

// Launches short runs and deletes them once they end; every fourth run is a long one that is
// stopped a moment after it starts.
void launch(unsigned short port, const std::string& code, const std::atomic<bool>& stop,
            Counters& counters) {
  test::HttpClient http("127.0.0.1", port);
  for (int n = 0; !stop; ++n) {
    const bool long_run = n % 4 == 3;
    const auto answer = http.post_form(
        "/api/algorithms/1/backtests",
        {{"config", long_run ? long_run_config : short_run_config(1 + n % 12)}, {"code", code}});
    if (answer.status != 200) {
      counters.failures++;
      std::this_thread::sleep_for(1s);
      continue;
    }
    counters.launches++;
    const std::int64_t id = answer.json().at("id").as_int64();
    if (long_run) {
      std::this_thread::sleep_for(1s);
      const auto stopped = http.post_form("/api/algorithms/1/backtests/" + std::to_string(id),
                                          {{"state", "stop"}}, "PATCH");
      (stopped.status == 200 ? counters.stops : counters.failures)++;
    }
    if (!wait_stopped(http, id, 120s)) {
      counters.failures++;
      continue;
    }
    const auto deleted =
        http.request("DELETE", "/api/algorithms/1/backtests/" + std::to_string(id));
    (deleted.status == 200 && deleted.json().as_object().contains("id") ? counters.deletions
                                                                        : counters.failures)++;
  }
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 600;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0) {
      seconds = std::max(30, std::atoi(argv[i + 1]));
    }
  }
  const auto warm_up = std::chrono::seconds(std::min(60, seconds / 10));
  test::TempDir dir;
  test::ServerProcess server(dir.path());
  const std::string code =
      test::read_file(STRATDESK_SOURCE_DIR "/engine/examples/dual_moving_average.py");
  std::printf(
      "soak: %d s of ingestion (2 clients), paging (2 clients), launches, stops and "
      "deletions; warm-up %lld s\n",
      seconds, static_cast<long long>(warm_up.count()));

  const auto start = bench::Clock::now();
  std::atomic<bool> stop{false};
  Counters counters;
  std::vector<std::thread> load;
  for (int client = 0; client < 2; ++client) {
    load.emplace_back(ingest, server.port(), client, std::cref(stop), std::ref(counters));
    load.emplace_back(page, server.port(), client, std::cref(stop), std::ref(counters));
  }
  load.emplace_back(launch, server.port(), std::cref(code), std::cref(stop), std::ref(counters));

  print("at start", sample(server.pid(), start));
  std::this_thread::sleep_for(warm_up);
  const Sample after_warm_up = sample(server.pid(), start);
  print("after warm-up", after_warm_up);
  Sample peak = after_warm_up;
  while (bench::Clock::now() - start < std::chrono::seconds(seconds)) {
    std::this_thread::sleep_for(10s);
    const Sample now = sample(server.pid(), start);
    peak.rss_mib = std::max(peak.rss_mib, now.rss_mib);
    peak.descriptors = std::max(peak.descriptors, now.descriptors);
    peak.children = std::max(peak.children, now.children);
    peak.zombies = std::max(peak.zombies, now.zombies);
  }
  const Sample under_load = sample(server.pid(), start);
  print("end of load", under_load);
  stop = true;
  for (auto& thread : load) {
    thread.join();
  }
  // Engines still running end on their own; give them a moment, then look again.
  std::this_thread::sleep_for(5s);
  const Sample settled = sample(server.pid(), start);
  print("after the load", settled);
  std::printf("  peak under load: rss %.1f MiB, descriptors %d, children %d, zombies %d\n",
              peak.rss_mib, peak.descriptors, peak.children, peak.zombies);
  std::printf(
      "  requests: %ld posts, %ld pages, %ld launches, %ld stops, %ld deletions, %ld failed\n",
      counters.posts.load(), counters.pages.load(), counters.launches.load(), counters.stops.load(),
      counters.deletions.load(), counters.failures.load());
  std::printf("  growth after warm-up: rss %+.1f MiB, descriptors %+d; zombies left %d\n",
              settled.rss_mib - after_warm_up.rss_mib,
              settled.descriptors - after_warm_up.descriptors, settled.zombies);
  return counters.failures.load() == 0 && settled.zombies == 0 ? 0 : 1;
}
