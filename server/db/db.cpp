#include "db/db.hpp"

#include <filesystem>
#include <iostream>
#include <utility>
#include <vector>

#include "log/log.hpp"
#include "schema.hpp"

namespace stratdesk::db {
namespace {

std::optional<std::string> sqlite_url;
std::function<void()> first_run_seeding;

// Opening a connection costs more than a small request does, so finished requests hand theirs
// back here. A connection only comes back with no transaction open.
class ConnectionPool {
 public:
  Connection take(const std::string& url) {
    if (url != url_) {
      idle_.clear();
      url_ = url;
    }
    if (idle_.empty()) {
      return open_connection(url);
    }
    Connection connection = std::move(idle_.back());
    idle_.pop_back();
    return connection;
  }

  void give_back(Connection connection) {
    if (connection.path() == url_ && idle_.size() < max_idle) {
      idle_.push_back(std::move(connection));
    }
  }

 private:
  static constexpr std::size_t max_idle = 16;
  std::string url_;
  std::vector<Connection> idle_;
};

ConnectionPool& pool() {
  static ConnectionPool instance;
  return instance;
}

// Lives in the request's context; the request's end discards its uncommitted work.
class RequestConnection {
 public:
  explicit RequestConnection(Connection connection) : connection_(std::move(connection)) {}
  RequestConnection(const RequestConnection&) = delete;
  RequestConnection& operator=(const RequestConnection&) = delete;

  ~RequestConnection() {
    try {
      connection_.rollback();
      pool().give_back(std::move(connection_));
    } catch (const std::exception& error) {
      // Not returned to the pool: closing the connection discards the transaction instead.
      log::logger().warning("dropping a request connection that could not roll back: {}",
                            error.what());
    }
  }

  Connection& connection() { return connection_; }

 private:
  Connection connection_;
};

const std::string& require_url() {
  if (!sqlite_url) {
    throw Error(0, "the database path is not set");
  }
  return *sqlite_url;
}

bool any_entry_exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

}  // namespace

void set_sqlite_url(const std::string& url) {
  sqlite_url = url;
}

std::optional<std::string> get_sqlite_url() {
  return sqlite_url;
}

void set_init_strategy(std::function<void()> init_stratey) {
  first_run_seeding = std::move(init_stratey);
}

Connection open_connection(const std::string& path) {
  return Connection(path);
}

void check_env() {
  std::cout << "connect ro sqlite url: " << sqlite_url.value_or("None") << std::endl;
  const std::string& url = require_url();
  const bool db_exist = any_entry_exists(url);
  Connection connection = open_connection(url);
  // Readers never wait for the writer in WAL mode, and a commit is one append to the log.
  connection.execute_script("PRAGMA journal_mode=WAL");
  for (const schema::Step& step : schema::creation_steps) {
    log::logger().info("{}", step.log_line);
    for (std::string_view statement : step.statements) {
      if (!statement.empty()) {
        connection.execute(statement);
      }
    }
  }
  if (!db_exist && first_run_seeding) {
    first_run_seeding();
  }
  connection.commit();
}

Connection& get_connection(http::Request& request) {
  if (auto* existing = request.context().find<RequestConnection>()) {
    return existing->connection();
  }
  Connection connection = pool().take(require_url());
  return request.context().emplace<RequestConnection>(std::move(connection)).connection();
}

}  // namespace stratdesk::db
