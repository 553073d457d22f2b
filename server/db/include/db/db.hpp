#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "db/connection.hpp"

// Storage: where the database lives, its schema, the connections the server works on, and the
// guard that holds a write transaction.
namespace stratdesk::db {

// A new connection to `path` in the server's settings (WAL journal, 5 s busy wait).
Connection open_connection(const std::string& path);

// The database file of this server and the connections handed out for it. Built once by the
// host; everything that works on the database borrows it. Lives on the I/O thread only.
class Database {
 public:
  // The first-run seeding step: run by check_env only when the file did not exist before
  // start-up, after the schema exists and before check_env commits. It opens its own connection.
  using Seeding = std::function<void(const Database&)>;

  explicit Database(std::string path, Seeding seeding = {});
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  [[nodiscard]] const std::string& path() const { return path_; }

  // Prepares the database at start-up: prints "connect ro sqlite url: <path>" on standard
  // output, creates the missing tables and indexes (logging each step), seeds a new file,
  // commits. Failures propagate; the connection is closed on every path.
  void check_env() const;

  // A new connection of its own to this database (for background tasks and the seeding).
  [[nodiscard]] Connection open_connection() const;

  // A connection from the pool of idle ones, or a new one when none is idle. Opening costs more
  // than a small request does, so finished users hand theirs back with give_back.
  Connection take_connection();
  // Keeps `connection` for the next take_connection. Requires no transaction to be open on it;
  // beyond the pool's size it is closed.
  void give_back(Connection connection);

 private:
  static constexpr std::size_t max_idle = 16;
  std::string path_;
  Seeding seeding_;
  std::vector<Connection> idle_;
};

// Holds the write transaction of `connection` for one scope: the destructor rolls back whatever
// the connection left uncommitted (nothing after a commit()), and never throws.
class Transaction {
 public:
  explicit Transaction(Connection& connection) noexcept : connection_(connection) {}
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // Commits what the connection wrote. A failing commit throws, and the destructor rolls back.
  void commit();

 private:
  Connection& connection_;
};

// Checks, in builds made with STRATDESK_CHECK_TRANSACTIONS (debug and sanitized builds), that
// `connection` holds no open transaction before its user waits on another process (`what`):
// such a wait would hold the database's write lock for as long as the other process takes.
// Aborts with a message when it does. Does nothing in other builds.
void expect_no_transaction(const Connection& connection, const char* what) noexcept;

}  // namespace stratdesk::db
