#include "common/error.hpp"
#include "common/json_parse.hpp"
#include "feeds/feeds.hpp"
#include "insert_statement.hpp"

namespace stratdesk::feeds {
namespace {

void bind(db::Statement& statement, int index, const Cell& cell) {
  switch (cell.kind) {
    case Cell::Kind::null:
      statement.bind_null(index);
      break;
    case Cell::Kind::integer:
      statement.bind_integer(index, cell.integer);
      break;
    case Cell::Kind::real:
      statement.bind_real(index, cell.real);
      break;
    case Cell::Kind::text:
      statement.bind_text(index, cell.text());
      break;
  }
}

void insert_flat_batch(const FeedKind& kind, const FlatRows& rows, std::size_t begin,
                       std::size_t end, BatchInserter& inserter, db::Connection& c,
                       StoredIds* stored) {
  db::Statement& statement = inserter.statement_for(end - begin);
  int index = 1;
  for (std::size_t cell = begin * rows.columns; cell < end * rows.columns; ++cell) {
    bind(statement, index++, rows.cells[cell]);
  }
  statement.step();
  if (stored != nullptr) {
    record_ids(kind, begin, end, c.last_insert_rowid(), *stored, [&rows](std::size_t row) {
      const Cell& algorithm = rows.cells[row * rows.columns];
      const Cell& backtest = rows.cells[row * rows.columns + 1];
      return algorithm.kind == Cell::Kind::integer && backtest.kind == Cell::Kind::integer
                 ? RowOwner(std::in_place, algorithm.integer, backtest.integer)
                 : std::nullopt;
    });
  }
}

// The failed batch as the general reader sees the posted text, for the same report. Text that
// reader refuses never took the fast road from a POST; the report then shows it whole.
void report_failed_flat_batch(std::string_view text, std::size_t begin, std::size_t end) {
  boost::system::error_code ec;
  const boost::json::value rows = common::parse_json(text, ec);
  if (ec || !rows.is_array() || rows.get_array().size() < end) {
    report_failed_batch(end - begin, text);
    return;
  }
  report_failed_rows(rows.get_array(), begin, end);
}

void insert_flat(const FeedKind& kind, std::string_view text, const FlatRows& rows,
                 db::Connection& c, StoredIds* stored) {
  insert_in_batches(
      kind, c, rows.row_count(),
      [&](BatchInserter& inserter, std::size_t begin, std::size_t end) {
        insert_flat_batch(kind, rows, begin, end, inserter, c, stored);
      },
      [text](std::size_t begin, std::size_t end) { report_failed_flat_batch(text, begin, end); });
}

}  // namespace

PostedBatches PostedBatches::read(const http::Fields& form) {
  PostedBatches posted;
  for (const FeedKind& kind : feed_kinds) {
    const std::string* text = form.first(kind.table);
    if (text == nullptr) {
      continue;
    }
    Batch batch;
    batch.kind = &kind;
    batch.text = *text;
    batch.flat = read_flat_rows(*text, kind.posted.size());
    if (!batch.flat) {
      batch.arena = std::make_unique<boost::json::monotonic_resource>();
      try {
        batch.rows = FeedGroup::parse_rows(kind, *text, batch.arena.get());
      } catch (...) {
        posted.unreadable_ = std::current_exception();
        break;
      }
    }
    posted.batches_.push_back(std::move(batch));
  }
  return posted;
}

void PostedBatches::store(db::Connection& c, StoredIds* stored) const {
  for (const Batch& batch : batches_) {
    try {
      if (batch.flat) {
        insert_flat(*batch.kind, batch.text, *batch.flat, c, stored);
      } else {
        FeedGroup::insert(*batch.kind, batch.rows, c, stored);
      }
    } catch (const db::Error& error) {
      throw common::Error(
          common::ErrorKind::internal,
          "could not store " + std::string(batch.kind->table) + ": " + error.what());
    }
  }
  if (unreadable_) {
    std::rethrow_exception(unreadable_);
  }
}

std::size_t PostedBatches::row_count() const {
  std::size_t rows = 0;
  for (const Batch& batch : batches_) {
    rows += batch.flat ? batch.flat->row_count() : batch.rows.size();
  }
  return rows;
}

}  // namespace stratdesk::feeds
