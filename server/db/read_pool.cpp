#include "db/read_pool.hpp"

#include "log/log.hpp"

namespace stratdesk::db {

// The connections no reader holds, shared with the leases.
struct ReadPool::Lease::Idle {
  explicit Idle(std::size_t kept) : kept(kept) {}

  // A read that stopped midway may leave its transaction open: the next reader must see the
  // latest commits.
  void give_back(Connection connection) noexcept {
    try {
      if (connection.in_transaction()) {
        connection.rollback();
      }
      const std::lock_guard lock(mutex);
      if (connections.size() < kept) {
        connections.push_back(std::move(connection));
      }
    } catch (const std::exception& error) {
      log::logger().warning("a read connection could not be reset and is closed: {}", error.what());
    }
  }

  std::optional<Connection> take() {
    const std::lock_guard lock(mutex);
    if (connections.empty()) {
      return std::nullopt;
    }
    Connection connection = std::move(connections.back());
    connections.pop_back();
    return connection;
  }

  const std::size_t kept;
  std::mutex mutex;
  std::vector<Connection> connections;
};

ReadPool::Lease::~Lease() {
  if (idle_ && connection_) {
    idle_->give_back(std::move(*connection_));
  }
}

ReadPool::ReadPool(const Database& database, std::size_t threads)
    : path_(database.path()),
      idle_(std::make_shared<Lease::Idle>(2 * threads)),
      threads_(threads) {}

ReadPool::~ReadPool() {
  threads_.join();
}

ReadPool::Lease ReadPool::lease() {
  if (std::optional<Connection> idle = idle_->take()) {
    return Lease(idle_, std::move(*idle));
  }
  Connection connection = open_connection(path_);
  // A reader that wrote by mistake would take the write lock from the writer.
  connection.execute_script("PRAGMA query_only = 1");
  return Lease(idle_, std::move(connection));
}

}  // namespace stratdesk::db
