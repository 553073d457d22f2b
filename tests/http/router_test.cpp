#include "http/router.hpp"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/beast/http/string_body.hpp>

#include "http/errors.hpp"

namespace stratdesk::http {
namespace {

struct Collection {
  asio::awaitable<Response> get(Request&) { co_return Response::json("list"); }
  asio::awaitable<Response> post(Request& request) {
    co_return Response::json(boost::json::string(request.required_form_value("name")));
  }
};

struct Item {
  asio::awaitable<Response> get(Request&, std::int64_t a, std::int64_t b) {
    co_return Response::json(boost::json::array{a, b});
  }
  asio::awaitable<Response> delete_(Request&, std::int64_t, std::int64_t) {
    throw std::runtime_error("disk on fire");
  }
  asio::awaitable<Response> patch(Request&, std::int64_t, std::int64_t) {
    co_return Response::refusal(403, "无效的PATCH指令");
  }
};

class RouterTest : public ::testing::Test {
 protected:
  RouterTest() {
    api_.add<Collection>("/api/things");
    api_.add<Item>("/api/things/<int:a>/parts/<int:b>");
  }

  Response call(boost::beast::http::verb method, const std::string& target,
                const std::string& form = {}) {
    RequestMessage message{method, target, 11};
    if (!form.empty()) {
      message.set(boost::beast::http::field::content_type, "application/x-www-form-urlencoded");
      message.body() = form;
    }
    Request request(std::move(message));
    asio::io_context io;
    auto future = asio::co_spawn(io, api_.dispatch(request), asio::use_future);
    io.run();
    return future.get();
  }

  Api api_;
};

TEST_F(RouterTest, IntegerSegmentsMatchDecimalDigitsOnly) {
  Api::Match found = api_.match("/api/things/7/parts/0012", verb::get);
  ASSERT_EQ(found.kind, Api::Match::Kind::found);
  EXPECT_EQ(found.parameters, (std::vector<std::int64_t>{7, 12}));
  for (const char* path :
       {"/api/things/-7/parts/1", "/api/things/+7/parts/1", "/api/things/7a/parts/1",
        "/api/things//parts/1", "/api/things/99999999999999999999/parts/1",
        "/api/things/7/parts/1/", "/api/things/7/parts", "/api/thing"}) {
    EXPECT_EQ(api_.match(path, verb::get).kind, Api::Match::Kind::not_found) << path;
  }
}

TEST_F(RouterTest, AnswersNotFoundMethodNotAllowedAndOptions) {
  EXPECT_EQ(call(verb::get, "/api/nothing").status, 404);
  const Response not_allowed = call(verb::put, "/api/things");
  EXPECT_EQ(not_allowed.status, 405);
  ASSERT_EQ(not_allowed.headers.size(), 1u);
  EXPECT_EQ(not_allowed.headers[0].second, "GET, HEAD, OPTIONS, POST");
  const Response options = call(verb::options, "/api/things/1/parts/2");
  EXPECT_EQ(options.status, 200);
  EXPECT_EQ(options.headers[0].second, "DELETE, GET, HEAD, OPTIONS, PATCH");
  EXPECT_EQ(call(verb::head, "/api/things").status, 200);
}

TEST_F(RouterTest, HandlersReceivePathParametersInOrder) {
  const Response response = call(verb::get, "/api/things/3/parts/9?x=1");
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, (boost::json::array{3, 9}));
}

TEST_F(RouterTest, ErrorsBecomeAnswers) {
  const Response missing = call(verb::post, "/api/things", "other=1");
  EXPECT_EQ(missing.status, 400);
  EXPECT_EQ(missing.body.at("message"), "missing required form field 'name'");
  EXPECT_EQ(call(verb::post, "/api/things", "name=x%2").status, 400);
  const Response failed = call(verb::delete_, "/api/things/1/parts/2");
  EXPECT_EQ(failed.status, 500);
  EXPECT_EQ(failed.body.at("message"), "internal server error");
  const Response refused = call(verb::patch, "/api/things/1/parts/2");
  EXPECT_EQ(refused.status, 403);
  EXPECT_EQ(refused.body, "无效的PATCH指令");
}

// A resource built with what it works with: here the kind of error it reports.
class Refusing {
 public:
  explicit Refusing(const common::ErrorKind& kind) : kind_(kind) {}
  asio::awaitable<Response> get(Request&) { throw common::Error(kind_, "no, because"); }
  asio::awaitable<Response> post(Request&) { co_return Response::refusal({kind_, "不行"}); }

 private:
  const common::ErrorKind& kind_;
};

TEST_F(RouterTest, DomainErrorsAndRefusalsGetTheirKindsStatus) {
  common::ErrorKind kind = common::ErrorKind::internal;
  api_.add<Refusing>("/api/refusing", kind);
  for (const auto& [each, status] :
       {std::pair{common::ErrorKind::bad_request, 400},
        std::pair{common::ErrorKind::forbidden, 403}, std::pair{common::ErrorKind::not_found, 404},
        std::pair{common::ErrorKind::conflict, 409}, std::pair{common::ErrorKind::internal, 500}}) {
    kind = each;
    EXPECT_EQ(status_of(kind), status);
    const Response thrown = call(verb::get, "/api/refusing");
    EXPECT_EQ(thrown.status, status);
    EXPECT_EQ(thrown.body, (boost::json::object{{"message", "no, because"}}));
    const Response refused = call(verb::post, "/api/refusing");
    EXPECT_EQ(refused.status, status);
    EXPECT_EQ(refused.body, "不行");
  }
}

TEST(RoutePattern, DoubleSlashFromABaseEndingInSlashIsLiteral) {
  RoutePattern pattern("/api//feedgroup");
  std::vector<std::int64_t> parameters;
  EXPECT_TRUE(pattern.match("/api//feedgroup", parameters));
  EXPECT_FALSE(pattern.match("/api/feedgroup", parameters));
}

TEST(RoutePattern, RejectsUnsupportedConverters) {
  EXPECT_THROW(RoutePattern("/api/<name>"), std::invalid_argument);
  EXPECT_THROW(RoutePattern("/api/<float:x>"), std::invalid_argument);
}

TEST(Api, HandlerArityMustMatchThePattern) {
  Api api;
  EXPECT_THROW(api.add<Item>("/api/things/<int:a>"), std::logic_error);
}

}  // namespace
}  // namespace stratdesk::http
