#include "db/db.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <utility>

#include "log/log.hpp"
#include "schema.hpp"

namespace stratdesk::db {
namespace {

bool any_entry_exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

}  // namespace

Connection open_connection(const std::string& path) {
  return Connection(path);
}

Database::Database(std::string path, Seeding seeding)
    : path_(std::move(path)), seeding_(std::move(seeding)) {}

void Database::check_env() const {
  std::cout << "connect ro sqlite url: " << path_ << std::endl;
  const bool db_exist = any_entry_exists(path_);
  Connection connection = open_connection();
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
  if (!db_exist && seeding_) {
    seeding_(*this);
  }
}

Connection Database::open_connection() const {
  return db::open_connection(path_);
}

Transaction::Transaction(Connection& connection)
    : connection_(connection), nested_(connection.in_transaction()) {
  connection_.execute_script(nested_ ? "SAVEPOINT scoped_write" : "BEGIN");
}

Transaction::~Transaction() {
  // Some failures (a full disk, an I/O error) have ended the whole transaction already. After
  // its commit, a savepoint's later writes belong to the enclosing transaction; an outer
  // transaction's later writes opened one of their own that nothing would ever end.
  if ((committed_ && nested_) || !connection_.in_transaction()) {
    return;
  }
  try {
    connection_.execute_script(nested_ ? "ROLLBACK TO scoped_write; RELEASE scoped_write"
                                       : "ROLLBACK");
  } catch (const std::exception& error) {
    log::logger().warning("could not roll back a transaction: {}", error.what());
  }
}

void Transaction::commit() {
  if (committed_) {
    throw std::logic_error("a transaction was committed twice");
  }
  connection_.execute_script(nested_ ? "RELEASE scoped_write" : "COMMIT");
  committed_ = true;
}

void expect_no_transaction([[maybe_unused]] const Connection& connection,
                           [[maybe_unused]] const char* what) noexcept {
#ifdef STRATDESK_CHECK_TRANSACTIONS
  if (connection.in_transaction()) {
    std::fprintf(stderr, "a transaction is open while waiting on %s\n", what);
    std::abort();
  }
#endif
}

}  // namespace stratdesk::db
