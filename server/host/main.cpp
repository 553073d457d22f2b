// stratdesk-server: reads its options, prepares storage, mounts every module's routes and
// serves HTTP on one event-loop thread until SIGINT or SIGTERM.

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "db/db.hpp"
#include "feeds/feeds.hpp"
#include "http/router.hpp"
#include "init_strategy/init_strategy.hpp"
#include "http/server.hpp"
#include "log/log.hpp"
#include "options.hpp"

namespace {

namespace fs = std::filesystem;
using stratdesk::host::Options;

constexpr auto shutdown_grace = std::chrono::seconds(10);

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
  make_directory(options.data_dir, "data directory");
  make_directory(fs::path(options.db_path).parent_path().string(), "database directory");
  make_directory(fs::path(options.log_path).parent_path().string(), "log directory");
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
}

int serve(const Options& options) {
  prepare_paths(options);
  stratdesk::log::init(options.log_path);

  stratdesk::db::set_sqlite_url(options.db_path);
  stratdesk::db::set_init_strategy(stratdesk::init_strategy::init_stratey);
  stratdesk::db::check_env();

  stratdesk::http::Api api;
  stratdesk::feeds::register_api(api, options.base_uri);

  boost::asio::io_context io;
  stratdesk::http::ServerOptions server_options;
  server_options.body_limit = options.body_limit;
  stratdesk::http::Server server(io, api, server_options);
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
    server.shutdown(shutdown_grace, [&io] { io.stop(); });
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
