// stratdesk-server: reads its options, prepares storage, mounts every module's routes and
// serves HTTP on one event-loop thread until SIGINT or SIGTERM.

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sqlite3.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "algorithms/algorithms.hpp"
#include "api/api.hpp"
#include "apidoc/apidoc.hpp"
#include "backtest/backtest.hpp"
#include "data_lock.hpp"
#include "db/db.hpp"
#include "db/read_pool.hpp"
#include "db/writer.hpp"
#include "descriptor_limit.hpp"
#include "event_stream/event_stream.hpp"
#include "events/event_hub.hpp"
#include "http/router.hpp"
#include "http/server.hpp"
#include "http/worker_pool.hpp"
#include "init_strategy/init_strategy.hpp"
#include "install_layout.hpp"
#include "log/log.hpp"
#include "morvex_client/morvex_client.hpp"
#include "options.hpp"
#include "routes.hpp"
#include "server/pid_file.hpp"
#include "server/server.hpp"
#include "tasks/task_group.hpp"

namespace stratdesk::host {
namespace {

// Event ids of this run begin at its start instant in microseconds, so that a client holding an
// id of an earlier run on the same data (which published far fewer than one event per
// microsecond) is always told to reload, and ids stay exact as numbers in a browser's JSON.
std::int64_t run_first_event_id() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::microseconds>(since_epoch).count() + 1;
}

namespace fs = std::filesystem;

constexpr auto shutdown_grace = std::chrono::seconds(10);
// Feed POSTs being read at once; more wait their turn, which bounds the memory their rows take.
constexpr std::size_t feed_reads_in_flight = 8;
// Database reads of requests running at once; more wait for a thread. Each holds a connection
// of its own.
constexpr std::size_t read_threads = 4;
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

void prepare_paths(const Options& options) {
  try {
    server::check_pid_dir(options.pid_dir, {{"the database", options.db_path},
                                            {"the log file", options.log_path},
                                            {"the strategy directory", options.strategy_dir},
                                            {"the bundle", options.bundle_dir},
                                            {"the engine script", options.engine_script}});
  } catch (const server::UnsafePidDir& refusal) {
    throw UnusablePath(refusal.what());
  }
  create_private_folders({options.data_dir, fs::path(options.log_path).parent_path()});
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

// What engines find in their environment beside the server's own: where to post their results,
// keep their pid files and read the bundle, and the token (removed when there is none).
process::EnvironmentChanges engine_environment(const Options& options, unsigned short port) {
  const std::string base = "http://" + url_host(options.host) + ":" + std::to_string(port);
  return {{"STRATDESK_FEED_URL", base + options.base_uri + "/feedgroup"},
          {"STRATDESK_PID_DIR", options.pid_dir},
          {"STRATDESK_BUNDLE_DIR", options.bundle_dir},
          {"STRATDESK_TOKEN", options.token}};
}

// Every connection holds a descriptor: the cap stays below the limit, with room for the
// database, the log and child pipes.
std::size_t connection_cap(std::size_t wanted) {
  const std::uint64_t limit = host::raise_descriptor_limit();
  const std::size_t cap = host::connection_cap(limit, wanted);
  if (cap < wanted) {
    log::logger().warning(
        "only {} descriptors may be open: serving at most {} connections instead of {}", limit, cap,
        wanted);
  }
  return cap;
}

http::ServerOptions server_options(const Options& options,
                                   std::shared_ptr<http::StreamTickets> tickets) {
  http::ServerOptions server;
  server.body_limit = options.body_limit;
  server.body_memory = options.body_memory;
  server.idle_timeout = options.idle_timeout;
  server.header_timeout = options.header_timeout;
  server.body_timeout = options.body_timeout;
  server.max_connections = connection_cap(options.max_connections);
  server.access.allowed_hosts = options.allowed_hosts;
  server.access.allowed_origins = options.allowed_origins;
  server.access.token = options.token;
  server.access.public_paths = apidoc::public_paths(options.base_uri);
  server.access.ticket_path = event_stream::stream_path(options.base_uri);
  server.access.tickets = std::move(tickets);
  return server;
}

// The engine's and the parameter extraction's packages live beside the engine script. Set
// before check_env, since the first-run seeding already runs the extraction.
void export_python_path() {
  std::string python_path = (install_layout().share_dir / "engine").string();
  if (const char* existing = std::getenv("PYTHONPATH"); existing != nullptr && *existing != '\0') {
    python_path += std::string(":") + existing;
  }
  ::setenv("PYTHONPATH", python_path.c_str(), 1);
}

// The docs page's files: installed beside the engine, or where scripts/install-deps.sh puts them
// in a source tree.
std::string docs_folder() {
  const InstallLayout& layout = install_layout();
  return (layout.installed ? layout.share_dir / "docs"
                           : layout.share_dir / "third_party/node_modules/swagger-ui-dist")
      .string();
}

// The backtest module reaches the engine manager through its own small interface.
class ManagerControl final : public backtest::EngineControl {
 public:
  explicit ManagerControl(std::shared_ptr<server::KestrunManager> manager)
      : manager_(std::move(manager)) {}
  void start_kestrun(std::int64_t backtest_id, const std::vector<std::string>& cmd) override {
    manager_->start_kestrun(backtest_id, cmd);
  }
  void stop_kestrun(std::int64_t backtest_id) override { manager_->stop_kestrun(backtest_id); }

 private:
  std::shared_ptr<server::KestrunManager> manager_;
};

// Lets the connections finish what they are answering, then cancels the background tasks and
// stops the loop once they have ended, or once the limit has passed for those that did not.
boost::asio::awaitable<void> shut_down(http::Server& server, tasks::TaskGroup& tasks,
                                       boost::asio::io_context& io) {
  co_await server.shutdown(shutdown_grace);
  tasks.cancel();
  if (const std::size_t left = co_await tasks.wait_for_all(task_shutdown_limit); left > 0) {
    log::logger().warning("{} background tasks did not end when cancelled", left);
  }
  io.stop();
}

// The listening socket, bound before anything is created, so that a port in use leaves no
// new data folder behind.
boost::asio::ip::tcp::endpoint listen(http::Server& server, const Options& options) {
  try {
    return server.listen(options.host, options.port);
  } catch (const boost::system::system_error& error) {
    throw UnusablePath("cannot listen on " + options.host + ":" + std::to_string(options.port) +
                       ": " + error.code().message());
  }
}

void open_log(const Options& options) {
  if (fs::is_directory(options.log_path)) {
    throw UnusablePath("cannot use log file " + options.log_path + ": it is a directory");
  }
  try {
    log::init(options.log_path);
  } catch (const std::exception& error) {
    throw UnusablePath("cannot use log file " + options.log_path + ": " + error.what());
  }
}

// Failures of the file itself (not a database, locked by another program, unreadable) are the
// user's to fix; anything else is a fault of ours and propagates.
bool is_unusable_database(const db::Error& error) {
  switch (error.code() & 0xff) {
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_CANTOPEN:
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_FULL:
    case SQLITE_IOERR:
      return true;
    default:
      return false;
  }
}

void prepare_database(const db::Database& database) {
  try {
    database.check_env();
  } catch (const db::Error& error) {
    if (!is_unusable_database(error)) {
      throw;
    }
    throw UnusablePath("cannot use database " + database.path() + ": " + error.what());
  }
}

int serve(const Options& options) {
  // One server per data folder: the database's folder is held before anything in it is read,
  // created or swept, and a folder that does not exist yet once it has been created.
  const fs::path locked_folder = fs::path(options.db_path).parent_path();
  std::optional<DataFolderLock> lock;
  if (fs::is_directory(locked_folder)) {
    lock.emplace(locked_folder);
  }
  // The first-run seeding already extracts the parameters of the example strategies. Nothing
  // touches the file before prepare_database.
  // Every background task of the loop below; it outlives the loop, which may stop with tasks
  // that did not end when cancelled.
  tasks::TaskGroup tasks;
  const algorithms::ParameterExtraction extraction({options.python, options.exparam_timeout},
                                                   tasks);
  db::Database database(options.db_path, [&extraction](const db::Database& seeded) {
    init_strategy::init_stratey(seeded, extraction.settings());
  });
  boost::asio::io_context io;
  // Routes are mounted once the storage is ready; nothing is accepted before server.start().
  http::Api api;
  const auto tickets = std::make_shared<http::StreamTickets>();
  http::Server server(io, api, tasks, server_options(options, tickets));
  const boost::asio::ip::tcp::endpoint endpoint = listen(server, options);

  prepare_paths(options);
  if (!lock) {
    lock.emplace(locked_folder);
  }
  open_log(options);
  export_python_path();

  prepare_database(database);

  // What the event stream tells its clients; every module that commits a fact publishes there.
  const auto hub = std::make_shared<events::EventHub>(events::HubLimits{}, run_first_event_id());
  // Every write transaction of the server runs on this one writer, beside the loop; it goes
  // before the loop's tasks that use it.
  db::Writer writer(database);
  const auto manager =
      server::start_kestrun_manager(io.get_executor(), tasks,
                                    {options.pid_dir, options.log_path, options.db_path,
                                     options.python, engine_environment(options, endpoint.port())},
                                    writer, hub);
  server::start_foreign_kestrun_collector(
      io.get_executor(), tasks, {options.pid_dir, options.log_path, options.db_path}, writer, hub);
  backtest::start_progress_watch(io.get_executor(), tasks, database, hub);
  // Feed POSTs are read on a few threads, so the loop serves other requests meanwhile. The pool
  // goes before the loop, after what it hands results to.
  http::WorkerPool pool(http::WorkerPool::threads_for(std::thread::hardware_concurrency()),
                        feed_reads_in_flight);
  log::logger().info("feed parsing on a worker pool of {} threads", pool.size());
  // Every read of a request runs beside the loop, on a connection of its own.
  db::ReadPool reads(database, read_threads);
  ManagerControl engines(manager);
  const backtest::Settings backtests{options.engine_script, options.strategy_dir,
                                     options.bundle_dir};
  const morvex_client::Client analytics_client({options.analytics_port, options.analytics_timeout});
  morvex_api::Analytics analytics(analytics_client);

  // Sweeps launch their runs as the launch route does, a few at a time.
  const auto sweep_scheduler = std::make_shared<sweeps::Scheduler>(
      io.get_executor(), backtest::Dependencies{reads, writer, backtests, engines, hub},
      static_cast<std::int64_t>(options.max_running));
  sweep_scheduler->start(tasks);
  // A place freed by a run's end is filled at once rather than at the scheduler's next look.
  manager->on_end_recorded([sweep_scheduler](std::int64_t) { sweep_scheduler->wake(); });
  mount_routes(api, options.base_uri,
               {reads, writer, pool, extraction, backtests, engines, analytics, hub, tickets,
                sweep_scheduler, docs_folder()});

  boost::asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code& ec, int signal_number) {
    if (ec) {
      return;
    }
    log::logger().info("signal {} received, shutting down", signal_number);
    manager->on_stop();
    boost::asio::co_spawn(io, shut_down(server, tasks, io), log::report_failure_of("the shutdown"));
  });

  server.start();
  std::cout << "listening on http://" << url_host(options.host) << ":" << endpoint.port()
            << options.base_uri << std::endl;
  log::logger().info("listening on {}:{} with routes under '{}'", options.host, endpoint.port(),
                     options.base_uri);
  io.run();
  log::logger().info("server stopped");
  return 0;
}

}  // namespace
}  // namespace stratdesk::host

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  const auto parsed =
      stratdesk::host::parse_options(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.options) {
    (parsed.exit_code == 0 ? std::cout : std::cerr) << parsed.message << std::endl;
    return parsed.exit_code;
  }
  try {
    return stratdesk::host::serve(*parsed.options);
  } catch (const stratdesk::host::FolderInUse& error) {
    std::cerr << error.what() << std::endl;
    return 2;
  } catch (const stratdesk::host::UnusablePath& error) {
    std::cerr << "stratdesk-server: " << error.what() << std::endl;
    return 2;
  } catch (const std::exception& error) {
    std::cerr << "stratdesk-server: start-up failed: " << error.what() << std::endl;
    return 1;
  }
}
