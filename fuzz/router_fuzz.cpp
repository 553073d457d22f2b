// Routes a fuzzed request target through a table shaped like the server's.
#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/beast/http/string_body.hpp>

#include "http/router.hpp"

namespace {

using namespace stratdesk::http;

struct One {
  asio::awaitable<Response> get(Request&, std::int64_t) { co_return Response::json(nullptr); }
};
struct Two {
  asio::awaitable<Response> get(Request&, std::int64_t, std::int64_t) {
    co_return Response::json(nullptr);
  }
  asio::awaitable<Response> delete_(Request&, std::int64_t, std::int64_t) {
    co_return Response::json(nullptr);
  }
};
struct None {
  asio::awaitable<Response> post(Request&) { co_return Response::json(nullptr); }
};

const Api& routes() {
  static const Api api = [] {
    Api table;
    table.add<None>("/api/algorithms");
    table.add<One>("/api/algorithms/<int:algorithm_id>");
    table.add<Two>("/api/algorithms/<int:algorithm_id>/backtests/<int:backtest_id>");
    table.add<Two>("/api/algorithms/<int:a>/backtests/<int:b>/feeds/portfolio");
    table.add<None>("/api//feedgroup");
    table.add<One>("/api/morvex/<int:backtest_id>/overview");
    return table;
  }();
  return api;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string target(reinterpret_cast<const char*>(data), size);
  Request request(RequestMessage{boost::beast::http::verb::get, target, 11});
  for (verb method : {verb::get, verb::delete_, verb::options, verb::head, verb::put}) {
    const Api::Match match = routes().match(request.path(), method);
    if (match.kind == Api::Match::Kind::found && match.parameters.size() > 2) {
      __builtin_trap();
    }
  }
  try {
    request.query();
  } catch (const BadRequest&) {
  }
  return 0;
}
