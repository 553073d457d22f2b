#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <regex>

#include "../events/sse_client.hpp"
#include "../server/engine_fakes.hpp"
#include "db/connection.hpp"
#include "test_support.hpp"

namespace stratdesk::test {
namespace {

TEST(Host, HelpListsEveryOptionWithItsDefault) {
  const ProcessResult help = run_process({server_binary(), "--help"});
  EXPECT_EQ(help.exit_code, 0);
  for (const char* option :
       {"--host", "--port", "--base-uri", "--data-dir", "--db", "--pid-dir", "--log",
        "--strategy-dir", "--bundle-dir", "--python", "--engine-script", "--analytics-port"}) {
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  }
  EXPECT_NE(help.out.find("8600"), std::string::npos);
}

TEST(Host, BadOptionsAndUnusablePathsExitWithCodeTwoAndOneLine) {
  TempDir dir;
  write_file(dir.file("a-file"), "x");
  const std::vector<std::vector<std::string>> bad = {
      {"--bogus"},
      {"--port"},
      {"--port", "70000"},
      {"--port", "80x"},
      {"--analytics-port", "0"},
      {"--base-uri", "api"},
      {"--python", dir.file("no-such-python")},
      {"--data-dir", dir.file("a-file")},
      {"--data-dir", dir.path(), "--db", dir.path()},
      {"--data-dir", dir.path(), "--host", "not-an-address"},
  };
  for (const auto& options : bad) {
    std::vector<std::string> argv = {server_binary()};
    argv.insert(argv.end(), options.begin(), options.end());
    const ProcessResult result = run_process(argv);
    EXPECT_EQ(result.exit_code, 2) << options[0] << " " << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
}

// The pid directory is deleted whole at start-up: one that holds anything but pid files is
// someone else's and must come out of a refused start byte for byte as it went in.
TEST(Host, APidDirectoryHoldingOtherEntriesIsRefusedAndLeftAsItWas) {
  namespace fs = std::filesystem;
  TempDir dir;
  const std::string outside = dir.file("outside.txt");
  write_file(outside, "not ours");
  const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> cases = {
      {"thesis.txt",
       [](const std::string& pids) { write_file(pids + "/thesis.txt", "chapter 1"); }},
      {"sub",
       [](const std::string& pids) {
         fs::create_directories(pids + "/sub");
         write_file(pids + "/sub/notes.md", "# notes");
       }},
      {"link.identity",
       [&](const std::string& pids) { fs::create_symlink(outside, pids + "/link.identity"); }},
  };
  int n = 0;
  for (const auto& [foreign, make] : cases) {
    const std::string pids = dir.file("pids" + std::to_string(++n));
    fs::create_directories(pids);
    write_file(pids + "/4242.identity", "X 17");
    make(pids);
    std::map<std::string, std::string> before;
    for (const auto& entry : fs::recursive_directory_iterator(pids)) {
      before[entry.path().string()] = entry.is_regular_file() ? read_file(entry.path()) : "";
    }

    const ProcessResult result = run_process(
        {server_binary(), "--data-dir", dir.file("data"), "--pid-dir", pids, "--port", "0"});
    EXPECT_EQ(result.exit_code, 2) << foreign << ": " << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    for (const std::string& named : {pids, "'" + foreign + "'", std::string("--pid-dir")}) {
      EXPECT_NE(result.err.find(named), std::string::npos) << named << " in " << result.err;
    }
    std::map<std::string, std::string> after;
    for (const auto& entry : fs::recursive_directory_iterator(pids)) {
      after[entry.path().string()] = entry.is_regular_file() ? read_file(entry.path()) : "";
    }
    EXPECT_EQ(after, before) << foreign;
  }
  EXPECT_EQ(read_file(outside), "not ours");
}

TEST(Host, LeftoverPidFilesAreSweptAndAnOversizedOneIsReportedNotRead) {
  namespace fs = std::filesystem;
  TempDir dir;
  const std::string pids = dir.file("pids");
  fs::create_directories(pids);
  write_file(pids + "/4242.identity", "X 17\n");
  write_file(pids + "/abc.identity", "not a pid file's content");
  write_file(pids + "/9.identity", "X 18" + std::string(8192, ' '));
  ServerProcess server(dir.file("data"), {"--pid-dir", pids});
  ASSERT_TRUE(server.wait_for_log("foreign kestrun checker started"));
  EXPECT_TRUE(fs::is_directory(pids));
  EXPECT_TRUE(fs::is_empty(pids));
  const std::string log = server.log_text();
  EXPECT_NE(log.find("Set backtest<17> stopped"), std::string::npos) << log;
  EXPECT_EQ(log.find("Set backtest<18> stopped"), std::string::npos) << log;
  EXPECT_NE(log.find(pids + "/9.identity holds 8196 bytes"), std::string::npos) << log;
}

TEST(Host, StartsOnAFreshDataDirectoryAndStopsCleanlyOnSigterm) {
  TempDir dir;
  const std::string data = dir.file("data");
  ServerProcess server(data, {"--base-uri", "/v2"});
  const std::string expected_first = "connect ro sqlite url: " + data + "/stratdesk.db\n";
  EXPECT_TRUE(server.startup_output().starts_with(expected_first)) << server.startup_output();
  EXPECT_NE(server.startup_output().find(
                "listening on http://127.0.0.1:" + std::to_string(server.port()) + "/v2\n"),
            std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(data + "/stratdesk.db"));
  EXPECT_TRUE(std::filesystem::exists(data + "/logs/stratdesk.log"));

  HttpClient client("127.0.0.1", server.port());
  EXPECT_EQ(client.get("/v2/algorithms/1/backtests/1/feeds/log").status, 200);
  EXPECT_EQ(client.get("/api/algorithms/1/backtests/1/feeds/log").status, 404);
  EXPECT_EQ(server.stop(), 0);
  EXPECT_NE(read_file(data + "/logs/stratdesk.log").find("server stopped"), std::string::npos);
}

TEST(Host, BodiesAboveTheLimitAreRefusedAndNotStored) {
  TempDir dir;
  ServerProcess server(dir.path(), {"--body-limit", "2000"});
  HttpClient client("127.0.0.1", server.port());
  const std::string rows =
      "[[3, 7, \"2016-01-04 15:00:00\", \"" + std::string(3000, 'x') + "\", 20]]";
  const HttpResponse response = client.post_form("/api/feedgroup", {{"log_feeds", rows}});
  EXPECT_EQ(response.status, 413);
  db::Connection c(server.db_path());
  EXPECT_EQ(c.execute("SELECT count(*) AS n FROM log_feeds").at(0).at("n"), 0);
  EXPECT_EQ(client.get("/api/algorithms/3/backtests/7/feeds/log").status, 200);
}

}  // namespace
}  // namespace stratdesk::test

namespace stratdesk::test {
namespace {

TEST(Host, AccessOptionsGuardEveryRouteAndTheTokenReachesEngines) {
  TempDir dir;
  write_file(dir.file("token"), "tok-123\n");
  FakeEngine engine(dir.path());
  std::vector<std::string> options = engine.server_options();
  options.insert(options.end(),
                 {"--token-file", dir.file("token"), "--allow-origin", "http://localhost:5173"});
  ServerProcess server(dir.file("data"), options);
  HttpClient client("127.0.0.1", server.port());
  const std::pair<std::string, std::string> bearer{"Authorization", "Bearer tok-123"};

  EXPECT_EQ(client.get("/api/algorithms").status, 401);
  EXPECT_EQ(client.request("GET", "/api/algorithms", "", "", {bearer}).status, 200);
  const auto page = client.request("GET", "/api/algorithms", "", "",
                                   {bearer, {"Origin", "http://localhost:5173"}});
  EXPECT_EQ(page.headers.at("access-control-allow-origin"), "http://localhost:5173");
  EXPECT_EQ(client.request("GET", "/api/algorithms", "", "", {bearer, {"Origin", "https://x.test"}})
                .status,
            403);

  const std::string form = form_encode({{"config", minimal_config}, {"code", "pass\n"}});
  const auto launched = client.request("POST", "/api/algorithms/1/backtests", form,
                                       "application/x-www-form-urlencoded", {bearer});
  ASSERT_EQ(launched.status, 200) << launched.body;
  const auto record = engine.record(launched.json().at("id").as_int64());
  ASSERT_TRUE(record);
  EXPECT_EQ(record->at("env").at("STRATDESK_TOKEN"), "tok-123");
  // The engine holds its standard streams (and the descriptor listing /proc) and nothing of the
  // server's: no listener, no client connection, no database file.
  EXPECT_LE(record->at("fds").as_array().size(), 4u) << record->at("fds");
}

// A browser page cannot send the token with EventSource or a page load: it trades the token
// for a single-use ticket, and the docs page and its files load without it.
TEST(Host, ATicketOpensTheStreamOnceAndTheDocsLoadWithoutTheToken) {
  TempDir dir;
  write_file(dir.file("token"), "tok-123\n");
  ServerProcess server(dir.file("data"), {"--token-file", dir.file("token")});
  HttpClient client("127.0.0.1", server.port());
  const std::pair<std::string, std::string> bearer{"Authorization", "Bearer tok-123"};
  const auto issue = [&] {
    const HttpResponse issued = client.request("POST", "/api/events/ticket", "", "", {bearer});
    EXPECT_EQ(issued.status, 200) << issued.body;
    EXPECT_EQ(issued.json().at("expires_in"), 30);
    return std::string(issued.json().at("ticket").as_string());
  };
  EXPECT_EQ(client.request("POST", "/api/events/ticket").status, 401);

  const std::string ticket = issue();
  // A ticket opens nothing but the stream, and is not spent by trying.
  EXPECT_EQ(client.get("/api/algorithms?ticket=" + ticket).status, 401);
  EXPECT_EQ(client.request("POST", "/api/events?ticket=" + ticket).status, 401);
  {
    SseClient stream(server.port(), "/api/events?ticket=" + ticket);
    EXPECT_EQ(stream.status(), 200);
  }
  for (const std::string& refused : {ticket, std::string(32, '0'), std::string("tok-123")}) {
    SseClient stream(server.port(), "/api/events?ticket=" + refused);
    EXPECT_EQ(stream.status(), 401) << refused;
  }
  SseClient other(server.port(), "/api/events?x=1&ticket=" + issue());
  EXPECT_EQ(other.status(), 200);

  for (const char* page : {"/api/docs", "/api/docs/index.css", "/api/openapi.json"}) {
    EXPECT_EQ(client.get(page).status, 200) << page;
  }
  EXPECT_EQ(client.request("POST", "/api/docs").status, 401);
  EXPECT_EQ(client.get("/api/docs/../algorithms").status, 401);
  EXPECT_EQ(client.get("/api/algorithms").status, 401);
}

// Engines get the server's environment with the engine settings applied: a token in the
// server's own environment never reaches an engine of a server that runs without one.
TEST(Host, EnginesGetTheServersEnvironmentWithTheEngineSettings) {
  TempDir dir;
  FakeEngine engine(dir.path());
  ::setenv("STRATDESK_TOKEN", "not-for-engines", 1);
  ServerProcess server(dir.file("data"), engine.server_options());
  ::unsetenv("STRATDESK_TOKEN");
  HttpClient client("127.0.0.1", server.port());
  const auto launched = client.post_form("/api/algorithms/1/backtests",
                                         {{"config", minimal_config}, {"code", "pass\n"}});
  ASSERT_EQ(launched.status, 200) << launched.body;
  const auto record = engine.record(launched.json().at("id").as_int64());
  ASSERT_TRUE(record);
  const auto& env = record->at("env").as_object();
  EXPECT_TRUE(env.at("STRATDESK_TOKEN").is_null()) << env;
  // What the server sets in its own environment is inherited.
  EXPECT_NE(env.at("PYTHONPATH").as_string().find("engine"), boost::json::string::npos) << env;
  EXPECT_EQ(env.at("STRATDESK_PID_DIR").as_string(), dir.file("data") + "/pids");
  EXPECT_EQ(env.at("STRATDESK_FEED_URL").as_string(),
            "http://127.0.0.1:" + std::to_string(server.port()) + "/api/feedgroup");
}

TEST(Host, ATokenFileMustHoldOneToken) {
  TempDir dir;
  write_file(dir.file("empty"), "\n");
  write_file(dir.file("spaced"), "two words\n");
  for (const std::string& file : {dir.file("empty"), dir.file("spaced"), dir.file("missing")}) {
    const ProcessResult result =
        run_process({server_binary(), "--data-dir", dir.file("data"), "--token-file", file});
    EXPECT_EQ(result.exit_code, 2) << file << result.err;
  }
}

}  // namespace
}  // namespace stratdesk::test

namespace stratdesk::test {
namespace {

TEST(Host, VersionNamesTheProjectVersionAndTheCommit) {
  const ProcessResult version = run_process({server_binary(), "--version"});
  EXPECT_EQ(version.exit_code, 0);
  const std::regex expected("stratdesk-server " STRATDESK_VERSION "( \\(git [0-9a-f]{12}\\))?\n");
  EXPECT_TRUE(std::regex_match(version.out, expected)) << version.out;
}

TEST(Host, AConfigFileSetsOptionsAndTheCommandLineWins) {
  TempDir dir;
  write_file(dir.file("server.toml"),
             "# limits for a small machine\n"
             "base_uri = \"/from-file\"   # replaced below\n"
             "body-limit = 2000\n"
             "allow-host = ['desk.local', \"other.local\"]\n");
  ServerProcess server(dir.file("data"),
                       {"--config", dir.file("server.toml"), "--base-uri", "/from-command"});
  HttpClient client("127.0.0.1", server.port());
  EXPECT_EQ(client.get("/from-command/algorithms/1/backtests/1/feeds/log").status, 200);
  EXPECT_EQ(client.get("/from-file/algorithms/1/backtests/1/feeds/log").status, 404);
  const std::string rows =
      "[[3, 7, \"2016-01-04 15:00:00\", \"" + std::string(3000, 'x') + "\", 20]]";
  EXPECT_EQ(client.post_form("/from-command/feedgroup", {{"log_feeds", rows}}).status, 413);
  const HttpResponse other_host = client.request(
      "GET", "/from-command/algorithms/1/backtests/1/feeds/log", {}, {}, {{"Host", "other.local"}});
  EXPECT_EQ(other_host.status, 200) << other_host.body;
}

TEST(Host, AnUnusableConfigFileExitsWithCodeTwoNamingTheLine) {
  TempDir dir;
  const std::vector<std::pair<std::string, std::string>> files = {
      {"port = 0\n\n# comment\nbogus = 1\n", ":4: unknown key 'bogus'"},
      {"config = \"other.toml\"\n", ":1: unknown key 'config'"},
      {"[server]\nport = 0\n", ":1: tables are not supported"},
      {"data-dir = \"unterminated\n", ":1: unterminated string"},
      {"port = 0\nport\n", ":2: expected key = value"},
      {"port = not a port\n", ":1: a value with spaces must be quoted"},
      {"port = 80x\n", "--port: '80x' is not a valid port"},
      {"port = [\"0\", \"1\"]\n", ":1: key 'port' takes one value, not an array"},
      {"allow-host = []\n", ":1: key 'allow-host' is given an empty array"},
      {"port = 0\n# again\nport = 1\n", ":3: key 'port' is given twice (first on line 1)"},
      {"allow-host = ['a']\nallow_host = ['b']\n", ":2: key 'allow_host' is given twice"},
      {"db = \"\"\n", "--db: an empty path names no file or folder"},
      {"port = \"0\" " + std::string(500, 'x') + "\n",
       ":1: unexpected '" + std::string(200, 'x') + "...' after the value\n"},
      {"port = \"0\" \x01\x7f\n", ":1: unexpected '\\x01\\x7f' after the value"},
  };
  for (const auto& [content, message] : files) {
    write_file(dir.file("server.toml"), content);
    const ProcessResult result = run_process(
        {server_binary(), "--data-dir", dir.file("data"), "--config", dir.file("server.toml")});
    EXPECT_EQ(result.exit_code, 2) << content;
    EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
  const ProcessResult missing =
      run_process({server_binary(), "--config", dir.file("no-such.toml")});
  EXPECT_EQ(missing.exit_code, 2);
  EXPECT_NE(missing.err.find("cannot read config file"), std::string::npos) << missing.err;
}

TEST(Host, AConfigFileMayStartWithAByteOrderMark) {
  TempDir dir;
  write_file(dir.file("server.toml"),
             "\xEF\xBB\xBF"
             "base-uri = \"/marked\"\n");
  ServerProcess server(dir.file("data"), {"--config", dir.file("server.toml")});
  HttpClient client("127.0.0.1", server.port());
  EXPECT_EQ(client.get("/marked/algorithms/1/backtests/1/feeds/log").status, 200);
}

// What the user must fix is one line and exit code 2, and a port in use creates nothing.
TEST(Host, EmptyPathsUnusableFilesAndABusyPortExitWithCodeTwoAndOneLine) {
  namespace fs = std::filesystem;
  TempDir dir;
  write_file(dir.file("not-a-db"), std::string(4096, 'x'));
  fs::create_directories(dir.file("a-folder"));
  ServerProcess holder(dir.file("holder"));
  // The busy port first: the later cases may create the data folder.
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--port", std::to_string(holder.port())}, "Address already in use"},
      {{"--db="}, "--db: an empty path"},
      {{"--data-dir="}, "--data-dir: an empty path"},
      {{"--log="}, "--log: an empty path"},
      {{"--pid-dir="}, "--pid-dir: an empty path"},
      {{"--strategy-dir="}, "--strategy-dir: an empty path"},
      {{"--bundle-dir="}, "--bundle-dir: an empty path"},
      {{"--engine-script="}, "--engine-script: an empty path"},
      {{"--db", dir.file("not-a-db")}, "cannot use database " + dir.file("not-a-db")},
      {{"--log", dir.file("a-folder")}, "cannot use log file " + dir.file("a-folder")},
  };
  for (const auto& [options, message] : cases) {
    std::vector<std::string> argv = {server_binary(), "--data-dir", dir.file("data"), "--port",
                                     "0"};
    argv.insert(argv.end(), options.begin(), options.end());
    const ProcessResult result = run_process(argv);
    EXPECT_EQ(result.exit_code, 2) << options[0] << ": " << result.err;
    EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(result.err.find(".hpp:"), std::string::npos) << result.err;
    if (options[0] == "--port") {
      EXPECT_FALSE(fs::exists(dir.file("data"))) << "a refused start made the data folder";
    }
  }
  // A database another program holds locked past the busy wait.
  fs::create_directories(dir.file("locked"));
  const std::string locked = dir.file("locked/stratdesk.db");
  db::Connection locker(locked);
  locker.execute_script("CREATE TABLE t (x); BEGIN EXCLUSIVE; INSERT INTO t VALUES (1)");
  const ProcessResult result =
      run_process({server_binary(), "--data-dir", dir.file("data"), "--db", locked, "--port", "0"});
  EXPECT_EQ(result.exit_code, 2) << result.err;
  EXPECT_NE(result.err.find("cannot use database " + locked), std::string::npos) << result.err;
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
}

// One server per data folder: a second one, on a port of its own, must leave the first's
// running engine, its rows, its pid files and its log exactly as they were; a first server
// killed outright holds nothing back.
TEST(Host, ASecondServerOnTheSameDataRefusesAndAKilledOneDoesNotBlock) {
  namespace fs = std::filesystem;
  TempDir dir;
  const std::string data = dir.file("data");
  auto first = std::make_unique<ServerProcess>(data);
  ASSERT_TRUE(first->wait_for_log("foreign kestrun checker started"));
  fs::create_directories(dir.file("engine-like"));
  const std::string engine_like = dir.file("engine-like/kestrun-plus-script.py");
  write_file(engine_like, "import time\ntime.sleep(60)\n");
  BackgroundProcess engine({real_python(), engine_like});
  ASSERT_TRUE(engine.wait_started());
  {
    db::Connection c(first->db_path());
    c.execute(
        "INSERT INTO backtests (id, algorithm_id, config, state) "
        "VALUES (17, 1, '{}', 'executing')");
    c.commit();
  }
  const std::string pid_file = data + "/pids/" + std::to_string(engine.pid()) + ".identity";
  write_file(pid_file, "X 17");
  const std::string log_before = first->log_text();

  for (int attempt = 0; attempt < 2; ++attempt) {
    const ProcessResult second = run_process({server_binary(), "--data-dir", data, "--port", "0"});
    EXPECT_EQ(second.exit_code, 2) << second.err;
    EXPECT_EQ(second.err, "another stratdesk-server (pid " + std::to_string(first->pid()) +
                              ") is using " + data + "\n");
    EXPECT_EQ(second.out, "");
  }
  EXPECT_EQ(first->log_text(), log_before);
  EXPECT_EQ(backtest_state(first->db_path(), 17), "executing");
  EXPECT_EQ(read_file(pid_file), "X 17");

  // Refused as well when only the database is shared.
  const ProcessResult by_db = run_process(
      {server_binary(), "--data-dir", dir.file("other"), "--db", first->db_path(), "--port", "0"});
  EXPECT_EQ(by_db.exit_code, 2) << by_db.err;
  EXPECT_NE(by_db.err.find("is using " + data), std::string::npos) << by_db.err;

  first->kill_hard();
  first.reset();
  ServerProcess next(data);
  HttpClient client("127.0.0.1", next.port());
  EXPECT_EQ(client.get("/api/backtests").status, 200);
}

}  // namespace
}  // namespace stratdesk::test
