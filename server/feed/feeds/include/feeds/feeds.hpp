#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/json/array.hpp>
#include <boost/json/monotonic_resource.hpp>

#include "common/error.hpp"
#include "db/connection.hpp"
#include "db/db.hpp"
#include "db/read_pool.hpp"
#include "db/writer.hpp"
#include "events/event_hub.hpp"
#include "feeds/row_reader.hpp"
#include "http/request.hpp"
#include "http/response.hpp"
#include "http/router.hpp"
#include "http/worker_pool.hpp"
#include "result_kinds/result_kinds.hpp"

// Feeds: the result rows running engines post, and the paged queries over them.
namespace stratdesk::feeds {

using result_kinds::Columns;
// A feed kind, as the feed group and the pages use it.
using FeedKind = result_kinds::ResultKind;
inline constexpr const auto& feed_kinds = result_kinds::result_kinds;

// The greatest id stored, per (algorithm_id, backtest_id) of the rows and per kind table.
using StoredIds =
    std::map<std::pair<std::int64_t, std::int64_t>, std::map<std::string_view, std::int64_t>>;

// POST <base>/feedgroup: stores the rows of every kind the form carries, in one transaction.
class FeedGroup final {
 public:
  // Reads each POST on `pool` and stores it on `writer`. After each committed POST, one `feeds`
  // event per backtest it stored rows for goes to `hub`.
  FeedGroup(http::WorkerPool& pool, db::Writer& writer, std::shared_ptr<events::EventHub> hub)
      : pool_(pool), writer_(writer), hub_(std::move(hub)) {}

  boost::asio::awaitable<http::Response> post(http::Request& request);

  // The rows of one kind posted as `text`: a JSON array whose elements are arrays. Throws
  // common::Error (internal, naming the kind) when the text is anything else.
  static boost::json::array parse_rows(const FeedKind& kind, std::string_view text,
                                       boost::json::storage_ptr storage = {});

  // Stores the rows of one kind in multi-row INSERTs of 50 rows. A failing batch is reported on
  // standard error (row count, three spaces, the rows; no line break) and the error rethrown.
  // With `stored`, records the ids given to rows whose first two values are integers.
  static void insert(const FeedKind& kind, const boost::json::array& rows, db::Connection& c,
                     StoredIds* stored = nullptr);

 private:
  void publish(const StoredIds& stored) const;

  http::WorkerPool& pool_;
  db::Writer& writer_;
  std::shared_ptr<events::EventHub> hub_;
};

// One POST's batches, read beside the event loop and stored on the database writer: each kind
// the form carries, in kind order, read the fast way where it can be. Reading stops at the first
// kind that cannot be read; its error is raised by `store` once the kinds before it are stored,
// so a POST fails with the same answer and report as when each kind was read just before it was
// stored.
class PostedBatches {
 public:
  // Reads the kinds `form` carries. Its values must outlive this object and be valid UTF-8, as
  // the form decoder leaves every field.
  static PostedBatches read(const http::Fields& form);

  // Stores every kind read, in order, on `c`, then raises the reading error if there was one.
  // Does not commit. A failing kind is reported as `FeedGroup::insert` reports it. With
  // `stored`, records the ids given to rows whose first two values are integers.
  void store(db::Connection& c, StoredIds* stored = nullptr) const;

  // The rows read, of every kind; what the writer weighs a POST by when it groups them.
  [[nodiscard]] std::size_t row_count() const;

 private:
  struct Batch {
    const FeedKind* kind = nullptr;
    std::string_view text;
    std::optional<FlatRows> flat;
    std::unique_ptr<boost::json::monotonic_resource> arena;
    boost::json::array rows;
  };
  std::vector<Batch> batches_;
  std::exception_ptr unreadable_;
};

// Writes the rows of a statement as a JSON array of objects (column name to value), with null
// shown as "N/A" in the `substituted` columns. The member names are rendered once, from the first
// row it sees, and kept for the statements after: one writer serves one statement text, from
// any number of threads at once.
class PageWriter {
 public:
  explicit PageWriter(Columns substituted) : substituted_(substituted) {}

  // Appends the statement's next rows to `out`, "[" before the first and "]" after the last,
  // until `out` holds `enough` bytes (at least one row each call) or the statement ends; true
  // once it has ended. `any_rows` tells whether a row was written by an earlier call, and then
  // "[" too. A substituted column the statement does not return is an error
  // (std::out_of_range).
  bool write_some(db::Statement& statement, std::string& out, std::size_t enough,
                  bool& any_rows) const;

 private:
  struct Layout {
    std::vector<std::string> keys;  // "\"name\":" per column
    std::vector<bool> substitutes;  // per column
  };
  const Layout& layout_of(const db::Statement& statement) const;

  Columns substituted_;
  mutable std::once_flag learned_;
  mutable Layout layout_;
};

// The paging arguments every feed query accepts, from the query string (or a form or JSON body).
struct FeedArgs {
  bool is_benchmark = false;
  std::int64_t start_index = 0;
  std::int64_t limit = 10;
  // Rows with a greater id, in id order, instead of a page by offset.
  std::optional<std::int64_t> after_id;
};
// Throws common::Error (bad_request) naming the argument whose value does not convert or is
// negative, and when both after_id and start_index are given.
FeedArgs parse_feed_args(http::Request& request);

// GET one page of a kind's rows for one backtest, in datetime order; with after_id, the rows
// stored after that id, in id order. Read on the read pool; a page larger than a piece goes out
// in pieces, read from one statement (one snapshot), so that memory stays flat whatever `limit`
// asks for.
class FeedQuery {
 public:
  FeedQuery(db::ReadPool& reads, std::string_view table, Columns substituted, bool by_benchmark);
  boost::asio::awaitable<http::Response> get(http::Request& request, std::int64_t algorithm_id,
                                             std::int64_t backtest_id);

  // The statement text of an after_id read of `table` (its plan is checked by the tests).
  static std::string after_id_sql(std::string_view table, bool by_benchmark);

  // What a page's answer holds at most before it goes out in pieces, and the size of a piece.
  static constexpr std::size_t piece_bytes = std::size_t{512} * 1024;

 private:
  db::ReadPool& reads_;
  std::string sql_;
  PageWriter writer_;
  std::string after_id_sql_;
  PageWriter after_id_writer_;
  bool by_benchmark_;
};

// Mounts the seven queries and the feed group under `base_uri`; pages are read on `reads`,
// POSTs are read on `pool` and stored on `writer`, and stored rows are announced on `hub`. The
// references must outlive `api`.
void register_api(http::Api& api, const std::string& base_uri, db::ReadPool& reads,
                  http::WorkerPool& pool, db::Writer& writer,
                  std::shared_ptr<events::EventHub> hub);

}  // namespace stratdesk::feeds
