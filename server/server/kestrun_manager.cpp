#include <chrono>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <utility>

#include <sys/syscall.h>
#include <unistd.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json/array.hpp>

#include "common/py_text.hpp"
#include "common/timestamp.hpp"
#include "db/db.hpp"
#include "log/log.hpp"
#include "server/server.hpp"
#include "tasks/task_group.hpp"

namespace stratdesk::server {
namespace {

constexpr auto pause = std::chrono::seconds(1);

std::string argument_list_text(const std::vector<std::string>& arguments) {
  boost::json::array list;
  for (const auto& argument : arguments) {
    list.emplace_back(argument);
  }
  return common::display_form(list);
}

std::string working_directory() {
  std::error_code ec;
  auto path = std::filesystem::current_path(ec);
  return ec ? std::string("(unknown)") : path.string();
}

asio::awaitable<void> keep_running(std::shared_ptr<KestrunManager> manager) {
  co_await manager->run();
}

}  // namespace

KestrunManager::KestrunManager(asio::any_io_executor executor, ManagerSettings settings,
                               db::Writer& writer, std::shared_ptr<events::EventHub> hub)
    : executor_(std::move(executor)),
      settings_(std::move(settings)),
      writer_(writer),
      hub_(std::move(hub)) {}

void KestrunManager::start(tasks::TaskGroup& tasks) {
  tasks_ = &tasks;
  tasks.spawn(executor_, "kestrun manager task", keep_running(shared_from_this()));
}

asio::awaitable<void> KestrunManager::run() {
  co_await on_start();
  asio::steady_timer timer(co_await asio::this_coro::executor);
  for (;;) {
    try {
      co_await poll_kestrun_status();
    } catch (const std::exception& e) {
      log::logger().error("kestrun manager poll pass failed: {}", e.what());
    }
    timer.expires_after(pause);
    co_await timer.async_wait(asio::use_awaitable);
  }
}

db::Connection* KestrunManager::connection() {
  if (!conn_) {
    try {
      conn_.emplace(create_connection(settings_.sqlite_url));
    } catch (const std::exception& e) {
      log::logger().error("kestrun manager cannot open database {}: {}", settings_.sqlite_url,
                          e.what());
      return nullptr;
    }
  }
  return &*conn_;
}

asio::awaitable<void> KestrunManager::on_start() {
  try {
    log::init(settings_.log_path);
  } catch (const std::exception& e) {
    log::logger().error("kestrun manager cannot log to {}: {}", settings_.log_path, e.what());
  }
  log::logger().info("Staring kestrun manager...");
  log::logger().info("Starting foreign kestrun checker");
  // Opens the connection; when the database cannot be used yet, the next passes retry.
  co_await settle_executing_rows();
  log::logger().info("kestrun manager started");
}

asio::awaitable<void> KestrunManager::settle_executing_rows() {
  db::Connection* conn = connection();
  if (conn == nullptr) {
    co_return;
  }
  try {
    // Read in the writer's order: a launch committed before this read has resumed on the loop,
    // and started its child, before the rows arrive here.
    const db::Rows rows = co_await writer_.write([](db::Connection& reading) {
      return reading.execute("SELECT * FROM backtests WHERE backtests.state = ?",
                             {db::Value("executing")});
    });
    for (const auto& row : rows) {
      const std::int64_t id = row.at("id").to_number<std::int64_t>();
      // A retry after a failure, or a launch while an earlier row was being marked, must not
      // end what this server has started meanwhile.
      if (!children_.contains(id)) {
        co_await mark_backtest_end(writer_, id);
        publish_backtest_state(*conn, *hub_, id);
      }
    }
    settled_ = true;
  } catch (const std::exception& e) {
    log::logger().error("cannot settle the backtests left executing, retrying in a second: {}",
                        e.what());
  }
}

asio::awaitable<void> KestrunManager::poll_kestrun_status() {
  std::erase_if(replaced_, [](ChildProcess& child) { return child.poll().has_value(); });
  if (!settled_) {
    co_await settle_executing_rows();
  }
  co_await look_at_children(true);
}

asio::awaitable<void> KestrunManager::record_exits() {
  co_await look_at_children(false);
}

asio::awaitable<void> KestrunManager::look_at_children(bool say_running) {
  std::vector<std::int64_t> ids;
  ids.reserve(children_.size());
  for (const auto& entry : children_) {
    ids.push_back(entry.first);
  }
  for (const std::int64_t id : ids) {
    auto found = children_.find(id);
    if (found == children_.end()) {
      continue;
    }
    if (const auto exit = found->second.process.poll()) {
      co_await record_exited(id, *exit);
    } else if (say_running) {
      log::logger().info("Backtest {} still running", id);
    }
  }
}

asio::awaitable<void> KestrunManager::record_exited(std::int64_t id, ChildExit exit) {
  auto found = children_.find(id);
  if (found == children_.end() || found->second.recording) {
    co_return;
  }
  Child& child = found->second;
  if (!child.end_time) {
    child.end_time = common::wall_clock_seconds();
    log::logger().info("Backtest {} has finished with poll code {}", id, exit.poll_code);
    if (exit.status_lost) {
      log::logger().warning("the exit status of backtest {} was lost: reaped elsewhere", id);
    }
  }
  child.recording = true;
  const std::uint64_t generation = child.generation;
  const bool recorded =
      co_await record_end(id, whole_seconds_between(child.start_time, *child.end_time),
                          end_exception_text(exit, child.stop_requested));
  // While the writer stored the end, a second start may have replaced the child: that one is
  // still running and stays.
  found = children_.find(id);
  if (found != children_.end() && found->second.generation == generation) {
    if (recorded) {
      children_.erase(found);
    } else {
      found->second.recording = false;
    }
  }
  if (recorded && end_recorded_) {
    end_recorded_(id);
  }
}

void KestrunManager::watch_exit(std::int64_t backtest_id, const ChildProcess& child) {
  if (tasks_ == nullptr) {
    return;
  }
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child.pid(), 0));
  if (pidfd < 0) {
    return;  // an older kernel: the passes see the end
  }
  auto exited = std::make_shared<asio::posix::stream_descriptor>(executor_, pidfd);
  tasks_->spawn(executor_, "an engine's exit watch",
                [](std::shared_ptr<KestrunManager> manager,
                   std::shared_ptr<asio::posix::stream_descriptor> exited,
                   std::int64_t id) -> asio::awaitable<void> {
                  auto [ec] = co_await exited->async_wait(asio::posix::stream_descriptor::wait_read,
                                                          asio::as_tuple(asio::use_awaitable));
                  if (!ec && manager->children_.contains(id)) {
                    co_await manager->record_exits();
                  }
                }(shared_from_this(), std::move(exited), backtest_id));
}

asio::awaitable<bool> KestrunManager::record_end(std::int64_t backtest_id, std::int64_t time_spent,
                                                 std::string exception) {
  db::Connection* conn = connection();
  if (conn == nullptr) {
    co_return false;
  }
  try {
    // The job reads the text from this frame, which waits for it: a closure owning a string
    // is destroyed twice when it is a temporary of a co_await expression (GCC 12).
    co_await writer_.write([backtest_id, time_spent, &exception](db::Connection& writing) {
      db::Transaction transaction(writing);
      writing.execute(
          "UPDATE backtests SET time_spent = ?, state = 'stopped', exception = ? WHERE "
          "backtests.id = ?",
          {db::Value(time_spent), db::Value(exception), db::Value(backtest_id)});
      transaction.commit();
    });
  } catch (const std::exception& e) {
    log::logger().error("cannot record the end of backtest {}, retrying in a second: {}",
                        backtest_id, e.what());
    co_return false;
  }
  publish_backtest_state(*conn, *hub_, backtest_id);
  co_return true;
}

void KestrunManager::start_kestrun(std::int64_t backtest_id, const std::vector<std::string>& cmd) {
  std::vector<std::string> pycmd;
  pycmd.reserve(cmd.size() + 1);
  pycmd.push_back(settings_.python_path);
  pycmd.insert(pycmd.end(), cmd.begin(), cmd.end());
  const char* path = std::getenv("PATH");
  log::logger().info("Receive Backtest {} start command under {}, cmd {}, env {}", backtest_id,
                     working_directory(), argument_list_text(pycmd), path ? path : "None");

  ChildProcess process = ChildProcess::spawn(pycmd, settings_.engine_environment);
  log::logger().info("popen returned");
  Child child{std::move(process), common::wall_clock_seconds(), false, std::nullopt,
              ++children_started_};
  if (auto existing = children_.find(backtest_id); existing != children_.end()) {
    log::logger().warning(
        "backtest {} started again: its earlier engine (pid {}) is no longer watched", backtest_id,
        existing->second.process.pid());
    replaced_.push_back(std::move(existing->second.process));
    existing->second = std::move(child);
  } else {
    children_.emplace(backtest_id, std::move(child));
  }
  watch_exit(backtest_id, children_.at(backtest_id).process);
}

void KestrunManager::stop_kestrun(std::int64_t backtest_id) {
  log::logger().info("Receive stop Backtest {}", backtest_id);
  auto found = children_.find(backtest_id);
  if (found == children_.end()) {
    log::logger().info("backtest {} not found", backtest_id);
    return;
  }
  Child& child = found->second;
  // Once reaped the pid may already name an unrelated process: the signal is not sent then,
  // and the end recorded is the child's own.
  if (!child.end_time) {
    child.process.terminate();
    child.stop_requested = true;
  }
  log::logger().info("backtest {} killed", backtest_id);
}

void KestrunManager::on_stop() {
  log::logger().info("kestrun manager stopped");
}

std::shared_ptr<KestrunManager> start_kestrun_manager(asio::any_io_executor executor,
                                                      tasks::TaskGroup& tasks,
                                                      ManagerSettings settings, db::Writer& writer,
                                                      std::shared_ptr<events::EventHub> hub) {
  auto manager = std::make_shared<KestrunManager>(std::move(executor), std::move(settings), writer,
                                                  std::move(hub));
  manager->start(tasks);
  return manager;
}

}  // namespace stratdesk::server
