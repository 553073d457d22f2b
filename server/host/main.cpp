// stratdesk-server: reads its options, prepares storage, mounts every module's routes and
// serves HTTP on one event-loop thread until SIGINT or SIGTERM.

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <sys/resource.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/json/object.hpp>

#include "algorithms/algorithms.hpp"
#include "api/api.hpp"
#include "backtest/backtest.hpp"
#include "db/db.hpp"
#include "feeds/feeds.hpp"
#include "http/router.hpp"
#include "http/server.hpp"
#include "init_strategy/init_strategy.hpp"
#include "log/log.hpp"
#include "morvex_client/morvex_client.hpp"
#include "options.hpp"
#include "server/server.hpp"
#include "tasks/task_group.hpp"

namespace {

namespace fs = std::filesystem;
using stratdesk::host::Options;

constexpr auto shutdown_grace = std::chrono::seconds(10);
// Background tasks end at their next wait once cancelled; this only bounds a task that does not.
constexpr auto task_shutdown_limit = std::chrono::seconds(2);

// A start-up failure the user can fix: reported on one line, exit code 2.
class UnusablePath : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

void make_directory(const std::string& path, const char* what) {
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec || !fs::is_directory(path)) {
    throw UnusablePath(std::string("cannot use ") + what + " " + path + ": " +
                       (ec ? ec.message() : "not a directory"));
  }
}

// True when `path` is `directory` or lies below it (both absolute).
bool is_within(const fs::path& path, const fs::path& directory) {
  const fs::path relative = fs::weakly_canonical(path).lexically_relative(directory);
  return !relative.empty() && *relative.begin() != "..";
}

// The foreign engine checker empties the pid directory at start-up and deletes every entry
// that is not a pid file once a second, so it must hold nothing else of value.
void check_pid_dir(const Options& options) {
  const fs::path pid_dir = fs::weakly_canonical(options.pid_dir);
  std::string reason;
  const char* home = std::getenv("HOME");
  if (pid_dir == pid_dir.root_path()) {
    reason = "it is the root directory";
  } else if (home != nullptr && *home != '\0' && is_within(home, pid_dir)) {
    reason = std::string("it is or holds the home directory ") + home;
  }
  const std::pair<const char*, const std::string*> kept[] = {
      {"the database", &options.db_path},
      {"the log file", &options.log_path},
      {"the strategy directory", &options.strategy_dir},
      {"the bundle", &options.bundle_dir},
      {"the engine script", &options.engine_script}};
  for (const auto& [what, path] : kept) {
    if (reason.empty() && is_within(*path, pid_dir)) {
      reason = std::string("it holds ") + what + " " + *path;
    }
  }
  if (!reason.empty()) {
    throw UnusablePath("refusing pid directory " + options.pid_dir + ": " + reason +
                       "; its content is deleted at start-up");
  }
}

void prepare_paths(const Options& options) {
  check_pid_dir(options);
  make_directory(options.data_dir, "data directory");
  make_directory(fs::path(options.db_path).parent_path().string(), "database directory");
  make_directory(fs::path(options.log_path).parent_path().string(), "log directory");
  make_directory(options.pid_dir, "pid directory");
  make_directory(options.strategy_dir, "strategy directory");
  if (fs::is_directory(options.db_path)) {
    throw UnusablePath("cannot use database " + options.db_path + ": it is a directory");
  }
}

std::string url_host(const std::string& host) {
  if (host == "0.0.0.0") {
    return "127.0.0.1";
  }
  if (host == "::") {
    return "[::1]";
  }
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

// Engines inherit the server's environment and learn there where to post their results and
// where to keep their pid files.
void export_engine_environment(const Options& options, unsigned short port) {
  const std::string base = "http://" + url_host(options.host) + ":" + std::to_string(port);
  ::setenv("STRATDESK_FEED_URL", (base + options.base_uri + "/feedgroup").c_str(), 1);
  ::setenv("STRATDESK_PID_DIR", options.pid_dir.c_str(), 1);
  ::setenv("STRATDESK_BUNDLE_DIR", options.bundle_dir.c_str(), 1);
  if (options.token) {
    ::setenv("STRATDESK_TOKEN", options.token->c_str(), 1);
  } else {
    ::unsetenv("STRATDESK_TOKEN");
  }
}

// Every connection holds a descriptor: raise the soft limit as far as the system lets us, and
// keep the connection cap below it with room for the database, the log and child pipes.
std::size_t connection_cap(std::size_t wanted) {
  constexpr rlim_t reserved = 64;
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return wanted;
  }
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > wanted + reserved) {
    return wanted;
  }
  const std::size_t cap = limit.rlim_cur > reserved * 2 ? limit.rlim_cur - reserved : 16;
  stratdesk::log::logger().warning(
      "only {} descriptors may be open: serving at most {} connections instead of {}",
      limit.rlim_cur, cap, wanted);
  return cap;
}

stratdesk::http::ServerOptions server_options(const Options& options) {
  stratdesk::http::ServerOptions server;
  server.body_limit = options.body_limit;
  server.idle_timeout = options.idle_timeout;
  server.header_timeout = options.header_timeout;
  server.body_timeout = options.body_timeout;
  server.max_connections = connection_cap(options.max_connections);
  server.access.allowed_hosts = options.allowed_hosts;
  server.access.allowed_origins = options.allowed_origins;
  server.access.token = options.token;
  return server;
}

// The engine's and the parameter extraction's packages live beside the engine script. Set
// before check_env, since the first-run seeding already runs the extraction.
void export_python_path() {
  std::string python_path = STRATDESK_SOURCE_DIR "/engine";
  if (const char* existing = std::getenv("PYTHONPATH"); existing != nullptr && *existing != '\0') {
    python_path += std::string(":") + existing;
  }
  ::setenv("PYTHONPATH", python_path.c_str(), 1);
}

// The backtest module reaches the engine manager through its own small interface.
class ManagerControl final : public stratdesk::backtest::EngineControl {
 public:
  explicit ManagerControl(std::shared_ptr<stratdesk::server::KestrunManager> manager)
      : manager_(std::move(manager)) {}
  void start_kestrun(std::int64_t backtest_id, const std::vector<std::string>& cmd) override {
    manager_->start_kestrun(backtest_id, cmd);
  }
  void stop_kestrun(std::int64_t backtest_id) override { manager_->stop_kestrun(backtest_id); }

 private:
  std::shared_ptr<stratdesk::server::KestrunManager> manager_;
};

boost::json::object options_as_json(const Options& options) {
  return {{"host", options.host},
          {"port", options.port},
          {"base_uri", options.base_uri},
          {"data_dir", options.data_dir},
          {"db", options.db_path},
          {"pid_dir", options.pid_dir},
          {"log", options.log_path},
          {"strategy_dir", options.strategy_dir},
          {"bundle_dir", options.bundle_dir},
          {"python", options.python},
          {"engine_script", options.engine_script},
          {"analytics_port", options.analytics_port}};
}

// Cancels the background tasks (engine supervision, the child reaper, connections still open)
// and stops the loop once they have ended, or once the limit has passed for those that did not.
void stop_background_tasks(boost::asio::io_context& io) {
  auto& tasks = stratdesk::tasks::TaskGroup::of(io.get_executor());
  tasks.shutdown(io.get_executor(), task_shutdown_limit, [&io](std::size_t left) {
    if (left > 0) {
      stratdesk::log::logger().warning("{} background tasks did not end when cancelled", left);
    }
    io.stop();
  });
}

int serve(const Options& options) {
  prepare_paths(options);
  stratdesk::log::init(options.log_path);
  export_python_path();

  stratdesk::db::set_sqlite_url(options.db_path);
  stratdesk::db::set_init_strategy(stratdesk::init_strategy::init_stratey);
  // Set before check_env, not after it: the first-run seeding extracts the parameters of the
  // example strategies with this interpreter.
  stratdesk::algorithms::set_kestrun_interpreter(options.python);
  stratdesk::algorithms::set_kestrun_timeout(options.exparam_timeout);
  stratdesk::db::check_env();

  boost::asio::io_context io;
  const auto manager = stratdesk::server::start_kestrun_manager(
      io.get_executor(), options.pid_dir, options.log_path, options.db_path, options.python);
  stratdesk::server::start_foreign_kestrun_collector(io.get_executor(), options.pid_dir,
                                                     options.log_path, options.db_path);

  stratdesk::backtest::set_kestrun_path(options.engine_script);
  stratdesk::backtest::set_strategy_file_path(options.strategy_dir);
  stratdesk::backtest::set_bundle_path(options.bundle_dir);
  stratdesk::backtest::set_kestrun_manager(std::make_shared<ManagerControl>(manager));
  stratdesk::backtest::set_pid_path(options.pid_dir);
  stratdesk::backtest::set_conf(options_as_json(options));

  stratdesk::morvex_client::set_port(options.analytics_port);
  stratdesk::morvex_client::set_timeout(options.analytics_timeout);

  stratdesk::http::Api api;
  stratdesk::algorithms::register_api(api, options.base_uri);
  stratdesk::backtest::register_api(api, options.base_uri);
  stratdesk::feeds::register_api(api, options.base_uri);
  stratdesk::morvex_api::register_api(api, options.base_uri);

  stratdesk::http::Server server(io, api, server_options(options));
  boost::asio::ip::tcp::endpoint endpoint;
  try {
    endpoint = server.listen(options.host, options.port);
  } catch (const std::exception& error) {
    throw UnusablePath("cannot listen on " + options.host + ":" + std::to_string(options.port) +
                       ": " + error.what());
  }
  export_engine_environment(options, endpoint.port());

  boost::asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code& ec, int signal_number) {
    if (ec) {
      return;
    }
    stratdesk::log::logger().info("signal {} received, shutting down", signal_number);
    manager->on_stop();
    server.shutdown(shutdown_grace, [&io] { stop_background_tasks(io); });
  });

  server.start();
  std::cout << "listening on http://" << url_host(options.host) << ":" << endpoint.port()
            << options.base_uri << std::endl;
  stratdesk::log::logger().info("listening on {}:{} with routes under '{}'", options.host,
                                endpoint.port(), options.base_uri);
  io.run();
  stratdesk::log::logger().info("server stopped");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  const auto parsed =
      stratdesk::host::parse_options(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.options) {
    (parsed.exit_code == 0 ? std::cout : std::cerr) << parsed.message << std::endl;
    return parsed.exit_code;
  }
  try {
    return serve(*parsed.options);
  } catch (const UnusablePath& error) {
    std::cerr << "stratdesk-server: " << error.what() << std::endl;
    return 2;
  } catch (const std::exception& error) {
    std::cerr << "stratdesk-server: start-up failed: " << error.what() << std::endl;
    return 1;
  }
}
