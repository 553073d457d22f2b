// Input: one byte choosing the feed kind, then the text posted for it. Reads and stores the rows
// in a scratch database, as a POST does, and discards them. Also checks that whatever the fast
// row reader takes, the general JSON reader takes too and reads the same.
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <string>
#include <string_view>

#include <boost/json/monotonic_resource.hpp>

#include "common/json_parse.hpp"
#include "common/text.hpp"
#include "db/db.hpp"
#include "feeds/feeds.hpp"
#include "feeds/row_reader.hpp"

namespace {

stratdesk::db::Connection& scratch_database() {
  static stratdesk::db::Connection* connection = [] {
    static char directory[] = "/tmp/stratdesk-fuzz-XXXXXX";
    const std::string path = std::string(mkdtemp(directory)) + "/fuzz.db";
    stratdesk::db::Database(path).check_env();
    // A failing batch is reported on std::cerr; the fuzzer's own reports use stdio and stay.
    std::cerr.rdbuf(nullptr);
    return new stratdesk::db::Connection(path);
  }();
  return *connection;
}

bool same_value(const stratdesk::feeds::Cell& cell, const boost::json::value& value) {
  using Kind = stratdesk::feeds::Cell::Kind;
  switch (cell.kind) {
    case Kind::null:
      return value.is_null() || (value.is_double() && value.get_double() != value.get_double());
    case Kind::integer:
      return (value.is_int64() && value.get_int64() == cell.integer) ||
             (value.is_bool() && (value.get_bool() ? 1 : 0) == cell.integer);
    case Kind::real:
      return value.is_double() && value.get_double() == cell.real;
    case Kind::text:
      return value.is_string() && std::string_view(value.get_string()) == cell.text();
  }
  return false;
}

// The fast reader only ever sees valid UTF-8 (the form decoder checks it first).
void check_fast_reader_agrees(std::string_view text, std::size_t columns) {
  if (!stratdesk::common::is_valid_utf8(text)) {
    return;
  }
  const auto flat = stratdesk::feeds::read_flat_rows(text, columns);
  if (!flat) {
    return;
  }
  boost::system::error_code ec;
  const boost::json::value general = stratdesk::common::parse_json(text, ec);
  if (ec || !general.is_array() || general.get_array().size() != flat->row_count()) {
    __builtin_trap();
  }
  for (std::size_t r = 0; r < flat->row_count(); ++r) {
    const auto& row = general.get_array()[r];
    if (!row.is_array() || row.get_array().size() != columns) {
      __builtin_trap();
    }
    for (std::size_t c = 0; c < columns; ++c) {
      if (!same_value(flat->cells[r * columns + c], row.get_array()[c])) {
        __builtin_trap();
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) {
    return 0;
  }
  auto& connection = scratch_database();
  const auto& kind = stratdesk::feeds::feed_kinds[data[0] % stratdesk::feeds::feed_kinds.size()];
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  check_fast_reader_agrees(text, kind.posted.size());
  try {
    // A POST's fields reach the feeds as valid UTF-8 only (the form decoder refuses the rest).
    if (stratdesk::common::is_valid_utf8(text)) {
      stratdesk::http::Fields form;
      form.add(std::string(kind.table), std::string(text));
      stratdesk::feeds::PostedBatches::read(form).store(connection);
    } else {
      boost::json::monotonic_resource arena;
      const auto rows = stratdesk::feeds::FeedGroup::parse_rows(kind, text, &arena);
      stratdesk::feeds::FeedGroup::insert(kind, rows, connection);
    }
  } catch (const stratdesk::common::Error&) {
  } catch (const stratdesk::db::Error&) {
  }
  connection.rollback();
  return 0;
}
