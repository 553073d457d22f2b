#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "common/error.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace stratdesk::db {

// One result row: column name (or alias) to the value as SQLite stores it.
using Row = boost::json::object;
using Rows = std::vector<Row>;
using Value = boost::json::value;

// What the user or an engine can do about a failure with the SQLite result `code` (extended or
// primary), in plain words, for the answer to the request that met it: a full disk, a read-only
// database file, a database locked past the busy wait, a file that is not a database. Empty for
// every other code, whose details are for the log only.
std::string condition_message(int code);

// A failure reported by SQLite (or found before it was asked). Answered 500; the answer names
// the condition when condition_message(code) does, the log always gets what().
class Error : public common::InternalError {
 public:
  Error(int code, const std::string& message)
      : common::InternalError(message, condition_message(code)), code_(code) {}
  // The SQLite extended result code, or 0 for errors found before SQLite was asked.
  [[nodiscard]] int code() const noexcept { return code_; }

 private:
  int code_;
};

class Connection;
class Statement;

// The rows as a JSON array of objects, moved rather than copied.
boost::json::array to_array(Rows rows);

// The row factory: the current row of `statement` as a row map, column name (or alias) to
// value, in column order; when two columns share a name the later one's value is kept.
Row dict_factory(const Statement& statement);

// A prepared statement in use. Statements are cached by their SQL text on the connection;
// this handle borrows one and resets it (and clears its bindings) when it goes away, so the
// same text can be prepared again by the next user.
class Statement {
 public:
  Statement(Connection& connection, std::string_view sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // Binds `value` at the 1-based `index`: integers as INTEGER, reals as REAL (a NaN as NULL),
  // strings as TEXT, booleans as 1/0, null as NULL. Arrays and objects cannot be bound: throws
  // Error.
  void bind(int index, const Value& value);
  void bind_all(std::span<const Value> values);
  // Typed binds for callers holding plain values. A NaN real binds as NULL, as SQLite stores
  // it anyway. The text is not copied: it must stay valid until the statement is reset.
  void bind_null(int index);
  void bind_integer(int index, std::int64_t value);
  void bind_real(int index, double value);
  void bind_text(int index, std::string_view text);
  [[nodiscard]] int parameter_count() const;

  // Makes the statement ready to run again. Its bindings stay until they are replaced: a caller
  // that binds every parameter again need not pay for clearing them.
  void reset();

  // Runs the statement one step; true when a row is ready. The first step of a data-changing
  // statement opens the connection's transaction (see Connection).
  bool step();
  // All remaining rows, each made by dict_factory.
  Rows fetch_all();

  // The current row's columns, read in place for callers that write rows out directly.
  struct Column {
    enum class Kind { null, integer, real, text } kind = Kind::null;
    std::int64_t integer = 0;
    double real = 0;
    std::string_view text;  // valid until the next step
  };
  [[nodiscard]] int column_count() const;
  [[nodiscard]] std::string_view column_name(int column) const;
  [[nodiscard]] Column column(int column) const;

 private:
  friend Row dict_factory(const Statement& statement);

  Connection& connection_;
  sqlite3_stmt* handle_;
  bool started_ = false;
  bool changes_data_ = false;
  bool changes_schema_ = false;
};

// An open SQLite connection with the transaction behaviour the whole server relies on:
// the first INSERT/UPDATE/DELETE/REPLACE opens a deferred transaction that lasts until
// commit(); SELECT opens none; CREATE first commits what is open. A statement that finds the
// database locked waits up to 5 seconds.
class Connection {
 public:
  // Opens (creating if missing) the database file. Throws Error when it cannot.
  explicit Connection(const std::string& path);
  ~Connection();
  Connection(Connection&&) noexcept;
  Connection& operator=(Connection&&) noexcept;

  // Runs one statement with `params` bound in order and returns all its rows.
  Rows execute(std::string_view sql, std::span<const Value> params = {});
  Rows execute(std::string_view sql, std::initializer_list<Value> params) {
    return execute(sql, std::span<const Value>(params.begin(), params.size()));
  }

  void commit();
  // Discards the open transaction, if any.
  void rollback();
  [[nodiscard]] bool in_transaction() const;
  [[nodiscard]] std::int64_t last_insert_rowid() const;
  [[nodiscard]] const std::string& path() const { return path_; }

  // Runs SQL text without parameters or rows (pragmas, BEGIN/COMMIT).
  void execute_script(const std::string& sql);

 private:
  friend class Statement;
  struct StatementDeleter {
    void operator()(sqlite3_stmt* statement) const noexcept;
  };
  struct Closer {
    void operator()(sqlite3* db) const noexcept;
  };
  using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

  sqlite3_stmt* acquire_statement(std::string_view sql);
  void release_statement(sqlite3_stmt* statement) noexcept;
  void before_first_step(bool changes_data, bool changes_schema);
  [[noreturn]] void fail(int rc, std::string_view what) const;

  std::unique_ptr<sqlite3, Closer> db_;
  std::string path_;
  // Idle prepared statements by SQL text, least recently used first.
  std::list<std::pair<std::string, StatementPtr>> idle_statements_;
  std::unordered_map<std::string_view, std::list<std::pair<std::string, StatementPtr>>::iterator>
      idle_index_;
};

}  // namespace stratdesk::db
