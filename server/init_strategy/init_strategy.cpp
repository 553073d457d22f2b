#include "init_strategy/init_strategy.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include <boost/json/serialize.hpp>

#include "common/json_parse.hpp"
#include "common/timestamp.hpp"
#include "db/db.hpp"
#include "embedded_files.hpp"
#include "log/log.hpp"

namespace stratdesk::init_strategy {
namespace {

std::string_view embedded(std::string_view name) {
  const auto found = std::find_if(embedded_files.begin(), embedded_files.end(),
                                  [&](const EmbeddedFile& file) { return file.name == name; });
  if (found == embedded_files.end()) {
    throw std::logic_error("example file " + std::string(name) + " is not embedded");
  }
  return found->content;
}

std::string securities_of(const boost::json::object& config) {
  const boost::json::value& securities = config.at("securities");
  return securities.is_string() ? std::string(securities.get_string())
                                : boost::json::serialize(securities);
}

}  // namespace

void init_stratey() {
  const auto url = db::get_sqlite_url();
  if (!url) {
    throw std::logic_error("the database path is not set");
  }
  db::Connection connection = db::open_connection(*url);
  const boost::json::object examples = common::parse_json(embedded("configs.json")).as_object();
  for (const auto& [file, example] : examples) {
    const boost::json::object& config = example.at("config").as_object();
    connection.execute(
        "INSERT INTO algorithms (name, securities, code, config, parameters, last_modified) "
        "VALUES (?, ?, ?, ?, ?, ?)",
        {example.at("name"), db::Value(securities_of(config)),
         db::Value(embedded(std::string_view(file.data(), file.size()))),
         db::Value(boost::json::serialize(config)), db::Value("[]"),
         db::Value(common::shanghai_now())});
    log::logger().info("example strategy {} added", std::string_view(example.at("name").as_string()));
  }
  connection.commit();
}

}  // namespace stratdesk::init_strategy
