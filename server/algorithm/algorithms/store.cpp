#include "algorithms/store.hpp"

#include <array>

#include "common/error.hpp"

namespace stratdesk::algorithms::store {
namespace {

constexpr std::array<std::string_view, 7> algorithm_columns = {
    "id", "name", "securities", "code", "config", "parameters", "last_modified"};

}  // namespace

std::span<const std::string_view> columns() {
  return algorithm_columns;
}

boost::json::array list(db::Connection& c) {
  return db::to_array(c.execute("SELECT * FROM algorithms"));
}

std::optional<db::Row> find(db::Connection& c, std::int64_t id) {
  db::Rows rows = c.execute("SELECT * FROM algorithms WHERE algorithms.id = ?", {id});
  if (rows.empty()) {
    return std::nullopt;
  }
  return std::move(rows.front());
}

bool exists(db::Connection& c, std::int64_t id) {
  return !c.execute("SELECT id FROM algorithms WHERE algorithms.id = ?", {id}).empty();
}

boost::json::value parameters(db::Connection& c, std::int64_t id) {
  db::Rows rows = c.execute("SELECT parameters FROM algorithms WHERE algorithms.id = ?", {id});
  if (rows.empty()) {
    throw common::Error(common::ErrorKind::internal,
                        "algorithm " + std::to_string(id) + " does not exist");
  }
  return std::move(rows.front().at("parameters"));
}

std::int64_t insert(db::Connection& c, const NewAlgorithm& row) {
  c.execute(
      "INSERT INTO algorithms (name, securities, code, config, parameters, last_modified) "
      "VALUES (?, ?, ?, ?, ?, ?)",
      {db::Value(row.name), db::Value(row.securities), db::Value(row.code), db::Value(row.config),
       db::Value(row.parameters), db::Value(row.last_modified)});
  return c.last_insert_rowid();
}

void update(db::Connection& c, std::int64_t id, std::span<const Change> changes) {
  if (changes.empty()) {
    return;
  }
  std::string sql = "UPDATE algorithms SET ";
  std::vector<db::Value> values;
  for (const Change& change : changes) {
    sql += values.empty() ? "" : ", ";
    sql += change.column;
    sql += " = ?";
    values.emplace_back(change.value);
  }
  sql += " WHERE algorithms.id = ?";
  values.emplace_back(id);
  c.execute(sql, values);
}

}  // namespace stratdesk::algorithms::store
