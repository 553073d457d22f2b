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

// What every analytics route works with: the read pool and the shared analytics state. The feed
// rows are read on the pool, each route's reads in one go where it can, and never held across a
// wait on the analytics service.
struct AnalyticsContext {
  db::ReadPool& reads;
  Analytics& analytics;
};

// What one analytics route answers for a backtest.
using AnalyticsHandler = boost::asio::awaitable<http::Response> (*)(const AnalyticsContext& context,
                                                                    http::Request& request,
                                                                    std::int64_t backtest_id);

// GET <base>/morvex/<int:backtest_id>/<name>: one of the handlers below, mounted with the context.
class AnalyticsRoute final {
 public:
  AnalyticsRoute(db::ReadPool& reads, Analytics& analytics, AnalyticsHandler handler)
      : context_{reads, analytics}, handler_(handler) {}
  boost::asio::awaitable<http::Response> get(http::Request& request, std::int64_t backtest_id) {
    return handler_(context_, request, backtest_id);
  }

 private:
  AnalyticsContext context_;
  AnalyticsHandler handler_;
};

// The backtest's dates and starting cash.
boost::asio::awaitable<http::Response> overview(const AnalyticsContext& context,
                                                http::Request& request, std::int64_t backtest_id);

// The trades in time order, each with its side as BUY/SELL and its instrument's "symbol".
boost::asio::awaitable<http::Response> trades(const AnalyticsContext& context,
                                              http::Request& request, std::int64_t backtest_id);

// Profit and loss against the backtest's benchmark, or against `benchmark` when given.
boost::asio::awaitable<http::Response> pnl(const AnalyticsContext& context, http::Request& request,
                                           std::int64_t backtest_id);

// The holdings, cash and value at the last portfolio time on or before `date` (or the last one
// of the backtest); an empty object when there is none.
boost::asio::awaitable<http::Response> holdings(const AnalyticsContext& context,
                                                http::Request& request, std::int64_t backtest_id);

// Factor exposure on one day, as holdings picks it; an empty object when there is no such day
// or it lies before the factor data begins.
boost::asio::awaitable<http::Response> exposure(const AnalyticsContext& context,
                                                http::Request& request, std::int64_t backtest_id);

// Factor exposure on the first, middle and last days of a period, keyed by timestamp.
boost::asio::awaitable<http::Response> exposure_diff(const AnalyticsContext& context,
                                                     http::Request& request,
                                                     std::int64_t backtest_id);

// Regression of the daily returns on the market and style factors.
boost::asio::awaitable<http::Response> sensitivity(const AnalyticsContext& context,
                                                   http::Request& request,
                                                   std::int64_t backtest_id);

// Return and risk figures against the benchmark.
boost::asio::awaitable<http::Response> risk(const AnalyticsContext& context, http::Request& request,
                                            std::int64_t backtest_id);

// Brinson attribution of the active return by sector.
boost::asio::awaitable<http::Response> brinson(const AnalyticsContext& context,
                                               http::Request& request, std::int64_t backtest_id);

// Whether every traded instrument is a stock, which the other analyses assume.
boost::asio::awaitable<http::Response> can_analysis(const AnalyticsContext& context,
                                                    http::Request& request,
                                                    std::int64_t backtest_id);

// Mounts the ten resources under `base_uri` + "/morvex/<int:backtest_id>/...". `reads` and
// `analytics` must outlive `api`.
void register_api(http::Api& api, const std::string& base_uri, db::ReadPool& reads,
                  Analytics& analytics);

}  // namespace stratdesk::morvex_api
