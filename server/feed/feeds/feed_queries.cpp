#include <algorithm>
#include <array>
#include <charconv>
#include <optional>

#include "common/json_text.hpp"
#include "common/text.hpp"
#include "db/db.hpp"
#include "feeds/feeds.hpp"
#include "http/arguments.hpp"

namespace stratdesk::feeds {
namespace {

[[noreturn]] void reject(std::string_view name, std::string_view value, std::string_view why) {
  throw common::Error(common::ErrorKind::bad_request, "invalid value '" + std::string(value) +
                                                          "' for argument '" + std::string(name) +
                                                          "': " + std::string(why));
}

bool parse_boolean(std::string_view name, const std::string& text) {
  const std::string lowered = common::ascii_lowercase(text);
  if (lowered == "true" || lowered == "1") {
    return true;
  }
  if (lowered == "false" || lowered == "0") {
    return false;
  }
  reject(name, text, "expected true, false, 1 or 0");
}

std::int64_t parse_count(std::string_view name, const std::string& text) {
  std::string_view digits = text;
  while (!digits.empty() && std::isspace(static_cast<unsigned char>(digits.front()))) {
    digits.remove_prefix(1);
  }
  while (!digits.empty() && std::isspace(static_cast<unsigned char>(digits.back()))) {
    digits.remove_suffix(1);
  }
  if (digits.starts_with('+')) {
    digits.remove_prefix(1);
  }
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || ec != std::errc{} || end != digits.data() + digits.size()) {
    reject(name, text, "expected an integer");
  }
  // SQLite reads a negative LIMIT as "no limit", which would fetch a whole backtest.
  if (value < 0) {
    reject(name, text, "must not be negative");
  }
  return value;
}

}  // namespace

FeedArgs parse_feed_args(http::Request& request) {
  FeedArgs args;
  if (auto text = http::argument_text(request, "is_benchmark")) {
    args.is_benchmark = parse_boolean("is_benchmark", *text);
  }
  if (auto text = http::argument_text(request, "start_index")) {
    args.start_index = parse_count("start_index", *text);
  }
  if (auto text = http::argument_text(request, "limit")) {
    args.limit = parse_count("limit", *text);
  }
  if (auto text = http::argument_text(request, "after_id")) {
    args.after_id = parse_count("after_id", *text);
    if (http::argument_text(request, "start_index")) {
      throw common::Error(common::ErrorKind::bad_request,
                          "arguments 'after_id' and 'start_index' cannot be combined");
    }
  }
  return args;
}

namespace {

void append_integer(std::string& out, std::int64_t value) {
  std::array<char, 24> text{};
  const auto written = std::to_chars(text.data(), text.data() + text.size(), value);
  out.append(text.data(), written.ptr);
}

void append_column(std::string& out, const db::Statement::Column& value, bool substituted) {
  using Kind = db::Statement::Column::Kind;
  switch (value.kind) {
    case Kind::null:
      out += substituted ? "\"N/A\"" : "null";
      break;
    case Kind::integer:
      append_integer(out, value.integer);
      break;
    case Kind::real:
      common::append_json_double(out, value.real);
      break;
    case Kind::text:
      common::append_json_string(out, value.text);
      break;
  }
}

}  // namespace

const PageWriter::Layout& PageWriter::layout_of(const db::Statement& statement) const {
  std::call_once(learned_, [&] {
    const int columns = statement.column_count();
    Layout layout;
    layout.substitutes.assign(static_cast<std::size_t>(columns), false);
    for (int column = 0; column < columns; ++column) {
      std::string key;
      common::append_json_string(key, statement.column_name(column));
      key += ':';
      layout.keys.push_back(std::move(key));
    }
    for (std::string_view field : substituted_) {
      bool found = false;
      for (int column = 0; column < columns; ++column) {
        if (statement.column_name(column) == field) {
          layout.substitutes[static_cast<std::size_t>(column)] = true;
          found = true;
        }
      }
      if (!found) {
        throw std::out_of_range("column " + std::string(field) + " is not in the page");
      }
    }
    layout_ = std::move(layout);
  });
  return layout_;
}

bool PageWriter::write_some(db::Statement& statement, std::string& out, std::size_t enough,
                            bool& any_rows) const {
  if (!any_rows) {
    out += '[';
  }
  // At least one step per call: a piece that ends without a row would leave the next one to
  // guess whether "[" was written.
  do {
    if (!statement.step()) {
      out += ']';
      return true;
    }
    const Layout& layout = layout_of(statement);
    out += any_rows ? ",{" : "{";
    any_rows = true;
    for (std::size_t column = 0; column < layout.keys.size(); ++column) {
      if (column > 0) {
        out += ',';
      }
      out += layout.keys[column];
      append_column(out, statement.column(static_cast<int>(column)), layout.substitutes[column]);
    }
    out += '}';
  } while (out.size() < enough);
  return false;
}

namespace {

std::string select_backtest_rows(std::string_view table, bool by_benchmark,
                                 std::string_view access = {}) {
  return "SELECT * FROM " + std::string(table) + std::string(access) +
         " WHERE algorithm_id = ? AND backtest_id = ?" +
         (by_benchmark ? " AND is_benchmark = ?" : "");
}

// One page being read: its statement, on a connection leased for as long as the page is read,
// so that every piece comes from the same snapshot. Used by one reader at a time.
class PageCursor {
 public:
  PageCursor(db::ReadPool& reads, const std::string& sql, const PageWriter& writer)
      : lease_(reads.lease()), statement_(lease_.connection(), sql), writer_(writer) {}

  db::Statement& statement() { return statement_; }
  [[nodiscard]] bool done() const { return done_; }

  std::string next_piece() {
    std::string piece;
    done_ = writer_.write_some(statement_, piece, FeedQuery::piece_bytes, any_rows_);
    return piece;
  }

 private:
  db::ReadPool::Lease lease_;
  db::Statement statement_;
  const PageWriter& writer_;
  bool any_rows_ = false;
  bool done_ = false;
};

boost::asio::awaitable<std::optional<std::string>> next_piece(db::ReadPool& reads,
                                                              std::shared_ptr<PageCursor> cursor) {
  if (cursor->done()) {
    co_return std::nullopt;
  }
  auto read = [&cursor] { return cursor->next_piece(); };
  co_return co_await reads.run(read);
}

}  // namespace

// The after_id statement reads the (backtest_id, id) index from the given id, so a poll costs
// the rows it returns: neither how far into the backtest the client has read (unlike an
// OFFSET) nor the later rows of other backtests (unlike a walk of the primary key). Left to
// itself the planner may prefer the (algorithm_id, backtest_id, ...) index and then sort every
// row of the backtest by id, which INDEXED BY rules out.
std::string FeedQuery::after_id_sql(std::string_view table, bool by_benchmark) {
  return select_backtest_rows(table, by_benchmark,
                              " INDEXED BY " + std::string(table) + "_after_id_index") +
         " AND id > ? ORDER BY id ASC LIMIT ?";
}

FeedQuery::FeedQuery(db::ReadPool& reads, std::string_view table, Columns substituted,
                     bool by_benchmark)
    : reads_(reads),
      sql_(select_backtest_rows(table, by_benchmark) + " ORDER BY datetime ASC LIMIT ? OFFSET ?"),
      writer_(substituted),
      after_id_sql_(after_id_sql(table, by_benchmark)),
      after_id_writer_(substituted),
      by_benchmark_(by_benchmark) {}

boost::asio::awaitable<http::Response> FeedQuery::get(http::Request& request,
                                                      std::int64_t algorithm_id,
                                                      std::int64_t backtest_id) {
  const FeedArgs args = parse_feed_args(request);
  std::shared_ptr<PageCursor> cursor;
  // Written straight from the statement: a page is read far more often than anything else, and
  // building row maps first would cost more than the query.
  auto first_piece = [&] {
    cursor = std::make_shared<PageCursor>(reads_, args.after_id ? after_id_sql_ : sql_,
                                          args.after_id ? after_id_writer_ : writer_);
    db::Statement& statement = cursor->statement();
    int index = 1;
    statement.bind_integer(index++, algorithm_id);
    statement.bind_integer(index++, backtest_id);
    if (by_benchmark_) {
      statement.bind_integer(index++, args.is_benchmark ? 1 : 0);
    }
    if (args.after_id) {
      statement.bind_integer(index++, *args.after_id);
      statement.bind_integer(index++, args.limit);
    } else {
      statement.bind_integer(index++, args.limit);
      statement.bind_integer(index++, args.start_index);
    }
    return cursor->next_piece();
  };
  http::Response response = http::Response::json_text(co_await reads_.run(first_piece));
  if (!cursor->done()) {
    response.pieces = [&reads = reads_, cursor] { return next_piece(reads, cursor); };
  }
  co_return response;
}

void register_api(http::Api& api, const std::string& base_uri, db::ReadPool& reads,
                  http::WorkerPool& pool, db::Writer& writer,
                  std::shared_ptr<events::EventHub> hub) {
  const std::string feeds =
      base_uri + "/algorithms/<int:algorithm_id>/backtests/<int:backtest_id>/feeds/";
  for (const FeedKind& kind : feed_kinds) {
    api.add<FeedQuery>(feeds + std::string(kind.route), reads, kind.table, kind.not_available,
                       kind.by_benchmark);
  }
  api.add<FeedGroup>(base_uri + "/feedgroup", pool, writer, std::move(hub));
}

}  // namespace stratdesk::feeds
