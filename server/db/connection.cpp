#include "db/connection.hpp"

#include <cctype>
#include <cmath>
#include <limits>

#include <sqlite3.h>

namespace stratdesk::db {
namespace {

constexpr int busy_timeout_ms = 5000;
constexpr std::size_t statement_cache_size = 64;

std::string_view first_keyword(std::string_view sql) {
  std::size_t begin = 0;
  while (begin < sql.size() && std::isspace(static_cast<unsigned char>(sql[begin]))) {
    ++begin;
  }
  std::size_t end = begin;
  while (end < sql.size() && std::isalpha(static_cast<unsigned char>(sql[end]))) {
    ++end;
  }
  return sql.substr(begin, end - begin);
}

bool keyword_is(std::string_view keyword, std::string_view expected) {
  if (keyword.size() != expected.size()) {
    return false;
  }
  for (std::size_t i = 0; i < keyword.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(keyword[i])) != expected[i]) {
      return false;
    }
  }
  return true;
}

bool changes_data(std::string_view sql) {
  const auto keyword = first_keyword(sql);
  return keyword_is(keyword, "INSERT") || keyword_is(keyword, "UPDATE") ||
         keyword_is(keyword, "DELETE") || keyword_is(keyword, "REPLACE");
}

bool changes_schema(std::string_view sql) {
  const auto keyword = first_keyword(sql);
  return keyword_is(keyword, "CREATE") || keyword_is(keyword, "DROP") ||
         keyword_is(keyword, "ALTER");
}

std::string_view column_text(sqlite3_stmt* statement, int column) {
  const auto* text = sqlite3_column_text(statement, column);
  const int size = sqlite3_column_bytes(statement, column);
  return {reinterpret_cast<const char*>(text), static_cast<std::size_t>(size)};
}

Value column_value(sqlite3_stmt* statement, int column) {
  switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
      return Value(static_cast<std::int64_t>(sqlite3_column_int64(statement, column)));
    case SQLITE_FLOAT:
      return Value(sqlite3_column_double(statement, column));
    case SQLITE_NULL:
      return Value(nullptr);
    default:
      // TEXT, and BLOB rendered as its bytes: nothing in this schema stores blobs.
      return Value(column_text(statement, column));
  }
}

}  // namespace

void Connection::StatementDeleter::operator()(sqlite3_stmt* statement) const noexcept {
  sqlite3_finalize(statement);
}

void Connection::Closer::operator()(sqlite3* db) const noexcept {
  // close_v2 defers the close until every statement is finalized, so the order in which a
  // moved-from connection releases its members cannot leak the handle.
  sqlite3_close_v2(db);
}

Connection::Connection(const std::string& path) : path_(path) {
  sqlite3* raw = nullptr;
  const int rc =
      sqlite3_open_v2(path.c_str(), &raw,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  // Adopt the handle before looking at rc: SQLite allocates one even when the open fails.
  db_.reset(raw);
  if (rc != SQLITE_OK) {
    const std::string detail = raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
    throw Error(rc, "cannot open database " + path + ": " + detail);
  }
  sqlite3_extended_result_codes(raw, 1);
  sqlite3_busy_timeout(raw, busy_timeout_ms);
  // Every commit is synced to the WAL file before COMMIT returns, so an answered write survives a
  // crash of this process and a power loss alike. Measured on large feed batches it costs no
  // more than synchronous=NORMAL: the B-tree work dominates.
  execute_script("PRAGMA synchronous=FULL");
}

Connection::~Connection() = default;
Connection::Connection(Connection&&) noexcept = default;
Connection& Connection::operator=(Connection&&) noexcept = default;

void Connection::fail(int rc, std::string_view what) const {
  std::string message(what);
  message += ": ";
  message += sqlite3_errmsg(db_.get());
  throw Error(sqlite3_extended_errcode(db_.get()) != 0 ? sqlite3_extended_errcode(db_.get()) : rc,
              message);
}

void Connection::execute_script(const std::string& sql) {
  char* error = nullptr;
  const int rc = sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    std::string message = error != nullptr ? error : sqlite3_errstr(rc);
    sqlite3_free(error);
    throw Error(rc, message + " (in: " + sql + ")");
  }
}

sqlite3_stmt* Connection::acquire_statement(std::string_view sql) {
  if (auto found = idle_index_.find(sql); found != idle_index_.end()) {
    auto node = found->second;
    sqlite3_stmt* statement = node->second.release();
    idle_index_.erase(found);
    idle_statements_.erase(node);
    return statement;
  }
  sqlite3_stmt* statement = nullptr;
  const int rc = sqlite3_prepare_v3(db_.get(), sql.data(), static_cast<int>(sql.size()),
                                    SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(statement);
    fail(rc, "cannot prepare statement");
  }
  if (statement == nullptr) {
    throw Error(SQLITE_MISUSE, "empty SQL statement");
  }
  return statement;
}

void Connection::release_statement(sqlite3_stmt* statement) noexcept {
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  try {
    std::string sql = sqlite3_sql(statement);
    if (idle_index_.contains(sql)) {
      sqlite3_finalize(statement);  // a twin borrowed while this one was in use
      return;
    }
    idle_statements_.emplace_back(std::move(sql), StatementPtr(statement));
    auto node = std::prev(idle_statements_.end());
    idle_index_.emplace(node->first, node);
    if (idle_statements_.size() > statement_cache_size) {
      idle_index_.erase(idle_statements_.front().first);
      idle_statements_.pop_front();
    }
  } catch (...) {
    sqlite3_finalize(statement);
  }
}

void Connection::before_first_step(bool data, bool schema) {
  const bool autocommit = sqlite3_get_autocommit(db_.get()) != 0;
  if (data && autocommit) {
    execute_script("BEGIN");
  } else if (schema && !autocommit) {
    execute_script("COMMIT");
  }
}

Rows Connection::execute(std::string_view sql, std::span<const Value> params) {
  Statement statement(*this, sql);
  statement.bind_all(params);
  return statement.fetch_all();
}

void Connection::commit() {
  if (in_transaction()) {
    execute_script("COMMIT");
  }
}

void Connection::rollback() {
  if (in_transaction()) {
    execute_script("ROLLBACK");
  }
}

bool Connection::in_transaction() const {
  return sqlite3_get_autocommit(db_.get()) == 0;
}

std::int64_t Connection::last_insert_rowid() const {
  return sqlite3_last_insert_rowid(db_.get());
}

Statement::Statement(Connection& connection, std::string_view sql)
    : connection_(connection),
      handle_(connection.acquire_statement(sql)),
      changes_data_(changes_data(sql)),
      changes_schema_(changes_schema(sql)) {}

Statement::~Statement() {
  connection_.release_statement(handle_);
}

void Statement::reset() {
  sqlite3_reset(handle_);  // the code repeats the last step's, which was already reported
  started_ = false;
}

int Statement::parameter_count() const {
  return sqlite3_bind_parameter_count(handle_);
}

void Statement::bind(int index, const Value& value) {
  int rc = SQLITE_OK;
  switch (value.kind()) {
    case boost::json::kind::null:
      rc = sqlite3_bind_null(handle_, index);
      break;
    case boost::json::kind::bool_:
      rc = sqlite3_bind_int64(handle_, index, value.get_bool() ? 1 : 0);
      break;
    case boost::json::kind::int64:
      rc = sqlite3_bind_int64(handle_, index, value.get_int64());
      break;
    case boost::json::kind::uint64:
      if (value.get_uint64() >
          static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        throw Error(SQLITE_RANGE, "integer " + std::to_string(value.get_uint64()) +
                                      " is too large for SQLite (parameter " +
                                      std::to_string(index) + ")");
      }
      rc = sqlite3_bind_int64(handle_, index, static_cast<std::int64_t>(value.get_uint64()));
      break;
    case boost::json::kind::double_:
      // SQLite stores a NaN real as NULL anyway; binding NULL says so instead of relying on it.
      rc = std::isnan(value.get_double()) ? sqlite3_bind_null(handle_, index)
                                          : sqlite3_bind_double(handle_, index, value.get_double());
      break;
    case boost::json::kind::string: {
      const auto& text = value.get_string();
      rc = sqlite3_bind_text64(handle_, index, text.data(), text.size(), SQLITE_TRANSIENT,
                               SQLITE_UTF8);
      break;
    }
    case boost::json::kind::array:
    case boost::json::kind::object:
      throw Error(SQLITE_MISMATCH, "parameter " + std::to_string(index) +
                                       " is an array or object, which cannot be bound");
  }
  if (rc != SQLITE_OK) {
    connection_.fail(rc, "cannot bind parameter " + std::to_string(index));
  }
}

void Statement::bind_null(int index) {
  if (const int rc = sqlite3_bind_null(handle_, index); rc != SQLITE_OK) {
    connection_.fail(rc, "cannot bind parameter " + std::to_string(index));
  }
}

void Statement::bind_integer(int index, std::int64_t value) {
  if (const int rc = sqlite3_bind_int64(handle_, index, value); rc != SQLITE_OK) {
    connection_.fail(rc, "cannot bind parameter " + std::to_string(index));
  }
}

void Statement::bind_real(int index, double value) {
  const int rc = std::isnan(value) ? sqlite3_bind_null(handle_, index)
                                   : sqlite3_bind_double(handle_, index, value);
  if (rc != SQLITE_OK) {
    connection_.fail(rc, "cannot bind parameter " + std::to_string(index));
  }
}

void Statement::bind_text(int index, std::string_view text) {
  const int rc =
      sqlite3_bind_text64(handle_, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
  if (rc != SQLITE_OK) {
    connection_.fail(rc, "cannot bind parameter " + std::to_string(index));
  }
}

void Statement::bind_all(std::span<const Value> values) {
  if (static_cast<int>(values.size()) != parameter_count()) {
    throw Error(SQLITE_RANGE, "statement takes " + std::to_string(parameter_count()) +
                                  " parameters, " + std::to_string(values.size()) + " supplied");
  }
  int index = 1;
  for (const auto& value : values) {
    bind(index++, value);
  }
}

bool Statement::step() {
  if (!started_) {
    connection_.before_first_step(changes_data_, changes_schema_);
    started_ = true;
  }
  const int rc = sqlite3_step(handle_);
  if (rc == SQLITE_ROW) {
    return true;
  }
  if (rc == SQLITE_DONE) {
    return false;
  }
  connection_.fail(rc, "statement failed");
}

Row dict_factory(const Statement& statement) {
  sqlite3_stmt* handle = statement.handle_;
  Row row;
  const int columns = sqlite3_column_count(handle);
  row.reserve(static_cast<std::size_t>(columns));
  for (int column = 0; column < columns; ++column) {
    row.insert_or_assign(sqlite3_column_name(handle, column), column_value(handle, column));
  }
  return row;
}

int Statement::column_count() const {
  return sqlite3_column_count(handle_);
}

std::string_view Statement::column_name(int column) const {
  return sqlite3_column_name(handle_, column);
}

Statement::Column Statement::column(int column) const {
  Column value;
  switch (sqlite3_column_type(handle_, column)) {
    case SQLITE_INTEGER:
      value.kind = Column::Kind::integer;
      value.integer = sqlite3_column_int64(handle_, column);
      break;
    case SQLITE_FLOAT:
      value.kind = Column::Kind::real;
      value.real = sqlite3_column_double(handle_, column);
      break;
    case SQLITE_NULL:
      break;
    default:
      value.kind = Column::Kind::text;
      value.text = column_text(handle_, column);
  }
  return value;
}

boost::json::array to_array(Rows rows) {
  boost::json::array out;
  out.reserve(rows.size());
  for (Row& row : rows) {
    out.emplace_back(std::move(row));
  }
  return out;
}

Rows Statement::fetch_all() {
  Rows rows;
  while (step()) {
    rows.push_back(dict_factory(*this));
  }
  return rows;
}

}  // namespace stratdesk::db
