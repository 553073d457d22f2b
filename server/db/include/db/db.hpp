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

// The database file of this server: where it lives, its preparation at start-up, and new
// connections to it. Built once by the host; everything that works on the database borrows it.
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

 private:
  std::string path_;
  Seeding seeding_;
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
