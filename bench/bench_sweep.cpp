// The server's overhead between the runs of a sweep: a 200-run sweep, four at a time, of an
// engine that only sleeps a fifth of a second. Each engine notes when it started and ended; the
// places' idle time between the first start and the last start, spread over the runs that
// waited for a place, is the overhead per run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.hpp"

namespace {

using namespace stratdesk;
namespace fs = std::filesystem;

constexpr int runs = 200;
constexpr int places = 4;
constexpr double run_seconds = 0.2;

// An engine that needs nothing but bash, whose clock needs no process of its own: the server
// runs `<python> <engine script> ...`.
void write_engine(const std::string& dir) {
  char seconds[16];
  std::snprintf(seconds, sizeof seconds, "%.2f", run_seconds);
  test::write_file(dir + "/engine.sh", "started=$EPOCHREALTIME\nsleep " + std::string(seconds) +
                                           "\necho \"$started $EPOCHREALTIME\" >> " + dir +
                                           "/spans\n");
}

struct Span {
  double start = 0;
  double end = 0;
};

std::vector<Span> read_spans(const std::string& path) {
  std::vector<Span> spans;
  std::ifstream in(path);
  Span span;
  while (in >> span.start >> span.end) {
    spans.push_back(span);
  }
  std::sort(spans.begin(), spans.end(),
            [](const Span& a, const Span& b) { return a.start < b.start; });
  return spans;
}

// Place-seconds busy within [from, to).
double busy_within(const std::vector<Span>& spans, double from, double to) {
  double busy = 0;
  for (const Span& span : spans) {
    busy += std::max(0.0, std::min(span.end, to) - std::max(span.start, from));
  }
  return busy;
}

}  // namespace

int main() {
  test::TempDir dir;
  write_engine(dir.path());
  test::ServerProcess server(dir.file("data"), {"--python", "/bin/bash", "--engine-script",
                                                dir.file("engine.sh"), "--max-running", "4"});
  test::HttpClient client("127.0.0.1", server.port());
  std::string values;
  for (int i = 0; i < runs; ++i) {
    values += (i == 0 ? "" : ",") + std::to_string(i);
  }
  const auto posted =
      client.post_form("/api/algorithms/1/sweeps",
                       {{"config", R"({"start_date": "2016-01-04", "end_date": "2016-12-30",
                      "stock_starting_cash": 100000, "frequency": "1d", "securities": "stock"})"},
                        {"code", "pass\n"},
                        {"grid", "{\"n\": [" + values + "]}"},
                        {"concurrency", std::to_string(places)}});
  if (posted.status != 200) {
    std::fprintf(stderr, "the sweep was refused: %d %s\n", posted.status, posted.body.c_str());
    return 1;
  }
  const std::string sweep = "/api/sweeps/" + std::to_string(posted.json().at("id").as_int64());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
  while (client.get(sweep).json().at("state") == "running") {
    if (std::chrono::steady_clock::now() > deadline) {
      std::fprintf(stderr, "the sweep did not end within 5 minutes\n");
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const std::vector<Span> spans = read_spans(dir.file("spans"));
  if (spans.size() != static_cast<std::size_t>(runs)) {
    std::fprintf(stderr, "%zu runs noted their span, not %d\n", spans.size(), runs);
    return 1;
  }
  // From the first start to the last: every place is meant to be busy all along.
  const double from = spans.front().start;
  const double to = spans.back().start;
  const double offered = places * (to - from);
  const double busy = busy_within(spans, from, to);
  const double overhead_ms = (offered - busy) / (runs - places) * 1000;
  std::printf(
      "sweep of %d runs of %.1f s, %d at a time: overhead per run %.1f ms (target under 20), "
      "places busy %.1f%% of the time (target at least 95%%), %.1f s in all\n",
      runs, run_seconds, places, overhead_ms, 100 * busy / offered,
      spans.back().end - spans.front().start);
  return 0;
}
