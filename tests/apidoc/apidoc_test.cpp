// The API document against the server: the routes it mounts, the document it serves, the docs
// page and its files, and the page as a browser renders it.

#include "apidoc/apidoc.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "algorithms/algorithms.hpp"
#include "api/api.hpp"
#include "api/queries.hpp"
#include "backtest/backtest.hpp"
#include "events/event_hub.hpp"
#include "in_process_server.hpp"
#include "morvex_client/morvex_client.hpp"
#include "routes.hpp"
#include "test_support.hpp"

namespace stratdesk::apidoc {
namespace {

// Where scripts/install-deps.sh puts the docs page's files in the source tree.
std::string docs_dir() {
  return STRATDESK_SOURCE_DIR "/third_party/node_modules/swagger-ui-dist";
}

namespace fs = std::filesystem;
namespace json = boost::json;
using test::HttpClient;
using test::ServerProcess;
using test::TempDir;

using MethodsByPath = std::map<std::string, std::set<std::string>>;

// "/api/x/<int:algorithm_id>" as the document writes it: "/api/x/{algorithm_id}".
std::string templated(const std::string& pattern) {
  return std::regex_replace(pattern, std::regex("<int:([a-z_]+)>"), "{$1}");
}

std::string upper(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return text;
}

MethodsByPath documented(const json::value& document) {
  MethodsByPath paths;
  for (const auto& [path, item] : document.at("paths").as_object()) {
    auto& methods = paths[std::string(path)];
    for (const auto& [method, operation] : item.as_object()) {
      if (method != "parameters" && method != "summary" && method != "description") {
        methods.insert(upper(std::string(method)));
      }
    }
  }
  return paths;
}

// Mounting needs what the resources work with, not that it works: nothing here is used.
class NoEngines final : public backtest::EngineControl {
 public:
  void start_kestrun(std::int64_t, const std::vector<std::string>&) override {}
  void stop_kestrun(std::int64_t) override {}
};

// What the server mounts.
MethodsByPath mounted(const std::string& base_uri) {
  boost::asio::io_context io;  // outlives the routes, whose scheduler holds a timer of it
  test::TempDir dir;
  db::Database database(dir.file("unused.db"));
  tasks::TaskGroup tasks;
  const algorithms::ParameterExtraction extraction({"python3", std::chrono::seconds(1)}, tasks);
  const backtest::Settings backtests{"engine.py", "strategies", "bundle"};
  NoEngines engines;
  const morvex_client::Client client({1, std::chrono::seconds(1)});
  morvex_api::Analytics analytics(client);
  const auto hub = std::make_shared<events::EventHub>();
  http::WorkerPool pool(1, 1);
  db::Writer writer(database);
  db::ReadPool reads(database, 1);
  http::Api api;
  const backtest::Dependencies launches{reads, writer, backtests, engines, hub};
  host::mount_routes(
      api, base_uri,
      {reads, writer, pool, extraction, backtests, engines, analytics, hub,
       std::make_shared<http::StreamTickets>(),
       std::make_shared<sweeps::Scheduler>(io.get_executor(), launches, 1), docs_dir()});
  MethodsByPath paths;
  for (const auto& route : api.routes()) {
    paths[templated(route.pattern)].insert(route.methods.begin(), route.methods.end());
  }
  return paths;
}

std::string joined(const std::set<std::string>& methods) {
  std::string out;
  for (const auto& method : methods) {
    out += (out.empty() ? "" : ", ") + method;
  }
  return out;
}

// One line per difference, so that a drift names every path it touches.
std::string differences(const MethodsByPath& routes, const MethodsByPath& described) {
  std::ostringstream out;
  for (const auto& [path, methods] : routes) {
    const auto found = described.find(path);
    if (found == described.end()) {
      out << "mounted but not described: " << joined(methods) << " " << path << "\n";
    } else if (found->second != methods) {
      out << "methods differ on " << path << ": mounted " << joined(methods) << ", described "
          << joined(found->second) << "\n";
    }
  }
  for (const auto& [path, methods] : described) {
    if (!routes.contains(path)) {
      out << "described but not mounted: " << joined(methods) << " " << path << "\n";
    }
  }
  return out.str();
}

TEST(ApiDocument, DescribesEveryMountedRouteWithItsMethodsAndNoOther) {
  const MethodsByPath routes = mounted("/api");
  const MethodsByPath described = documented(json::parse(document_for("/api")));
  EXPECT_GT(routes.size(), 30u);
  EXPECT_EQ(differences(routes, described), "");
}

TEST(ApiDocument, KeysItsPathsUnderTheBaseUriItIsServedWith) {
  const MethodsByPath at_api = documented(json::parse(document_for("/api")));
  const MethodsByPath at_root = documented(json::parse(document_for("")));
  const MethodsByPath nested = documented(json::parse(document_for("/desk/v1")));
  ASSERT_EQ(at_api.size(), nested.size());
  for (const auto& [path, methods] : at_api) {
    ASSERT_TRUE(path.starts_with("/api/")) << path;
    const std::string rest = path.substr(4);
    EXPECT_EQ(at_root.at(rest), methods) << rest;
    EXPECT_EQ(nested.at("/desk/v1" + rest), methods) << rest;
  }
}

std::string node_validator() {
  return std::string(STRATDESK_SOURCE_DIR) +
         "/third_party/node_modules/@seriousme/openapi-schema-validator/bin/validate-api-cli.js";
}

// The server's answers to OPTIONS name the methods each documented path really has.
std::string served_differences(HttpClient& client, const MethodsByPath& described) {
  std::ostringstream out;
  for (const auto& [path, methods] : described) {
    const std::string concrete = std::regex_replace(path, std::regex("\\{[a-z_]+\\}"), "1");
    const auto answer = client.request("OPTIONS", concrete);
    if (answer.status != 200) {
      out << "described but not served: " << path << " (OPTIONS answered " << answer.status
          << ")\n";
      continue;
    }
    std::set<std::string> expected = methods;
    expected.insert("OPTIONS");
    if (methods.contains("GET")) {
      expected.insert("HEAD");
    }
    std::set<std::string> allowed;
    const auto allow = answer.headers.find("allow");
    std::istringstream list(allow == answer.headers.end() ? "" : allow->second);
    for (std::string method; std::getline(list >> std::ws, method, ',');) {
      allowed.insert(method);
    }
    if (allowed != expected) {
      out << "methods differ on " << path << ": served " << joined(allowed) << ", described "
          << joined(expected) << "\n";
    }
  }
  return out.str();
}

TEST(ServedDocument, IsValidOpenApiWithTheServersBaseUriAndMatchesItsRoutes) {
  TempDir dir;
  ServerProcess server(dir.path(), {"--base-uri", "/desk"});
  HttpClient client("127.0.0.1", server.port());
  const auto answer = client.get("/desk/openapi.json");
  ASSERT_EQ(answer.status, 200);
  EXPECT_EQ(answer.headers.at("content-type"), "application/json");
  const json::value served = json::parse(answer.body);
  EXPECT_EQ(served, json::parse(document_for("/desk")));
  EXPECT_EQ(served.at("openapi"), "3.1.0");

  test::write_file(dir.file("served.json"), answer.body);
  const auto validation = test::run_process({"node", node_validator(), dir.file("served.json")},
                                            std::chrono::seconds(60));
  EXPECT_EQ(validation.exit_code, 0) << validation.out << validation.err
                                     << "\n(npm packages missing? run scripts/install-deps.sh)";

  EXPECT_EQ(served_differences(client, documented(served)), "");
}

std::string content_type_for(const std::string& name) {
  if (name.ends_with(".css")) {
    return "text/css; charset=utf-8";
  }
  if (name.ends_with(".js")) {
    return "text/javascript; charset=utf-8";
  }
  return "image/png";
}

class DocsPage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(fs::is_regular_file(docs_dir() + "/swagger-ui-bundle.js"))
        << "the docs page's files are not installed in " << docs_dir()
        << "; run scripts/install-deps.sh";
  }
  TempDir dir_;
  ServerProcess server_{dir_.path()};
  HttpClient client_{"127.0.0.1", server_.port()};
};

TEST_F(DocsPage, ServesThePageAndTheViewersFilesFromTheInstalledFolder) {
  const auto page = client_.get("/api/docs");
  ASSERT_EQ(page.status, 200) << page.body;
  EXPECT_EQ(page.headers.at("content-type"), "text/html; charset=utf-8");
  EXPECT_NE(page.body.find("src=\"docs/swagger-ui-bundle.js\""), std::string::npos);
  EXPECT_NE(page.body.find("url: \"openapi.json\""), std::string::npos);
  // Nothing is loaded from elsewhere: every link of the page is relative.
  EXPECT_EQ(page.body.find("//"), std::string::npos);

  for (const auto name : docs_files) {
    const std::string file(name);
    const auto answer = client_.get("/api/docs/" + file);
    ASSERT_EQ(answer.status, 200) << file << ": " << answer.body;
    EXPECT_EQ(answer.headers.at("content-type"), content_type_for(file)) << file;
    EXPECT_EQ(answer.headers.at("x-content-type-options"), "nosniff") << file;
    EXPECT_TRUE(answer.body == test::read_file(docs_dir() + "/" + file)) << file;
  }
  const auto head = client_.request("HEAD", "/api/docs/swagger-ui-bundle.js");
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.headers.at("content-length"),
            std::to_string(fs::file_size(docs_dir() + "/swagger-ui-bundle.js")));
}

// Revalidated at every load and answered 304 while unchanged; a changed file gets a new tag.
TEST_F(DocsPage, UnchangedFilesAreAnswered304WithoutABody) {
  for (const std::string target : {"/api/docs", "/api/openapi.json", "/api/docs/index.css"}) {
    const auto first = client_.get(target);
    ASSERT_EQ(first.status, 200) << target;
    const std::string tag = first.headers.at("etag");
    EXPECT_EQ(first.headers.at("cache-control"), "no-cache") << target;
    for (const std::string& sent : {tag, "\"other\", W/" + tag, std::string("*")}) {
      const auto again = client_.request("GET", target, "", "", {{"If-None-Match", sent}});
      EXPECT_EQ(again.status, 304) << target << " " << sent;
      EXPECT_EQ(again.body, "") << target;
      EXPECT_EQ(again.headers.at("etag"), tag) << target;
      EXPECT_FALSE(again.headers.contains("content-length")) << target;
    }
    const auto changed = client_.request("GET", target, "", "", {{"If-None-Match", "\"old\""}});
    EXPECT_EQ(changed.status, 200) << target;
    EXPECT_EQ(changed.body, first.body) << target;
  }
}

TEST_F(DocsPage, ServesNothingElseOfTheFolderOrBeyondIt) {
  for (const std::string target :
       {"/api/docs/package.json", "/api/docs/../openapi.json", "/api/docs/..%2Fpackage.json",
        "/api/docs/%2e%2e/%2e%2e/%2e%2e/README.md", "/api/docs/swagger-ui.css/..%2f..%2fLICENSE",
        "/api/docs/", "/api/docs/.%2Findex.css"}) {
    const auto answer = client_.get(target);
    EXPECT_EQ(answer.status, 404) << target << ": " << answer.body.substr(0, 200);
    EXPECT_TRUE(answer.json().as_object().contains("message")) << target;
  }
  EXPECT_EQ(client_.post_form("/api/docs", {{"a", "b"}}).status, 405);
  EXPECT_EQ(client_.request("DELETE", "/api/openapi.json").status, 405);
}

TEST_F(DocsPage, LetsTheSameOriginPageCallTheApiAndRefusesOthers) {
  const std::string own = "http://127.0.0.1:" + std::to_string(server_.port());
  const auto same = client_.request("POST", "/api/feedgroup", "",
                                    "application/x-www-form-urlencoded", {{"Origin", own}});
  EXPECT_EQ(same.status, 200) << same.body;
  const auto other =
      client_.request("GET", "/api/openapi.json", "", "", {{"Origin", "http://example.invalid"}});
  EXPECT_EQ(other.status, 403);
}

// The renderer's DOM names every documented path once the page has loaded the document.
TEST_F(DocsPage, RendersEveryOperationInAHeadlessBrowser) {
  const char* browser = std::getenv("STRATDESK_CHROMIUM");
  TempDir profile;
  const std::string url = "http://127.0.0.1:" + std::to_string(server_.port()) + "/api/docs";
  const auto run = test::run_process(
      {browser != nullptr ? browser : "chromium", "--headless", "--no-sandbox", "--disable-gpu",
       "--disable-background-networking", "--no-first-run", "--disable-dev-shm-usage",
       "--user-data-dir=" + profile.path(), "--virtual-time-budget=20000", "--dump-dom", url},
      std::chrono::seconds(120));
  ASSERT_EQ(run.exit_code, 0) << run.err.substr(0, 2000);
  const MethodsByPath described = documented(json::parse(document_for("/api")));
  std::string missing;
  for (const auto& [path, methods] : described) {
    if (run.out.find("data-path=\"" + path + "\"") == std::string::npos) {
      missing += path + "\n";
    }
  }
  EXPECT_EQ(missing, "") << "DOM of " << run.out.size() << " bytes";
}

// The behaviour tests' answers reach the check against the document only through this log.
TEST(AnswerLog, CollectsTheJsonAnswersOfServersUnderTest) {
  const char* directory = std::getenv("STRATDESK_ANSWER_LOG");
  if (directory == nullptr) {
    GTEST_SKIP() << "run through ctest, which names the answer log";
  }
  TempDir dir;
  ServerProcess server(dir.path(), {"--base-uri", "/logged"});
  HttpClient client("127.0.0.1", server.port());
  ASSERT_EQ(client.get("/logged/algorithms/77").status, 200);
  const std::string log =
      test::read_file(std::string(directory) + "/answers-" + std::to_string(::getpid()) + ".jsonl");
  const auto line = log.substr(log.rfind('{', log.find("/logged/algorithms/77")));
  const json::value answer = json::parse(line.substr(0, line.find('\n')));
  EXPECT_EQ(answer.at("method"), "GET");
  EXPECT_EQ(answer.at("base_uri"), "/logged");
  EXPECT_EQ(answer.at("status"), 200);
  EXPECT_EQ(answer.at("body"), "null");
}

// The file guard, on a folder of the test's own.
class DocsFolder : public http::test_support::InProcessServerTest {
 protected:
  void SetUp() override {
    register_api(api_, "/api", folder_.path());
    serve({});
  }
  TempDir folder_;
  TempDir outside_;
};

TEST_F(DocsFolder, AnswersMissingFilesAndLinksLeavingTheFolderWith404) {
  HttpClient client("127.0.0.1", port_);
  auto page = client.get("/api/docs");
  EXPECT_EQ(page.status, 404);
  EXPECT_NE(page.json().at("message").as_string().find("install-deps"), json::string::npos);

  test::write_file(folder_.file("swagger-ui-bundle.js"), "window.x = 1;\n");
  test::write_file(outside_.file("secret.css"), "secret");
  fs::create_symlink(outside_.file("secret.css"), folder_.file("swagger-ui.css"));
  fs::create_directory(folder_.file("index.css"));

  EXPECT_EQ(client.get("/api/docs").status, 200);
  const auto script = client.get("/api/docs/swagger-ui-bundle.js");
  EXPECT_EQ(script.status, 200);
  EXPECT_EQ(script.body, "window.x = 1;\n");
  EXPECT_EQ(client.get("/api/docs/swagger-ui.css").status, 404);
  EXPECT_EQ(client.get("/api/docs/index.css").status, 404);
  EXPECT_EQ(client.get("/api/docs/favicon-16x16.png").status, 404);
}

// A file replaced by an upgrade is not mistaken for the one the browser holds.
TEST_F(DocsFolder, AReplacedFileGetsANewTag) {
  HttpClient client("127.0.0.1", port_);
  test::write_file(folder_.file("index.css"), "body { color: red; }\n");
  const auto first = client.get("/api/docs/index.css");
  ASSERT_EQ(first.status, 200);
  const std::string tag = first.headers.at("etag");
  test::write_file(folder_.file("index.css"), "body { color: blue; }\n");
  const auto replaced =
      client.request("GET", "/api/docs/index.css", "", "", {{"If-None-Match", tag}});
  EXPECT_EQ(replaced.status, 200);
  EXPECT_EQ(replaced.body, "body { color: blue; }\n");
  EXPECT_NE(replaced.headers.at("etag"), tag);
}

}  // namespace
}  // namespace stratdesk::apidoc
