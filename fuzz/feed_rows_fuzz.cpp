// Input: one byte choosing the feed kind, then the text posted for it. Decodes and stores the
// rows in a scratch database, as a POST would, and discards them.
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <string>
#include <string_view>

#include <boost/json/monotonic_resource.hpp>

#include "db/db.hpp"
#include "feeds/feeds.hpp"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) {
    return 0;
  }
  auto& connection = scratch_database();
  const auto& kind = stratdesk::feeds::feed_kinds[data[0] % stratdesk::feeds::feed_kinds.size()];
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  try {
    boost::json::monotonic_resource arena;
    const auto rows = stratdesk::feeds::FeedGroup::parse_rows(kind, text, &arena);
    stratdesk::feeds::FeedGroup::insert(kind, rows, connection);
  } catch (const stratdesk::common::Error&) {
  } catch (const stratdesk::db::Error&) {
  }
  connection.rollback();
  return 0;
}
