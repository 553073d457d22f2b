#include <cerrno>
#include <chrono>
#include <exception>
#include <filesystem>
#include <limits>
#include <optional>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "log/log.hpp"
#include "server/pid_file.hpp"
#include "server/server.hpp"
#include "tasks/task_group.hpp"

namespace stratdesk::server {
namespace {

namespace fs = std::filesystem;

constexpr auto pause = std::chrono::seconds(1);
constexpr std::string_view engine_script_name = "kestrun-plus-script.py";

// The whole content of `path`; nullopt when there is no such file (any more). Other failures,
// and a file longer than `max_bytes`, throw std::system_error.
std::optional<std::string> read_whole_file(
    const std::string& path, std::size_t max_bytes = std::numeric_limits<std::size_t>::max()) {
  // Non-blocking, and regular files only: a FIFO named like a pid file would otherwise stall
  // the one thread that also serves every request.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT || errno == ESRCH) {
      return std::nullopt;
    }
    throw std::system_error(errno, std::generic_category(), "cannot open " + path);
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    throw std::system_error(EINVAL, std::generic_category(), path + " is not a regular file");
  }
  if (static_cast<std::uintmax_t>(info.st_size) > max_bytes) {
    ::close(fd);
    throw std::system_error(EFBIG, std::generic_category(),
                            path + " holds " + std::to_string(info.st_size) +
                                " bytes, more than a pid file's " + std::to_string(max_bytes));
  }
  std::string content;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      content.append(buffer, static_cast<std::size_t>(n));
      if (content.size() > max_bytes) {  // grew since fstat
        ::close(fd);
        throw std::system_error(
            EFBIG, std::generic_category(),
            path + " is longer than a pid file's " + std::to_string(max_bytes) + " bytes");
      }
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      const int error = errno;
      ::close(fd);
      // A process that ends while its command line is read is gone as well.
      if (error == ESRCH) {
        return std::nullopt;
      }
      throw std::system_error(error, std::generic_category(), "cannot read " + path);
    }
  }
  ::close(fd);
  return content;
}

bool exists_no_follow(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

asio::awaitable<void> keep_running(std::shared_ptr<ForeignKestrunChecker> checker) {
  co_await checker->run();
}

}  // namespace

ForeignKestrunChecker::ForeignKestrunChecker(asio::any_io_executor executor,
                                             CheckerSettings settings, db::Writer& writer,
                                             std::shared_ptr<events::EventHub> hub)
    : executor_(std::move(executor)),
      settings_(std::move(settings)),
      writer_(writer),
      hub_(std::move(hub)) {}

void ForeignKestrunChecker::start(tasks::TaskGroup& tasks) {
  tasks.spawn(executor_, "foreign kestrun checker task", keep_running(shared_from_this()));
}

db::Connection& ForeignKestrunChecker::connection() {
  if (!conn_) {
    conn_.emplace(create_connection(settings_.sqlite_url));
  }
  return *conn_;
}

asio::awaitable<void> ForeignKestrunChecker::run() {
  try {
    log::init(settings_.log_path);
  } catch (const std::exception& e) {
    log::logger().error("foreign kestrun checker cannot log to {}: {}", settings_.log_path,
                        e.what());
  }
  try {
    connection();
  } catch (const std::exception& e) {
    log::logger().error("foreign kestrun checker cannot open database {}: {}", settings_.sqlite_url,
                        e.what());
  }
  try {
    co_await reset_pid_dir();
  } catch (const std::exception& e) {
    log::logger().error("cannot prepare pid directory {}: {}", settings_.pid_dir, e.what());
  }
  log::logger().info("foreign kestrun checker started");

  asio::steady_timer timer(co_await asio::this_coro::executor);
  for (;;) {
    timer.expires_after(pause);
    co_await timer.async_wait(asio::use_awaitable);
    try {
      co_await scan();
    } catch (const std::exception& e) {
      log::logger().error("cannot scan pid directory {}: {}", settings_.pid_dir, e.what());
    }
  }
}

asio::awaitable<void> ForeignKestrunChecker::reset_pid_dir() {
  // The directory is read and emptied before the first wait, so before the server has served
  // a request: no engine of this run can have written a pid file yet, and none is swept. Only
  // the backtests' end marking waits for the writer.
  for (const auto& [path, backtest_id] : take_left_over_pid_files()) {
    try {
      co_await mark_backtest_end(writer_, backtest_id);
      publish_backtest_state(connection(), *hub_, backtest_id);
    } catch (const std::exception& e) {
      log::logger().error("cannot settle pid file {}: {}", path, e.what());
    }
  }
}

std::vector<std::pair<std::string, std::int64_t>>
ForeignKestrunChecker::take_left_over_pid_files() {
  std::vector<std::pair<std::string, std::int64_t>> left_over;
  if (exists_no_follow(settings_.pid_dir)) {
    // Pid files name the pid first and the backtest second; only the content says which
    // backtest an engine of an earlier run belonged to, so the sweep reads every file.
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(
             settings_.pid_dir, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (!it->is_regular_file(ec)) {
        continue;
      }
      try {
        const auto text = read_whole_file(it->path().string(), max_pid_file_size);
        if (const auto content = text ? parse_pid_file_content(*text) : std::nullopt) {
          left_over.emplace_back(it->path().string(), content->backtest_id);
        }
      } catch (const std::exception& e) {
        log::logger().error("cannot settle pid file {}: {}", it->path().string(), e.what());
      }
    }
    fs::remove_all(settings_.pid_dir);
  }
  fs::create_directories(settings_.pid_dir);
  return left_over;
}

asio::awaitable<void> ForeignKestrunChecker::scan() {
  if (!exists_no_follow(settings_.pid_dir)) {
    // Engines only write pid files into an existing directory.
    log::logger().warning("pid directory {} is gone; creating it again", settings_.pid_dir);
    fs::create_directories(settings_.pid_dir);
    co_return;
  }
  // Names first: entries are deleted while the scan walks them.
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(settings_.pid_dir)) {
    names.push_back(entry.path().filename().string());
  }
  for (const auto& name : names) {
    try {
      co_await check_entry(name);
    } catch (const std::exception& e) {
      log::logger().error("cannot check pid file {}/{}: {}", settings_.pid_dir, name, e.what());
    }
  }
}

asio::awaitable<void> ForeignKestrunChecker::check_entry(std::string name) {
  const std::string path = settings_.pid_dir + "/" + name;
  if (!is_pid_file_name(name)) {
    log::logger().warning("illegal pid file {}, remove", path);
    const auto own_status = fs::symlink_status(path);
    std::error_code ignored;
    if (fs::is_symlink(own_status) || fs::is_regular_file(fs::status(path, ignored))) {
      fs::remove(path);
    } else if (fs::is_directory(own_status)) {
      fs::remove_all(path);
    } else {
      log::logger().error("{} not a file or dir", path);
    }
    co_return;
  }
  const auto pid = read_integer(split_at(name, '.')[0]);
  if (!pid) {
    log::logger().warning("not a illegal pid file name {}, ignore", path);
    co_return;
  }
  const auto text = read_whole_file(path);
  if (!text) {
    co_return;  // its engine removed it since the listing
  }
  const auto content = parse_pid_file_content(*text);
  if (!content) {
    log::logger().error("illegal value in pid file<{}>, ignore", *text);
    co_return;
  }
  if (is_backtest_alive(*pid, content->identity, content->backtest_id)) {
    co_return;
  }
  log::logger().info("not alive pid {}, identity {}, backtest_id {}", *pid, content->identity,
                     content->backtest_id);
  // When the backtest cannot be marked the file stays, so the next scan tries again.
  co_await mark_backtest_end(writer_, content->backtest_id);
  publish_backtest_state(connection(), *hub_, content->backtest_id);
  fs::remove(path);
}

bool ForeignKestrunChecker::is_backtest_alive(std::int64_t pid, const std::string& /*identity*/,
                                              std::int64_t backtest_id) {
  auto raw = pid > 0 ? read_whole_file("/proc/" + std::to_string(pid) + "/cmdline")
                     : std::optional<std::string>();
  if (!raw) {
    log::logger().info("{} already exited", backtest_id);
    return false;
  }
  // Arguments are NUL-terminated; joined with single spaces as a shell would show them.
  std::string command_line = std::move(*raw);
  while (!command_line.empty() && command_line.back() == '\0') {
    command_line.pop_back();
  }
  for (auto& c : command_line) {
    if (c == '\0') {
      c = ' ';
    }
  }
  return command_line.find(engine_script_name) != std::string::npos;
}

void start_foreign_kestrun_collector(asio::any_io_executor executor, tasks::TaskGroup& tasks,
                                     CheckerSettings settings, db::Writer& writer,
                                     std::shared_ptr<events::EventHub> hub) {
  std::make_shared<ForeignKestrunChecker>(std::move(executor), std::move(settings), writer,
                                          std::move(hub))
      ->start(tasks);
}

}  // namespace stratdesk::server
