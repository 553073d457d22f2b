#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/array.hpp>
#include <boost/json/value.hpp>

#include "db/connection.hpp"

// Every statement on the algorithms table, and nothing else: the resources parse, call and
// answer, the first-run seeding inserts through it too. Each function works on the connection it
// is handed and commits only where it says so, so that it can run in a reader's or the writer's
// transaction and be tested without HTTP.
namespace stratdesk::algorithms::store {

// A new algorithm row, as it is stored.
struct NewAlgorithm {
  std::string_view name;
  std::string_view securities;
  std::string_view code;
  std::string_view config;
  std::string_view parameters;
  std::string_view last_modified;
};

// One column to set, named by the store's own list of columns, never by a request's text.
struct Change {
  std::string_view column;
  std::string value;
};

// The columns of the table, "id" first.
std::span<const std::string_view> columns();

// Every row, in id order, each as an object of its columns.
boost::json::array list(db::Connection& c);

// The row `id`, or nullopt when there is none.
std::optional<db::Row> find(db::Connection& c, std::int64_t id);

// True when the row `id` exists.
bool exists(db::Connection& c, std::int64_t id);

// The stored parameters text of `id` (null when never extracted). Throws common::Error
// (internal) naming the algorithm when there is no such row.
boost::json::value parameters(db::Connection& c, std::int64_t id);

// Inserts `row` and returns its id. Does not commit.
std::int64_t insert(db::Connection& c, const NewAlgorithm& row);

// Sets each change's column of the row `id` (none: nothing is run). Does not commit.
void update(db::Connection& c, std::int64_t id, std::span<const Change> changes);

}  // namespace stratdesk::algorithms::store
