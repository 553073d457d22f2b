#include <algorithm>
#include <string>

#include <boost/json/monotonic_resource.hpp>

#include "common/json_parse.hpp"
#include "db/db.hpp"
#include "feeds/feeds.hpp"
#include "insert_statement.hpp"

namespace stratdesk::feeds {
namespace {

void check_value_count(const FeedKind& kind, const boost::json::array& row, std::size_t index) {
  // SQLite would leave unbound parameters NULL instead of rejecting a short row.
  if (row.size() != kind.posted.size()) {
    throw db::Error(0, std::string(kind.table) + " row " + std::to_string(index) + " has " +
                           std::to_string(row.size()) + " values, the kind has " +
                           std::to_string(kind.posted.size()) + " columns");
  }
}

void insert_batch(const FeedKind& kind, const boost::json::array& rows, std::size_t begin,
                  std::size_t end, BatchInserter& inserter, db::Connection& c, StoredIds* stored) {
  for (std::size_t i = begin; i < end; ++i) {
    check_value_count(kind, rows[i].get_array(), i);
  }
  db::Statement& statement = inserter.statement_for(end - begin);
  int index = 1;
  for (std::size_t i = begin; i < end; ++i) {
    for (const auto& value : rows[i].get_array()) {
      statement.bind(index++, value);
    }
  }
  statement.step();
  if (stored != nullptr) {
    record_ids(kind, begin, end, c.last_insert_rowid(), *stored, [&rows](std::size_t i) {
      const auto& row = rows[i].get_array();
      return row.size() >= 2 && row[0].is_int64() && row[1].is_int64()
                 ? RowOwner(std::in_place, row[0].get_int64(), row[1].get_int64())
                 : std::nullopt;
    });
  }
}

}  // namespace

boost::json::array FeedGroup::parse_rows(const FeedKind& kind, std::string_view text,
                                         boost::json::storage_ptr storage) {
  boost::system::error_code ec;
  boost::json::value parsed = common::parse_json(text, ec, std::move(storage));
  if (ec) {
    throw common::Error(common::ErrorKind::internal,
                        std::string(kind.table) + " is not valid JSON: " + ec.message());
  }
  if (!parsed.is_array()) {
    throw common::Error(common::ErrorKind::internal,
                        std::string(kind.table) + " must be a JSON array of rows");
  }
  auto& rows = parsed.get_array();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (!rows[i].is_array()) {
      throw common::Error(common::ErrorKind::internal, std::string(kind.table) + " row " +
                                                           std::to_string(i) + " is not an array");
    }
  }
  return std::move(rows);
}

void FeedGroup::insert(const FeedKind& kind, const boost::json::array& rows, db::Connection& c,
                       StoredIds* stored) {
  insert_in_batches(
      kind, c, rows.size(),
      [&](BatchInserter& inserter, std::size_t begin, std::size_t end) {
        insert_batch(kind, rows, begin, end, inserter, c, stored);
      },
      [&rows](std::size_t begin, std::size_t end) { report_failed_rows(rows, begin, end); });
}

// Decoding the body and reading its rows take a pool thread, storing them the database writer:
// the event loop serves other requests meanwhile. The request is this coroutine's alone, so the
// pool may decode its form; nothing else is shared.
boost::asio::awaitable<http::Response> FeedGroup::post(http::Request& request) {
  const PostedBatches posted =
      co_await pool_.run([&request] { return PostedBatches::read(request.form()); });
  const StoredIds stored = co_await writer_.write_grouped(
      [&posted](db::Connection& c) {
        StoredIds stored;
        posted.store(c, &stored);
        return stored;
      },
      posted.row_count());
  publish(stored);
  co_return http::Response::json(nullptr);
}

void FeedGroup::publish(const StoredIds& stored) const {
  // One event per backtest tells a follower exactly what to read; thousands at once would
  // push every stream past its limit and flush the replay window, so past a screenful a single
  // reset says "read again what you follow".
  constexpr std::size_t max_feeds_events_per_post = 64;
  if (stored.size() > max_feeds_events_per_post) {
    hub_->publish_reset();
    return;
  }
  for (const auto& [ids, last_ids] : stored) {
    boost::json::object by_kind;
    for (const auto& [table, id] : last_ids) {
      by_kind[table] = id;
    }
    hub_->publish(events::FeedsEvent{ids.first, ids.second, std::move(by_kind)});
  }
}

}  // namespace stratdesk::feeds
