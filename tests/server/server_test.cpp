// The supervision objects driven directly on an event loop of the test's own, with real child
// processes: what the HTTP surface cannot reach yet (stop) or cannot provoke (a failing database,
// a blocked signal mask, a second start of the same backtest).

#include "server/server.hpp"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <sstream>
#include <system_error>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

#include "db/db.hpp"
#include "db/writer.hpp"
#include "engine_fakes.hpp"
#include "log/log.hpp"
#include "server/pid_file.hpp"
#include "test_support.hpp"

namespace stratdesk::test {
namespace {

namespace fs = std::filesystem;
using server::ChildExit;
using server::ForeignKestrunChecker;
using server::KestrunManager;

class SupervisionInProcess : public ::testing::Test {
 protected:
  SupervisionInProcess()
      : db_path_(dir_.file("stratdesk.db")), log_path_(dir_.file("logs/server.log")) {
    log::init(log_path_);
    database_.check_env();
    writer_.emplace(database_);
  }

  void insert_backtest(std::int64_t id, const std::string& state = "executing") {
    db::Connection c(db_path_);
    c.execute("INSERT INTO backtests (id, algorithm_id, config, state) VALUES (?, 1, '{}', ?)",
              {db::Value(id), db::Value(state)});
    c.commit();
  }

  void execute(const std::string& sql) {
    db::Connection c(db_path_);
    c.execute(sql);
    c.commit();
  }

  // A shell script for the manager to run with /bin/sh as its interpreter.
  std::string script(const std::string& name, const std::string& body) {
    const std::string path = dir_.file(name);
    write_file(path, "cd " + dir_.path() + "\n" + body + "\n");
    return path;
  }

  bool run_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
      if (std::chrono::steady_clock::now() >= deadline) {
        return false;
      }
      if (io_.stopped()) {
        io_.restart();
      }
      io_.run_for(20ms);
    }
    return true;
  }

  [[nodiscard]] std::string log_text() const { return read_file(log_path_); }
  bool logged(const std::string& text) const { return log_text().find(text) != std::string::npos; }
  std::shared_ptr<KestrunManager> start_manager(const std::string& python = "/bin/sh") {
    auto manager = server::start_kestrun_manager(
        io_.get_executor(), tasks_, {dir_.file("pids"), log_path_, db_path_, python, {}}, *writer_,
        std::make_shared<events::EventHub>());
    EXPECT_TRUE(run_until([&] { return logged("kestrun manager started"); }));
    return manager;
  }

  TempDir dir_;
  std::string db_path_;
  std::string log_path_;
  db::Database database_{db_path_};
  std::optional<db::Writer> writer_;  // once the schema exists
  tasks::TaskGroup tasks_;
  boost::asio::io_context io_;
};

TEST_F(SupervisionInProcess, EndMarkingWritesItsLineEvenWhenNothingChanges) {
  insert_backtest(1, "stopped");
  insert_backtest(2);
  bool done = false;
  boost::asio::co_spawn(
      io_,
      [&]() -> boost::asio::awaitable<void> {
        for (const std::int64_t id : {2, 1, 404}) {
          co_await server::mark_backtest_end(*writer_, id);
        }
        done = true;
      },
      boost::asio::detached);
  ASSERT_TRUE(run_until([&] { return done; }));
  for (int id : {1, 2, 404}) {
    EXPECT_TRUE(logged("Set backtest<" + std::to_string(id) + "> stopped")) << id;
  }
  EXPECT_EQ(backtest_state(db_path_, 1), "stopped");
  EXPECT_EQ(backtest_state(db_path_, 2), "stopped");
  EXPECT_EQ(backtest_row(db_path_, 2).at("time_spent"), 0);
  EXPECT_TRUE(backtest_row(db_path_, 404).empty());

  EXPECT_EQ(server::whole_seconds_between(100.9, 101.1), 1);
  EXPECT_EQ(server::whole_seconds_between(100.1, 100.8), 0);
  EXPECT_EQ(server::end_exception_text(ChildExit{0, false}, false), "");
  EXPECT_EQ(server::end_exception_text(ChildExit{0, false}, true), "");
  EXPECT_EQ(server::end_exception_text(ChildExit{1, false}, false), "engine exited with code 1");
  EXPECT_EQ(server::end_exception_text(ChildExit{-6, false}, false), "engine ended by signal 6");
  EXPECT_EQ(server::end_exception_text(ChildExit{-15, false}, true), "stopped by request");
  EXPECT_EQ(server::end_exception_text(ChildExit{0, true}, false), "engine exit status unknown");
}

TEST(PidFile, NamesAndContentsAreReadByTheEngineLanguagesIntegerRules) {
  using server::read_integer;
  EXPECT_EQ(read_integer("17"), 17);
  EXPECT_EQ(read_integer(" +17\n"), 17);
  EXPECT_EQ(read_integer("-3"), -3);
  EXPECT_EQ(read_integer("9223372036854775807"), INT64_MAX);
  for (const char* bad :
       {"", " ", "+", "--3", "+-3", "1 2", "0x10", "seventeen", "1.0", "99999999999999999999"}) {
    EXPECT_FALSE(read_integer(bad)) << bad;
  }
  EXPECT_TRUE(server::is_pid_file_name("4242.identity"));
  EXPECT_TRUE(server::is_pid_file_name("abc.identity"));  // a name, but no pid in it
  for (const char* bad :
       {"notes.txt", "a.b.identity", "4242.identity.bak", "4242", ".identity.", "4242.Identity"}) {
    EXPECT_FALSE(server::is_pid_file_name(bad)) << bad;
  }
  const auto content = server::parse_pid_file_content("X 17\n");
  ASSERT_TRUE(content);
  EXPECT_EQ(content->identity, "X");
  EXPECT_EQ(content->backtest_id, 17);
  for (const char* bad : {"X", "X 17 18", "X seventeen", "X  17", "", "X\t17"}) {
    EXPECT_FALSE(server::parse_pid_file_content(bad)) << bad;
  }
}

TEST_F(SupervisionInProcess, StopEndsTheChildAndTheNextPassRecordsItAsStoppedByRequest) {
  auto manager = start_manager();
  EXPECT_EQ(manager->log_path(), log_path_);
  EXPECT_EQ(manager->pid_dir(), dir_.file("pids"));
  // With no children a pass writes nothing.
  const std::size_t quiet_size = log_text().size();
  run_until([] { return false; }, 1100ms);
  EXPECT_EQ(log_text().size(), quiet_size);

  insert_backtest(7);
  manager->stop_kestrun(99);
  EXPECT_TRUE(logged("Receive stop Backtest 99"));
  EXPECT_TRUE(logged("backtest 99 not found"));

  const auto began = std::chrono::steady_clock::now();
  manager->start_kestrun(7, {script("sleeper.sh", "exec sleep 30")});
  EXPECT_TRUE(logged("Receive Backtest 7 start command under " + fs::current_path().string() +
                     ", cmd ['/bin/sh', '" + dir_.file("sleeper.sh") + "'], env "));
  EXPECT_TRUE(logged("popen returned"));
  ASSERT_TRUE(run_until([&] { return logged("Backtest 7 still running"); }));
  const pid_t pid = manager->children().at(7).process.pid();

  manager->stop_kestrun(7);
  EXPECT_TRUE(logged("backtest 7 killed"));
  ASSERT_TRUE(run_until([&] { return manager->children().empty(); }, 3s));
  EXPECT_TRUE(logged("Backtest 7 has finished with poll code -15"));
  const db::Row row = backtest_row(db_path_, 7);
  EXPECT_EQ(row.at("state"), "stopped");
  EXPECT_EQ(row.at("exception"), "stopped by request");
  // No longer than the test waited (whole seconds, rounded up), however slow the machine.
  EXPECT_LE(
      row.at("time_spent").as_int64(),
      std::chrono::ceil<std::chrono::seconds>(std::chrono::steady_clock::now() - began).count());
  EXPECT_TRUE(process_gone(pid));
}

TEST_F(SupervisionInProcess, ChildrenStartWithAnEmptySignalMaskAndDefaultDispositions) {
  auto manager = start_manager();
  insert_backtest(8);

  // What the host might do for its own shutdown handling; the engine must not inherit it.
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  sigset_t old_mask;
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &old_mask), 0);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction old_hup {};
  sigaction(SIGHUP, &ignore, &old_hup);
  try {
    manager->start_kestrun(
        8, {script("status.sh",
                   "cat /proc/self/status > status.tmp && mv status.tmp status.txt\n"
                   "exec sleep 30")});
  } catch (...) {
    ADD_FAILURE() << "start failed";
  }
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  sigaction(SIGHUP, &old_hup, nullptr);

  ASSERT_TRUE(run_until([&] { return fs::exists(dir_.file("status.txt")); }));
  std::istringstream status(read_file(dir_.file("status.txt")));
  std::string line;
  unsigned long long blocked_bits = ~0ull;
  unsigned long long ignored_bits = ~0ull;
  while (std::getline(status, line)) {
    if (line.starts_with("SigBlk:")) {
      blocked_bits = std::stoull(line.substr(7), nullptr, 16);
    } else if (line.starts_with("SigIgn:")) {
      ignored_bits = std::stoull(line.substr(7), nullptr, 16);
    }
  }
  EXPECT_EQ(blocked_bits, 0u);
  const auto bit = [](int signal_number) { return 1ull << (signal_number - 1); };
  EXPECT_EQ(ignored_bits & (bit(SIGHUP) | bit(SIGPIPE) | bit(SIGTERM)), 0u);

  manager->stop_kestrun(8);
  ASSERT_TRUE(run_until([&] { return manager->children().empty(); }, 3s));
  EXPECT_TRUE(logged("Backtest 8 has finished with poll code -15"));
}

TEST_F(SupervisionInProcess, ASecondStartOfABacktestReplacesTheFirstChildWhichIsStillReaped) {
  auto manager = start_manager();
  insert_backtest(5);
  manager->start_kestrun(5, {script("short.sh", "exec sleep 0.2")});
  const pid_t first = manager->children().at(5).process.pid();
  manager->start_kestrun(5, {script("waiting.sh", "while [ ! -e go ]; do sleep 0.05; done")});
  const pid_t second = manager->children().at(5).process.pid();
  EXPECT_NE(first, second);
  EXPECT_EQ(manager->replaced_children(), 1u);

  ASSERT_TRUE(run_until([&] { return manager->replaced_children() == 0; }, 3s));
  EXPECT_TRUE(process_gone(first));
  EXPECT_FALSE(logged("Backtest 5 has finished"));
  EXPECT_EQ(backtest_state(db_path_, 5), "executing");

  write_file(dir_.file("go"), "");
  ASSERT_TRUE(run_until([&] { return manager->children().empty(); }, 3s));
  EXPECT_EQ(backtest_state(db_path_, 5), "stopped");
  const std::string log = log_text();
  EXPECT_EQ(log.find("Backtest 5 has finished"), log.rfind("Backtest 5 has finished"));
  EXPECT_TRUE(process_gone(second));
}

TEST_F(SupervisionInProcess, DatabaseFailuresAreLoggedAndRetriedAtTheNextPass) {
  insert_backtest(1);
  insert_backtest(2);
  execute("ALTER TABLE backtests RENAME TO backtests_away");
  auto manager = start_manager();
  EXPECT_TRUE(logged("cannot settle the backtests left executing"));

  manager->start_kestrun(2, {script("fails.sh", "exit 4")});
  ASSERT_TRUE(run_until([&] { return logged("cannot record the end of backtest 2"); }));
  EXPECT_EQ(manager->children().count(2), 1u);

  execute("ALTER TABLE backtests_away RENAME TO backtests");
  ASSERT_TRUE(run_until([&] { return manager->children().empty(); }, 3s));
  EXPECT_EQ(backtest_state(db_path_, 1), "stopped");
  const db::Row row = backtest_row(db_path_, 2);
  EXPECT_EQ(row.at("state"), "stopped");
  EXPECT_EQ(row.at("exception"), "engine exited with code 4");
  const std::string log = log_text();
  EXPECT_NE(log.find("Set backtest<1> stopped"), std::string::npos);
  // Running backtests are not settled by the retry, and an end is announced once.
  EXPECT_EQ(log.find("Set backtest<2> stopped"), std::string::npos);
  EXPECT_EQ(log.find("Backtest 2 has finished with poll code 4"),
            log.rfind("Backtest 2 has finished with poll code 4"));
}

TEST_F(SupervisionInProcess, AProcessIsALiveEngineOnlyWhenItsCommandLineNamesTheEngineScript) {
  ForeignKestrunChecker checker(io_.get_executor(), {dir_.file("pids"), log_path_, db_path_},
                                *writer_, std::make_shared<events::EventHub>());
  EXPECT_EQ(checker.log_path(), log_path_);
  EXPECT_EQ(checker.pid_dir(), dir_.file("pids"));

  BackgroundProcess other({"sleep", "30"});
  ASSERT_TRUE(other.wait_started());
  EXPECT_FALSE(checker.is_backtest_alive(other.pid(), "X", 1));
  EXPECT_FALSE(logged("1 already exited"));

  const std::string engine_like = dir_.file("kestrun-plus-script.py");
  write_file(engine_like, "import time\ntime.sleep(30)\n");
  BackgroundProcess engine({real_python(), engine_like});
  ASSERT_TRUE(engine.wait_started());
  EXPECT_TRUE(checker.is_backtest_alive(engine.pid(), "X", 2));

  EXPECT_FALSE(checker.is_backtest_alive(dead_pid(), "X", 3));
  EXPECT_TRUE(logged("3 already exited"));
}

}  // namespace
}  // namespace stratdesk::test
