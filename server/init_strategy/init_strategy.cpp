#include "init_strategy/init_strategy.hpp"

#include <algorithm>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include "algorithms/algorithms.hpp"
#include "algorithms/store.hpp"
#include "common/json_parse.hpp"
#include "common/json_text.hpp"
#include "common/timestamp.hpp"
#include "db/db.hpp"
#include "embedded_files.hpp"
#include "log/log.hpp"
#include "tasks/task_group.hpp"

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

// What the extraction finds in each of `codes`, on an event loop of its own since the server's
// does not run yet. The extractions run side by side: each costs an interpreter start-up. A
// failed one gives "[]" rather than a database that is never seeded.
std::vector<std::string> parameters_of(const std::vector<std::string_view>& codes,
                                       const algorithms::ExtractionSettings& settings) {
  // A loop of the seeding's own, before the server's exists; the reaper's task belongs to it.
  tasks::TaskGroup reaping;
  boost::asio::io_context io;
  const algorithms::ParameterExtraction extraction(settings, reaping);
  std::vector<std::future<std::string>> pending;
  pending.reserve(codes.size());
  for (std::string_view code : codes) {
    pending.push_back(boost::asio::co_spawn(io, extraction.get_parameter(std::string(code)),
                                            boost::asio::use_future));
  }
  const auto all_ready = [&] {
    return std::all_of(pending.begin(), pending.end(), [](const std::future<std::string>& f) {
      return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    });
  };
  while (!all_ready() && io.run_one() > 0) {
  }
  // Children end moments after answering; this lets the reaper collect them, within bounds.
  io.run_for(std::chrono::seconds(1));
  std::vector<std::string> parameters;
  for (std::future<std::string>& result : pending) {
    try {
      parameters.push_back(result.get());
    } catch (const std::exception& error) {
      log::logger().warning("no parameters for an example strategy: {}", error.what());
      parameters.emplace_back("[]");
    }
  }
  return parameters;
}

}  // namespace

void init_stratey(const db::Database& database, const algorithms::ExtractionSettings& extraction) {
  db::Connection connection = database.open_connection();
  const boost::json::object examples = common::parse_json(embedded("configs.json")).as_object();
  std::vector<std::string_view> codes;
  for (const auto& [file, example] : examples) {
    codes.push_back(embedded(std::string_view(file.data(), file.size())));
  }
  const std::vector<std::string> parameters = parameters_of(codes, extraction);
  db::Transaction transaction(connection);
  std::size_t index = 0;
  for (const auto& [file, example] : examples) {
    const boost::json::object& config = example.at("config").as_object();
    const std::string_view code = codes[index];
    const std::string securities = algorithms::securities_text(config.at("securities"));
    const std::string config_text = common::to_json_text(config);
    const std::string last_modified = common::shanghai_now();
    algorithms::store::insert(connection, {example.at("name").as_string(), securities, code,
                                           config_text, parameters[index], last_modified});
    ++index;
    log::logger().info("example strategy {} added",
                       std::string_view(example.at("name").as_string()));
  }
  transaction.commit();
}

}  // namespace stratdesk::init_strategy
