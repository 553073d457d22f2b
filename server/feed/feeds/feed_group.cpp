#include <iostream>
#include <string>

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/serialize.hpp>

#include "common/json_parse.hpp"
#include "db/db.hpp"
#include "feeds/feeds.hpp"
#include "request_db/request_db.hpp"

namespace stratdesk::feeds {
namespace {

constexpr std::size_t batch_rows = 50;

std::string insert_statement(const FeedKind& kind, std::size_t row_count) {
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

void report_failed_batch(const boost::json::array& rows, std::size_t begin, std::size_t end) {
  boost::json::array batch(rows.begin() + static_cast<std::ptrdiff_t>(begin),
                           rows.begin() + static_cast<std::ptrdiff_t>(end));
  std::cerr << (end - begin) << "   " << boost::json::serialize(batch) << std::flush;
}

void check_value_count(const FeedKind& kind, const boost::json::array& row, std::size_t index) {
  // SQLite would leave unbound parameters NULL instead of rejecting a short row.
  if (row.size() != kind.fields.size()) {
    throw db::Error(0, std::string(kind.table) + " row " + std::to_string(index) + " has " +
                           std::to_string(row.size()) + " values, the kind has " +
                           std::to_string(kind.fields.size()) + " columns");
  }
}

void insert_batch(const FeedKind& kind, const boost::json::array& rows, std::size_t begin,
                  std::size_t end, db::Connection& c) {
  for (std::size_t i = begin; i < end; ++i) {
    check_value_count(kind, rows[i].get_array(), i);
  }
  db::Statement statement(c, insert_statement(kind, end - begin));
  int index = 1;
  for (std::size_t i = begin; i < end; ++i) {
    for (const auto& value : rows[i].get_array()) {
      statement.bind(index++, value);
    }
  }
  statement.step();
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

void FeedGroup::insert(const FeedKind& kind, const boost::json::array& rows, db::Connection& c) {
  for (std::size_t begin = 0; begin < rows.size(); begin += batch_rows) {
    const std::size_t end = std::min(rows.size(), begin + batch_rows);
    try {
      insert_batch(kind, rows, begin, end, c);
    } catch (...) {
      report_failed_batch(rows, begin, end);
      throw;
    }
  }
}

boost::asio::awaitable<http::Response> FeedGroup::post(http::Request& request) {
  db::Connection& connection = request_db::get_connection(request, database_);
  const http::Fields& form = request.form();
  for (const FeedKind& kind : feed_kinds) {
    const std::string* text = form.first(kind.table);
    if (text == nullptr) {
      continue;
    }
    boost::json::monotonic_resource arena;
    const boost::json::array rows = parse_rows(kind, *text, &arena);
    try {
      insert(kind, rows, connection);
    } catch (const db::Error& error) {
      throw common::Error(common::ErrorKind::internal,
                          "could not store " + std::string(kind.table) + ": " + error.what());
    }
  }
  connection.commit();
  co_return http::Response::json(nullptr);
}

}  // namespace stratdesk::feeds
