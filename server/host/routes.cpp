#include "routes.hpp"

#include "apidoc/apidoc.hpp"
#include "event_stream/event_stream.hpp"
#include "feeds/feeds.hpp"

namespace stratdesk::host {

void mount_routes(http::Api& api, const std::string& base_uri, const Services& services) {
  algorithms::register_api(api, base_uri, services.reads, services.writer, services.extraction,
                           {services.backtests.strategy_dir, services.hub});
  backtest::register_api(api, base_uri, services.reads, services.writer, services.backtests,
                         services.engines, services.hub);
  sweeps::register_api(
      api, base_uri,
      {services.reads, services.writer, services.backtests, services.engines, services.hub},
      services.sweeps);
  feeds::register_api(api, base_uri, services.reads, services.feed_reads, services.writer,
                      services.hub);
  morvex_api::register_api(api, base_uri, services.reads, services.analytics);
  event_stream::register_api(api, base_uri, services.hub, services.tickets);
  apidoc::register_api(api, base_uri, services.docs_folder);
}

}  // namespace stratdesk::host
