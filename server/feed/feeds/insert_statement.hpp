#pragma once

#include <cstddef>
#include <string>

#include "feeds/feeds.hpp"

namespace stratdesk::feeds {

// Rows per INSERT: far below SQLite's parameter limit for the widest kind, and enough to make
// the statement's own cost small beside its rows'.
inline constexpr std::size_t batch_rows = 50;

// INSERT INTO <kind> (<columns>) VALUES (?, ...), ... for `row_count` rows.
inline std::string insert_statement(const FeedKind& kind, std::size_t row_count) {
  std::string group = "(";
  std::string sql = "INSERT INTO " + std::string(kind.table) + " (";
  for (std::size_t i = 0; i < kind.fields.size(); ++i) {
    sql += i == 0 ? "" : ", ";
    sql += kind.fields[i];
    group += i == 0 ? "?" : ", ?";
  }
  group += ")";
  sql += ") VALUES ";
  for (std::size_t row = 0; row < row_count; ++row) {
    sql += row == 0 ? "" : ", ";
    sql += group;
  }
  return sql;
}

}  // namespace stratdesk::feeds
