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
  // start-up, after the schema exists. It opens its own connection and commits what it stores.
  using Seeding = std::function<void(const Database&)>;

  explicit Database(std::string path, Seeding seeding = {});
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  [[nodiscard]] const std::string& path() const { return path_; }

  // Prepares the database at start-up: prints "connect ro sqlite url: <path>" on standard
  // output, creates the missing tables and indexes (logging each step) and seeds a new file.
  // Failures propagate; the connection is closed on every path.
  void check_env() const;

  // A new connection of its own to this database (for background tasks and the seeding).
  [[nodiscard]] Connection open_connection() const;

 private:
  std::string path_;
  Seeding seeding_;
};

// One write transaction on `connection`, for one scope: the constructor begins it, commit()
// commits it once, and the destructor rolls back whatever is uncommitted at the scope's end
// (all of it when the scope throws; what was written after the commit otherwise), never
// throwing. On a connection already inside a transaction it is a savepoint
// of that transaction instead: commit() releases the savepoint, the destructor rolls back to it,
// and what it kept is stored when the enclosing transaction commits.
class Transaction {
 public:
  explicit Transaction(Connection& connection);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // Commits (or releases the savepoint). A failing commit throws and leaves the transaction to
  // the destructor; a second commit throws std::logic_error.
  void commit();

 private:
  Connection& connection_;
  bool nested_;
  bool committed_ = false;
};

// Checks, in builds made with STRATDESK_CHECK_TRANSACTIONS (debug and sanitized builds), that
// `connection` holds no open transaction before its user waits on another process (`what`):
// such a wait would hold the database's write lock for as long as the other process takes.
// Aborts with a message when it does. Does nothing in other builds.
void expect_no_transaction(const Connection& connection, const char* what) noexcept;

}  // namespace stratdesk::db
