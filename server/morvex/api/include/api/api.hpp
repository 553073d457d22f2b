#pragma once

#include <cstdint>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "api/queries.hpp"
#include "db/db.hpp"
#include "db/read_pool.hpp"
#include "http/request.hpp"
#include "http/response.hpp"
#include "http/router.hpp"

// Portfolio analytics of a finished backtest: the dashboard's ten read-only resources. Each
// assembles its input from the feed rows, asks the analytics service where a computation is
// needed, and answers the service's object with the backtest's own keys merged in.
namespace stratdesk::morvex_api {

// What every analytics resource works with: the read pool and the shared analytics state. The
// feed rows are read on the pool, each resource's reads in one go where it can, and never held
// across a wait on the analytics service.
class AnalyticsResource {
 public:
  AnalyticsResource(db::ReadPool& reads, Analytics& analytics)
      : reads_(reads), analytics_(analytics) {}

 protected:
  db::ReadPool& reads_;
  Analytics& analytics_;
};

// The backtest's dates and starting cash.
class Overview final : public AnalyticsResource {
 public:
  using AnalyticsResource::AnalyticsResource;
  boost::asio::awaitable<http::Response> get(http::Request& request, std::int64_t backtest_id);
};

// The trades in time order, each with its side as BUY/SELL and its instrument's "symbol".
class Trade final : public AnalyticsResource {
 public:
  using AnalyticsResource::AnalyticsResource;
  boost::asio::awaitable<http::Response> get(http::Request& request, std::int64_t backtest_id);
};

// Profit and loss against the backtest's benchmark, or against `benchmark` when given.
class PnL final : public AnalyticsResource {
 public:
  using AnalyticsResource::AnalyticsResource;
  boost::asio::awaitable<http::Response> get(http::Request& request, std::int64_t backtest_id);
};

// The holdings, cash and value at the last portfolio time on or before `date` (or the last one
// of the backtest); an empty object when there is none.
class Holdings final : public AnalyticsResource {
 public:
  using AnalyticsResource::AnalyticsResource;
  boost::asio::awaitable<http::Response> get(http::Request& request, std::int64_t backtest_id);
};

// Factor exposure on one day, as Holdings picks it; an empty object when there is no such day or
// it lies before the factor data begins.
class Exposure final : public AnalyticsResource {
 public:
  using AnalyticsResource::AnalyticsResource;
  boost::asio::awaitable<http::Response> get(http::Request& request, std::int64_t backtest_id);
};

// Factor exposure on the first, middle and last days of a period, keyed by timestamp.
class ExposureDiff final : public AnalyticsResource {
 public:
  using AnalyticsResource::AnalyticsResource;
  boost::asio::awaitable<http::Response> get(http::Request& request, std::int64_t backtest_id);
};

// Regression of the daily returns on the market and style factors.
class Sensitivity final : public AnalyticsResource {
 public:
  using AnalyticsResource::AnalyticsResource;
  boost::asio::awaitable<http::Response> get(http::Request& request, std::int64_t backtest_id);
};

// Return and risk figures against the benchmark.
class Risk final : public AnalyticsResource {
 public:
  using AnalyticsResource::AnalyticsResource;
  boost::asio::awaitable<http::Response> get(http::Request& request, std::int64_t backtest_id);
};

// Brinson attribution of the active return by sector.
class Brinson final : public AnalyticsResource {
 public:
  using AnalyticsResource::AnalyticsResource;
  boost::asio::awaitable<http::Response> get(http::Request& request, std::int64_t backtest_id);
};

// Whether every traded instrument is a stock, which the other analyses assume.
class CanAnalysis final : public AnalyticsResource {
 public:
  using AnalyticsResource::AnalyticsResource;
  boost::asio::awaitable<http::Response> get(http::Request& request, std::int64_t backtest_id);
};

// Mounts the ten resources under `base_uri` + "/morvex/<int:backtest_id>/...". `reads` and
// `analytics` must outlive `api`.
void register_api(http::Api& api, const std::string& base_uri, db::ReadPool& reads,
                  Analytics& analytics);

}  // namespace stratdesk::morvex_api
