// A few hundred malformed requests: each gets a 4xx (or the 500 the feed group gives rows it
// cannot store) with a JSON body, nothing of them is stored, and the server keeps serving.
#include <gtest/gtest.h>

#include <random>

#include <boost/json/parse.hpp>

#include "db/connection.hpp"
#include "test_support.hpp"

namespace stratdesk::test {
namespace {

using namespace std::string_literals;

const std::string valid_rows = R"([[3, 7, "2016-01-04 15:00:00", "ma5", 10.2]])";

std::string multipart(const std::string& boundary, const std::string& value) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"plot_feeds\"\r\n\r\n" +
         value + "\r\n--" + boundary + "--\r\n";
}

class MalformedInput : public ::testing::Test {
 protected:
  MalformedInput() : server_(dir_.path()), client_("127.0.0.1", server_.port()) {}

  // Sends one bad request and checks the answer; then a good one, which must be stored.
  void expect_refused(const std::string& what, const std::string& body,
                      const std::string& content_type, std::initializer_list<int> statuses) {
    const HttpResponse answer = client_.request("POST", "/api/feedgroup", body, content_type);
    EXPECT_TRUE(std::find(statuses.begin(), statuses.end(), answer.status) != statuses.end())
        << what << ": status " << answer.status;
    EXPECT_NO_THROW(boost::json::parse(answer.body)) << what << ": " << answer.body;
    ++bad_requests_;
    if (bad_requests_ % 25 == 0) {
      expect_served();
    }
  }

  void expect_served() {
    const auto answer = client_.post_form("/api/feedgroup", {{"plot_feeds", valid_rows}});
    ASSERT_EQ(answer.status, 200);
    ++good_posts_;
  }

  std::int64_t stored_rows() {
    db::Connection c(server_.db_path());
    return c.execute("SELECT count(*) AS n FROM plot_feeds").at(0).at("n").as_int64();
  }

  TempDir dir_;
  ServerProcess server_;
  HttpClient client_;
  int bad_requests_ = 0;
  int good_posts_ = 0;
};

TEST_F(MalformedInput, BrokenBodiesAreRefusedAndNothingIsStored) {
  const std::string boundary = "----WebKitFormBoundaryQ1w2E3r4";
  const std::string good = multipart(boundary, valid_rows);
  const std::string multipart_type = "multipart/form-data; boundary=" + boundary;
  // Truncated multipart bodies: every cut loses the closing delimiter.
  for (std::size_t cut = 0; cut + 8 < good.size(); ++cut) {
    expect_refused("multipart cut at " + std::to_string(cut), good.substr(0, cut), multipart_type,
                   {400});
  }
  for (const std::string& type :
       {std::string("multipart/form-data"), std::string("multipart/form-data; boundary="),
        std::string("multipart/form-data; boundary=other"),
        "multipart/form-data; boundary=" + std::string(80, 'b'),
        std::string("multipart/form-data; boundary=\"unterminated")}) {
    expect_refused("content type " + type, good, type, {400});
  }
  // Bad escapes and invalid UTF-8 in URL-encoded forms.
  const std::string encoded = "plot_feeds=" + url_encode(valid_rows);
  std::mt19937 random(99);
  for (int i = 0; i < 60; ++i) {
    std::string body = encoded;
    body.insert(random() % body.size(), i % 2 == 0 ? "%G1" : "%z");
    expect_refused("bad escape", body, "application/x-www-form-urlencoded", {400});
  }
  for (const char* bytes : {"%FF", "%C3%28", "%ED%A0%80", "%C0%AF", "%F8%88%80%80%80", "%E2%82"}) {
    expect_refused(std::string("invalid UTF-8 ") + bytes,
                   "plot_feeds=" + url_encode("[[3, 7, \"") + bytes + url_encode("\", \"x\", 1]]"),
                   "application/x-www-form-urlencoded", {400});
    expect_refused(std::string("invalid UTF-8 in a name ") + bytes,
                   std::string("plot") + bytes +
                       "=1&plot_feeds=" + url_encode("[[3,7,\"x\",\"y\",1]]") + "%FF",
                   "application/x-www-form-urlencoded", {400});
  }
  // JSON that is not an array of storable rows: the feed group's own 500.
  for (const std::string& json :
       {std::string(""), std::string("["), std::string("{}"), std::string("[1]"),
        std::string("[[3, 7]]"), std::string("[[3,7,\"x\",\"y\",1],2]"), std::string("[[]]"),
        std::string("null"), std::string("[[3, 7, \"x\", \"y\", nan]]"),
        std::string("[[3, 7, \"x\", {\"a\": 1}, 1]]"), std::string("[[3, 7, \"x\", [1], 1]]"),
        std::string("[[3, 7, \"x\", null, 1]]"),
        std::string("[[3, 7, \"x\\u0000y\"\0, \"y\", 1]]", 27),
        std::string("[[3, 7, \"x\", \"y\", 1]] trailing"), std::string(200, '['),
        std::string("[[18446744073709551616000, 7, \"x\", \"y\", 1], [3, 7, \"x\", null, 1]]")}) {
    expect_refused("JSON " + json, form_encode({{"plot_feeds", json}}),
                   "application/x-www-form-urlencoded", {500});
    expect_refused("JSON in multipart " + json, multipart(boundary, json), multipart_type,
                   {400, 500});
  }
  expect_served();
  EXPECT_GT(bad_requests_, 250);
  EXPECT_EQ(stored_rows(), good_posts_) << "only the valid posts are stored";
}

TEST_F(MalformedInput, BrokenHttpGetsAJsonAnswerAndTheServerKeepsServing) {
  const std::vector<std::string> requests = {
      "GET\r\n\r\n",
      "GET / HTTP/9.9\r\nHost: 127.0.0.1\r\n\r\n",
      "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03 tls hello\r\n\r\n",
      "POST /api/feedgroup HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: -5\r\n\r\n",
      "POST /api/feedgroup HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: "
      "99999999999999999999\r\n\r\n",
      "POST /api/feedgroup HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\nContent-Length: "
      "4\r\n\r\nabcd",
      "POST /api/feedgroup HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
      "GET /api/feedgroup HTTP/1.1\r\nHo st: x\r\n\r\n",
      "GET /api/feed\x00group HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"s,
      "GET /api/feedgroup HTTP/1.1\r\nHost: 127.0.0.1\r\nX: " + std::string(70000, 'a') +
          "\r\n\r\n",
      "GET /api/algorithms/1/backtests/2/feeds/log?limit=%ZZ HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
      "GET /api/algorithms/1/backtests/2/feeds/log?limit=%FF HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
      "GET /api/algorithms/1/backtests/2/feeds/log?limit=1e999 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
      "GET /api/algorithms/1/backtests/2/feeds/log?start_index=99999999999999999999 HTTP/1.1\r\n"
      "Host: 127.0.0.1\r\n\r\n",
      "GET /api/algorithms/99999999999999999999/backtests/2/feeds/log HTTP/1.1\r\nHost: "
      "127.0.0.1\r\n\r\n",
  };
  for (std::string request : requests) {
    // Answers that keep the connection open would otherwise wait out the exchange's time limit.
    if (const auto host = request.find("Host: 127.0.0.1\r\n"); host != std::string::npos) {
      request.insert(host, "Connection: close\r\n");
    }
    const std::string answer = raw_exchange(server_.port(), request, std::chrono::seconds(5));
    ASSERT_TRUE(answer.starts_with("HTTP/1.1 4")) << request.substr(0, 60) << "\n" << answer;
    const auto body = answer.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    EXPECT_NO_THROW(boost::json::parse(answer.substr(body + 4))) << answer;
    expect_served();
  }
  EXPECT_EQ(stored_rows(), good_posts_);
}

}  // namespace
}  // namespace stratdesk::test
