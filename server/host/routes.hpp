#pragma once

#include <memory>
#include <string>

#include "algorithms/algorithms.hpp"
#include "api/api.hpp"
#include "backtest/backtest.hpp"
#include "db/read_pool.hpp"
#include "db/writer.hpp"
#include "events/event_hub.hpp"
#include "http/access.hpp"
#include "http/router.hpp"
#include "http/worker_pool.hpp"
#include "sweeps/sweeps.hpp"

// Which routes the server serves, in one place for the server and for the test that holds them
// against the API document.
namespace stratdesk::host {

// What the resources work with. Everything referred to must outlive the Api it is mounted on.
struct Services {
  db::ReadPool& reads;
  db::Writer& writer;
  http::WorkerPool& feed_reads;
  const algorithms::ParameterExtraction& extraction;
  const backtest::Settings& backtests;
  backtest::EngineControl& engines;
  morvex_api::Analytics& analytics;
  std::shared_ptr<events::EventHub> hub;
  std::shared_ptr<http::StreamTickets> tickets;
  std::shared_ptr<sweeps::Scheduler> sweeps;
  std::string docs_folder;
};

// Mounts every module's resources under `base_uri`, module by module.
void mount_routes(http::Api& api, const std::string& base_uri, const Services& services);

}  // namespace stratdesk::host
