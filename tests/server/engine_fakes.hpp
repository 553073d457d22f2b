#pragma once

// Small stand-ins for the engine, written by a test into its own directory, and the waits the
// supervision and launch tests share.

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>

#include "db/connection.hpp"
#include "test_support.hpp"

extern "C" char** environ;

namespace stratdesk::test {

using namespace std::chrono_literals;

// Polls `condition` every 20 ms until it holds or `timeout` passes.
inline bool wait_until(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

inline void make_executable(const std::string& path) {
  ::chmod(path.c_str(), 0755);
}

// An engine script that records what it was given (argument vector, pid, environment, the
// strategy file's text) in <dir>/records/<backtest id>.json and then runs the strategy file
// as plain Python: the test's "strategy" decides how the engine ends (exit code, sleep, a
// signal). The interpreter is a shell wrapper around python3, so that its own path is known.
class FakeEngine {
 public:
  explicit FakeEngine(const std::string& dir, const std::string& script_name = "fake-engine.py")
      : python_(dir + "/fake-python"),
        script_(dir + "/" + script_name),
        records_(dir + "/records") {
    write_file(python_, "#!/bin/sh\nexec python3 \"$@\"\n");
    make_executable(python_);
    write_file(script_, R"(import json, os, sys
here = os.path.dirname(os.path.abspath(__file__))
args = sys.argv
bid = args[args.index("tarnel.backtest_id") + 1] if "tarnel.backtest_id" in args else "none"
strategy = args[args.index("-f") + 1]
with open(strategy, encoding="utf-8", newline="") as f:
    code = f.read()
record = {"argv": args, "pid": os.getpid(), "cwd": os.getcwd(), "code": code,
          "fds": sorted(int(fd) for fd in os.listdir("/proc/self/fd")),
          "env": {k: os.environ.get(k) for k in
                  ("PYTHONPATH", "STRATDESK_FEED_URL", "STRATDESK_PID_DIR", "STRATDESK_BUNDLE_DIR",
                   "STRATDESK_TOKEN")}}
os.makedirs(os.path.join(here, "records"), exist_ok=True)
tmp = os.path.join(here, "records", bid + ".tmp")
with open(tmp, "w") as f:
    json.dump(record, f)
os.replace(tmp, os.path.join(here, "records", bid + ".json"))
exec(compile(code, strategy, "exec"), {"__name__": "__main__"})
)");
  }

  [[nodiscard]] const std::string& python() const { return python_; }
  [[nodiscard]] const std::string& script() const { return script_; }
  [[nodiscard]] std::vector<std::string> server_options() const {
    return {"--python", python_, "--engine-script", script_};
  }

  // The record of backtest `id`, once the engine has written it.
  [[nodiscard]] std::optional<boost::json::object> record(
      std::int64_t id, std::chrono::milliseconds timeout = 10s) const {
    const std::string path = records_ + "/" + std::to_string(id) + ".json";
    if (!wait_until([&] { return std::filesystem::exists(path); }, timeout)) {
      return std::nullopt;
    }
    return boost::json::parse(read_file(path)).as_object();
  }

  [[nodiscard]] bool has_record(std::int64_t id) const {
    return std::filesystem::exists(records_ + "/" + std::to_string(id) + ".json");
  }

  // The argument vector the engine saw (its own script first).
  [[nodiscard]] std::optional<std::vector<std::string>> argv(std::int64_t id) const {
    const auto found = record(id);
    if (!found) {
      return std::nullopt;
    }
    std::vector<std::string> args;
    for (const auto& arg : found->at("argv").as_array()) {
      args.emplace_back(arg.as_string());
    }
    return args;
  }

 private:
  std::string python_;
  std::string script_;
  std::string records_;
};

// The backtests row `id`, read on a connection of the test's own; an empty row when missing.
inline db::Row backtest_row(const std::string& db_path, std::int64_t id) {
  db::Connection connection(db_path);
  auto rows = connection.execute("SELECT * FROM backtests WHERE id = ?", {db::Value(id)});
  return rows.empty() ? db::Row() : rows.front();
}

inline std::string backtest_state(const std::string& db_path, std::int64_t id) {
  const db::Row row = backtest_row(db_path, id);
  return row.contains("state") ? std::string(row.at("state").as_string()) : std::string();
}

// Waits until backtest `id` is "stopped" and returns its row.
inline std::optional<db::Row> wait_stopped(const std::string& db_path, std::int64_t id,
                                           std::chrono::milliseconds timeout = 10s) {
  if (!wait_until([&] { return backtest_state(db_path, id) == "stopped"; }, timeout)) {
    return std::nullopt;
  }
  return backtest_row(db_path, id);
}

// POSTs a launch of algorithm `algorithm_id`; `extra` adds or replaces form fields.
inline HttpResponse launch(HttpClient& client, std::int64_t algorithm_id, const std::string& config,
                           const std::string& code,
                           std::vector<std::pair<std::string, std::string>> extra = {}) {
  std::vector<std::pair<std::string, std::string>> fields = {{"config", config}, {"code", code}};
  fields.insert(fields.end(), extra.begin(), extra.end());
  return client.post_form("/api/algorithms/" + std::to_string(algorithm_id) + "/backtests", fields);
}

// A configuration that passes validation; the engine never reads it in these tests.
inline const std::string minimal_config =
    R"({"start_date": "2016-01-04", "end_date": "2016-12-30", "stock_starting_cash": 100000,
        "frequency": "1d", "securities": "stock"})";

// True when no process `pid` exists any more (a zombie still exists).
inline bool process_gone(std::int64_t pid) {
  return !std::filesystem::exists("/proc/" + std::to_string(pid));
}

// The interpreter itself rather than a launcher in front of it (a launcher script execs it, and
// a process caught between two execs shows no command line).
inline const std::string& real_python() {
  static const std::string path = [] {
    std::string out = run_process({"python3", "-c", "import sys; print(sys.executable)"}).out;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) {
      out.pop_back();
    }
    return out;
  }();
  return path;
}

// A process the test starts and owns: killed and reaped when the object goes.
class BackgroundProcess {
 public:
  explicit BackgroundProcess(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& arg : argv) {
      args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    if (::posix_spawnp(&pid_, args[0], nullptr, nullptr, args.data(), environ) != 0) {
      throw std::runtime_error("cannot start " + argv[0]);
    }
  }
  ~BackgroundProcess() { stop(); }
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  [[nodiscard]] pid_t pid() const { return pid_; }
  // Right after it starts, a process shows an empty command line for a moment (the kernel
  // lets the parent go on before it has set up the new program's arguments).
  bool wait_started() const {
    return wait_until(
        [&] { return !read_file("/proc/" + std::to_string(pid_) + "/cmdline").empty(); });
  }
  void stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

 private:
  pid_t pid_ = -1;
};

// The pid of a process that has run and been reaped: no process has it now.
inline pid_t dead_pid() {
  pid_t pid = -1;
  char* args[] = {const_cast<char*>("true"), nullptr};
  if (::posix_spawnp(&pid, "true", nullptr, nullptr, args, environ) != 0) {
    throw std::runtime_error("cannot start true");
  }
  ::waitpid(pid, nullptr, 0);
  return pid;
}

}  // namespace stratdesk::test
