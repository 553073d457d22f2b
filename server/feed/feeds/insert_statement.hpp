#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <boost/json/array.hpp>
#include <boost/json/serialize.hpp>

#include "db/connection.hpp"
#include "feeds/feeds.hpp"

namespace stratdesk::feeds {

// Rows per INSERT: far below SQLite's parameter limit for the widest kind, and enough to make
// the statement's own cost small beside its rows'.
inline constexpr std::size_t batch_rows = 50;

// INSERT INTO <kind> (<columns>) VALUES (?, ...), ... for `row_count` rows.
inline std::string insert_statement(const FeedKind& kind, std::size_t row_count) {
  std::string group = "(";
  std::string sql = "INSERT INTO " + std::string(kind.table) + " (";
  for (std::size_t i = 0; i < kind.posted.size(); ++i) {
    sql += i == 0 ? "" : ", ";
    sql += kind.posted[i];
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

// Reports a batch whose INSERT failed on standard error: its row count, three spaces, its rows;
// no line break. Written in one piece, so that a log line from another thread cannot land
// inside it.
inline void report_failed_batch(std::size_t row_count, std::string_view rendered_rows) {
  std::string report = std::to_string(row_count) + "   ";
  report += rendered_rows;
  std::cerr.write(report.data(), static_cast<std::streamsize>(report.size()));
  std::cerr.flush();
}

// Reports the rows [begin, end) of `rows` as report_failed_batch does.
inline void report_failed_rows(const boost::json::array& rows, std::size_t begin, std::size_t end) {
  const boost::json::array batch(rows.begin() + static_cast<std::ptrdiff_t>(begin),
                                 rows.begin() + static_cast<std::ptrdiff_t>(end));
  report_failed_batch(end - begin, boost::json::serialize(batch));
}

// The algorithm and backtest ids a stored row names, when both are integers.
using RowOwner = std::optional<std::pair<std::int64_t, std::int64_t>>;

// Records in `stored` the greatest id of each owner's rows among [begin, end), given the last
// insert rowid of their multi-row INSERT: a table whose key is its rowid gives the rows of one
// INSERT consecutive ids in row order. `owner_of(row)` returns the row's RowOwner.
template <class OwnerOf>
void record_ids(const FeedKind& kind, std::size_t begin, std::size_t end, std::int64_t last_id,
                StoredIds& stored, OwnerOf owner_of) {
  for (std::size_t row = begin; row < end; ++row) {
    if (const RowOwner owner = owner_of(row)) {
      const std::int64_t id = last_id - static_cast<std::int64_t>(end - 1 - row);
      std::int64_t& greatest = stored[*owner][kind.table];
      greatest = std::max(greatest, id);
    }
  }
}

// The INSERTs of one kind's rows, batch after batch on one connection. A full batch's
// statement (a few kilobytes of SQL for the widest kinds) is looked up once and run again for
// each full batch, its bindings replaced rather than cleared: every batch binds all of them.
class BatchInserter {
 public:
  BatchInserter(const FeedKind& kind, db::Connection& c) : kind_(kind), connection_(c) {}

  // The statement for a batch of `rows` rows, ready for its values bound from index 1.
  db::Statement& statement_for(std::size_t rows) {
    if (rows != batch_rows) {
      partial_.reset();
      return partial_.emplace(connection_, insert_statement(kind_, rows));
    }
    if (full_) {
      full_->reset();
      return *full_;
    }
    return full_.emplace(connection_, full_batch_statement());
  }

 private:
  const std::string& full_batch_statement() {
    static const auto texts = [] {
      std::array<std::string, feed_kinds.size()> texts;
      for (std::size_t i = 0; i < feed_kinds.size(); ++i) {
        texts[i] = insert_statement(feed_kinds[i], batch_rows);
      }
      return texts;
    }();
    for (std::size_t i = 0; i < feed_kinds.size(); ++i) {
      if (&feed_kinds[i] == &kind_) {
        return texts[i];
      }
    }
    own_text_ = insert_statement(kind_, batch_rows);
    return own_text_;
  }

  const FeedKind& kind_;
  db::Connection& connection_;
  std::string own_text_;  // for a kind that is not one of feed_kinds
  std::optional<db::Statement> full_;
  std::optional<db::Statement> partial_;
};

// Stores `row_count` rows of `kind` on `c`, batch_rows at a time: `insert_batch(inserter, begin,
// end)` stores rows [begin, end); when it throws, `report_batch(begin, end)` reports those rows
// before the failure goes on.
template <class InsertBatch, class ReportBatch>
void insert_in_batches(const FeedKind& kind, db::Connection& c, std::size_t row_count,
                       InsertBatch insert_batch, ReportBatch report_batch) {
  BatchInserter inserter(kind, c);
  for (std::size_t begin = 0; begin < row_count; begin += batch_rows) {
    const std::size_t end = std::min(row_count, begin + batch_rows);
    try {
      insert_batch(inserter, begin, end);
    } catch (...) {
      report_batch(begin, end);
      throw;
    }
  }
}

}  // namespace stratdesk::feeds
