// Engine supervision as the running server shows it: real server binary, real engine child
// processes (small fakes), real pid files.

#include "server/server.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "engine_fakes.hpp"
#include "test_support.hpp"

namespace stratdesk::test {
namespace {

namespace fs = std::filesystem;

std::int64_t launched_id(const HttpResponse& response) {
  EXPECT_EQ(response.status, 200) << response.body;
  return response.json().at("id").as_int64();
}

std::size_t count_of(const std::string& text, const std::string& needle) {
  std::size_t count = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

TEST(Supervision, EveryKindOfEngineEndLeavesTheRowStoppedWithItsRunTimeAndReason) {
  TempDir dir;
  FakeEngine engine(dir.path());
  ServerProcess server(dir.file("data"), engine.server_options());
  HttpClient client("127.0.0.1", server.port());

  const auto began = std::chrono::steady_clock::now();
  const auto ok = launched_id(launch(client, 1, minimal_config, "pass\n"));
  const auto failed = launched_id(launch(client, 1, minimal_config, "import sys\nsys.exit(3)\n"));
  const auto killed = launched_id(launch(
      client, 1, minimal_config, "import os, signal\nos.kill(os.getpid(), signal.SIGKILL)\n"));
  const auto slow =
      launched_id(launch(client, 1, minimal_config, "import time\ntime.sleep(1.3)\n"));

  struct Expected {
    std::int64_t id;
    const char* exception;
    const char* poll_code;
  };
  for (const Expected& expected :
       {Expected{ok, "", "0"}, Expected{failed, "engine exited with code 3", "3"},
        Expected{killed, "engine ended by signal 9", "-9"}, Expected{slow, "", "0"}}) {
    const auto row = wait_stopped(server.db_path(), expected.id);
    ASSERT_TRUE(row) << expected.id;
    EXPECT_EQ(row->at("exception"), expected.exception) << expected.id;
    EXPECT_TRUE(server.wait_for_log("Backtest " + std::to_string(expected.id) +
                                    " has finished with poll code " + expected.poll_code + "\n"))
        << expected.id;
    // Reaped by the pass that recorded it: no zombie is left behind.
    const auto record = engine.record(expected.id);
    ASSERT_TRUE(record);
    EXPECT_TRUE(wait_until([&] { return process_gone(record->at("pid").as_int64()); }, 2s));
  }
  // A run's recorded time can be no longer than the test has been running (in whole seconds,
  // rounded up), however slow the machine is; the slow engine sleeps over a second.
  const auto waited =
      std::chrono::ceil<std::chrono::seconds>(std::chrono::steady_clock::now() - began).count();
  EXPECT_LE(backtest_row(server.db_path(), ok).at("time_spent").as_int64(), waited);
  const std::int64_t slow_time = backtest_row(server.db_path(), slow).at("time_spent").as_int64();
  EXPECT_GE(slow_time, 1);
  EXPECT_LE(slow_time, waited);
  EXPECT_NE(server.log_text().find("Backtest " + std::to_string(slow) + " still running"),
            std::string::npos);
}

TEST(Supervision, StartUpSettlesTheRowsAnEarlierRunLeftExecuting) {
  TempDir dir;
  const std::string data = dir.file("data");
  { ServerProcess first(data); }
  {
    db::Connection c(data + "/stratdesk.db");
    for (int id : {11, 12, 13}) {
      c.execute(
          "INSERT INTO backtests (id, algorithm_id, config, state, time_spent) "
          "VALUES (?, 1, '{}', 'executing', 42)",
          {db::Value(id)});
    }
    c.execute(
        "INSERT INTO backtests (id, algorithm_id, config, state) VALUES (14, 1, '{}', "
        "'stopped')");
    c.commit();
  }
  ServerProcess second(data);
  ASSERT_TRUE(
      wait_until([&] { return count_of(second.log_text(), "kestrun manager started") == 2; }));
  std::string log = second.log_text();
  log = log.substr(log.rfind("Staring kestrun manager..."));
  const auto started = log.find("kestrun manager started");
  for (int id : {11, 12, 13}) {
    const auto line = log.find("Set backtest<" + std::to_string(id) + "> stopped");
    EXPECT_LT(line, started) << id;
    const db::Row row = backtest_row(second.db_path(), id);
    EXPECT_EQ(row.at("state"), "stopped");
    EXPECT_EQ(row.at("time_spent"), 42);
  }
  EXPECT_EQ(log.find("Set backtest<14> stopped"), std::string::npos);
}

TEST(Supervision, TheCheckerSettlesPidFilesOfEnginesThatAreGoneAndKeepsLiveOnes) {
  TempDir dir;
  const std::string pids = dir.file("pids");
  ServerProcess server(dir.file("data"), {"--pid-dir", pids});
  ASSERT_TRUE(server.wait_for_log("kestrun manager started"));
  ASSERT_TRUE(server.wait_for_log("foreign kestrun checker started"));
  {
    db::Connection c(server.db_path());
    for (int id : {17, 18, 19}) {
      c.execute("INSERT INTO backtests (id, algorithm_id, config) VALUES (?, 1, '{}')",
                {db::Value(id)});
    }
    c.commit();
  }

  // An engine by its command line, another program, and a process that is gone.
  fs::create_directories(dir.file("engine-like"));
  const std::string engine_like = dir.file("engine-like/kestrun-plus-script.py");
  write_file(engine_like, "import time\ntime.sleep(60)\n");
  BackgroundProcess live({real_python(), engine_like});
  BackgroundProcess other({"sleep", "60"});
  ASSERT_TRUE(live.wait_started() && other.wait_started());
  const pid_t dead = dead_pid();
  const auto pid_file = [&](auto pid) { return pids + "/" + std::to_string(pid) + ".identity"; };

  write_file(pid_file(live.pid()), "X 17");
  write_file(pid_file(other.pid()), "Y 19\n");
  write_file(pids + "/notes.txt", "x");
  write_file(pids + "/a.b.identity", "X 17");
  fs::create_directories(pids + "/junk/deeper");
  write_file(pids + "/junk/deeper/file", "x");
  write_file(pids + "/abc.identity", "X 17");
  write_file(pids + "/999999991.identity", "X");
  write_file(pids + "/999999992.identity", "X 17 18");
  write_file(pids + "/999999993.identity", "X seventeen");
  // Written last: once it is settled, every file above has been looked at at least once.
  write_file(pid_file(dead), "Z 18");

  ASSERT_TRUE(server.wait_for_log("Set backtest<18> stopped"));
  ASSERT_TRUE(wait_until([&] {
    return count_of(server.log_text(), "not a illegal pid file name " + pids + "/abc.identity") >=
           2;
  }));
  const std::string log = server.log_text();

  EXPECT_NE(log.find("18 already exited"), std::string::npos);
  EXPECT_NE(log.find("not alive pid " + std::to_string(dead) + ", identity Z, backtest_id 18"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(pid_file(dead)));
  EXPECT_EQ(backtest_state(server.db_path(), 18), "stopped");

  EXPECT_NE(
      log.find("not alive pid " + std::to_string(other.pid()) + ", identity Y, backtest_id 19"),
      std::string::npos);
  EXPECT_EQ(log.find("19 already exited"), std::string::npos);
  EXPECT_FALSE(fs::exists(pid_file(other.pid())));
  EXPECT_EQ(backtest_state(server.db_path(), 19), "stopped");

  EXPECT_EQ(log.find("backtest_id 17"), std::string::npos);
  EXPECT_EQ(log.find("17 already exited"), std::string::npos);
  EXPECT_TRUE(fs::exists(pid_file(live.pid())));
  EXPECT_EQ(backtest_state(server.db_path(), 17), "executing");

  for (const char* name : {"notes.txt", "a.b.identity", "junk"}) {
    EXPECT_NE(log.find("illegal pid file " + pids + "/" + name + ", remove"), std::string::npos)
        << name;
    EXPECT_FALSE(fs::exists(pids + "/" + name)) << name;
  }
  EXPECT_TRUE(fs::exists(pids + "/abc.identity"));
  for (const char* text : {"X", "X 17 18", "X seventeen"}) {
    EXPECT_NE(log.find(std::string("illegal value in pid file<") + text + ">, ignore"),
              std::string::npos)
        << text;
  }
  for (const char* name : {"999999991.identity", "999999992.identity", "999999993.identity"}) {
    EXPECT_TRUE(fs::exists(pids + "/" + name)) << name;
  }

  // Once the engine is gone, its file goes too.
  const pid_t live_pid = live.pid();
  live.stop();
  EXPECT_TRUE(server.wait_for_log("Set backtest<17> stopped"));
  EXPECT_TRUE(wait_until([&] { return !fs::exists(pid_file(live_pid)); }));
}

TEST(Supervision, StartUpSweepMarksTheBacktestsNamedInLeftOverPidFilesAndEmptiesTheDirectory) {
  TempDir dir;
  const std::string pids = dir.file("pids");
  // Only pid files: anything else makes the host refuse the directory (see the host's tests).
  fs::create_directories(pids);
  write_file(pids + "/5.identity", "X 99\n");
  write_file(pids + "/77.identity", "Y 6");
  write_file(pids + "/8.identity", "X eight");

  ServerProcess server(dir.file("data"), {"--pid-dir", pids});
  ASSERT_TRUE(server.wait_for_log("foreign kestrun checker started"));
  const std::string log = server.log_text();
  EXPECT_NE(log.find("Set backtest<99> stopped"), std::string::npos);
  EXPECT_NE(log.find("Set backtest<6> stopped"), std::string::npos);
  for (const char* id : {"5", "77", "8"}) {
    EXPECT_EQ(log.find(std::string("Set backtest<") + id + "> stopped"), std::string::npos) << id;
  }
  EXPECT_TRUE(fs::is_directory(pids));
  EXPECT_TRUE(fs::is_empty(pids));
}

// Thousands of leftover pid files take a while to settle; the directory must be emptied before
// the first request is served, or the sweep could take the pid file of an engine this run has
// just launched for a leftover one.
TEST(Supervision, TheStartUpSweepEmptiesThePidDirectoryBeforeTheFirstRequestIsServed) {
  TempDir dir;
  const std::string pids = dir.file("pids");
  fs::create_directories(pids);
  for (int pid = 1000; pid < 4000; ++pid) {
    write_file(pids + "/" + std::to_string(pid) + ".identity", "X " + std::to_string(pid));
  }
  ServerProcess server(dir.file("data"), {"--pid-dir", pids});
  HttpClient client("127.0.0.1", server.port());
  ASSERT_EQ(client.get("/api/algorithms").status, 200);
  EXPECT_TRUE(fs::is_empty(pids)) << "a request was served in the middle of the sweep";
  ASSERT_TRUE(server.wait_for_log("foreign kestrun checker started", 60s));
  EXPECT_NE(server.log_text().find("Set backtest<3999> stopped"), std::string::npos);
}

TEST(Supervision, TheHostRefusesAPidDirectoryThatHoldsAnythingOfValue) {
  TempDir dir;
  const std::string data = dir.file("data");
  fs::create_directories(data);
  write_file(data + "/keep.txt", "precious");
  fs::create_directories(dir.file("home"));

  const char* old_home = std::getenv("HOME");
  const std::string saved_home = old_home ? old_home : "";
  ::setenv("HOME", dir.file("home").c_str(), 1);
  const std::vector<std::vector<std::string>> refused = {
      {"--data-dir", data, "--pid-dir", "/"},
      {"--data-dir", data, "--pid-dir", data},
      {"--data-dir", data, "--pid-dir", dir.path()},
      {"--data-dir", dir.file("other"), "--pid-dir", dir.file("p"), "--log",
       dir.file("p/logs/server.log")},
      {"--data-dir", dir.file("other"), "--pid-dir", dir.file("home")},
  };
  for (const auto& options : refused) {
    std::vector<std::string> argv = {server_binary(), "--port", "0"};
    argv.insert(argv.end(), options.begin(), options.end());
    const ProcessResult result = run_process(argv);
    EXPECT_EQ(result.exit_code, 2) << options[3] << " " << result.err;
    EXPECT_NE(result.err.find("refusing pid directory"), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
  if (old_home != nullptr) {
    ::setenv("HOME", saved_home.c_str(), 1);
  } else {
    ::unsetenv("HOME");
  }
  EXPECT_EQ(read_file(data + "/keep.txt"), "precious");
  EXPECT_TRUE(fs::exists(dir.file("home")));
}

}  // namespace
}  // namespace stratdesk::test
