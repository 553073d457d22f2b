// The installed product: `cmake --install` into a prefix, the prefix moved elsewhere, and the
// moved binary run the way a desktop session runs it (from /, with only a home folder).

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include <boost/json/serialize.hpp>

#include "../server/engine_fakes.hpp"
#include "test_support.hpp"

namespace stratdesk::test {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;

std::string install_prefix(const TempDir& dir) {
  const std::string prefix = dir.file("prefix");
  const ProcessResult install = run_process(
      {STRATDESK_CMAKE_COMMAND, "--install", STRATDESK_BUILD_DIR, "--prefix", prefix, "--strip"},
      120s);
  EXPECT_EQ(install.exit_code, 0) << install.out << install.err;
  return prefix;
}

// A copy of `prefix` in another folder, the original removed: nothing may still point into it.
std::string moved(const std::string& prefix, const std::string& target) {
  fs::copy(prefix, target, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  fs::remove_all(prefix);
  return target;
}

std::vector<std::string> session_environment(const std::string& home) {
  const char* path = std::getenv("PATH");
  return {"HOME=" + home, "PATH=" + std::string(path ? path : "/usr/bin:/bin"), "LANG=C.UTF-8"};
}

// A clone whose npm packages were never installed: configuring says so and which command
// installs them, and an install stops before it has copied a single file.
TEST(Install, WithoutTheNpmPackagesNothingIsInstalledAndTheFixIsNamed) {
  TempDir dir;
  const ProcessResult configure =
      run_process({STRATDESK_CMAKE_COMMAND, "-S", STRATDESK_SOURCE_DIR, "-B", dir.file("build"),
                   "-G", "Ninja", "-DSTRATDESK_NPM_FILES=" + dir.file("no-npm")},
                  120s);
  ASSERT_EQ(configure.exit_code, 0) << configure.out << configure.err;
  EXPECT_NE(configure.err.find("`make deps`"), std::string::npos) << configure.err;
  const ProcessResult install = run_process(
      {STRATDESK_CMAKE_COMMAND, "--install", dir.file("build"), "--prefix", dir.file("prefix")},
      120s);
  EXPECT_NE(install.exit_code, 0);
  EXPECT_NE(install.err.find("nothing was installed"), std::string::npos) << install.err;
  EXPECT_FALSE(fs::exists(dir.file("prefix")));
}

TEST(Install, ThePrefixHoldsTheProgramItsSharedFilesAndItsDocumentation) {
  TempDir dir;
  const std::string prefix = install_prefix(dir);
  for (const char* file :
       {"bin/stratdesk-server", "share/stratdesk/engine/kestrun-plus-script.py",
        "share/stratdesk/engine/kestrun_exparam/__init__.py",
        "share/stratdesk/analytics/analytics-service.py",
        "share/stratdesk/sample-data/bundle/instruments.csv", "share/doc/stratdesk/README.md",
        "share/man/man1/stratdesk-server.1", "lib/systemd/user/stratdesk.service",
        "lib/systemd/user/stratdesk-analytics.service"}) {
    EXPECT_TRUE(fs::is_regular_file(prefix + "/" + file)) << file;
  }
  EXPECT_FALSE(fs::exists(prefix + "/share/stratdesk/engine/tests"));
  EXPECT_FALSE(fs::exists(prefix + "/bin/stratdesk-source-tree"));
  EXPECT_NE(read_file(prefix + "/lib/systemd/user/stratdesk.service")
                .find("ExecStart=" + prefix + "/bin/stratdesk-server"),
            std::string::npos);

  // Every option of --help is in the man page.
  const std::string man = read_file(prefix + "/share/man/man1/stratdesk-server.1");
  const std::string help = run_process({prefix + "/bin/stratdesk-server", "--help"}).out;
  for (std::size_t at = help.find("  --"); at != std::string::npos; at = help.find("  --", at)) {
    const std::string option = help.substr(at + 2, help.find(' ', at + 2) - at - 2);
    std::string escaped;
    for (const char c : option) {
      escaped += c == '-' ? std::string("\\-") : std::string(1, c);
    }
    EXPECT_NE(man.find(escaped), std::string::npos) << option;
    at += 2;
  }

  if (!STRATDESK_SANITIZED) {
    // The stripped binary names nothing of the build machine (sanitizers record source paths).
    EXPECT_EQ(read_file(prefix + "/bin/stratdesk-server").find(STRATDESK_SOURCE_DIR),
              std::string::npos);
  }
}

TEST(Install, AMovedInstallationRunsExampleOneWithItsOwnEngineAndTheDesktopFolders) {
  TempDir dir;
  const std::string prefix = moved(install_prefix(dir), dir.file("elsewhere"));
  const std::string home = dir.file("home");
  fs::create_directories(home + "/.config/stratdesk");
  // The default config file is read: its base URI is the one served.
  write_file(home + "/.config/stratdesk/server.toml",
             "# desktop settings\nport = 0\n"
             "base-uri = \"/desk\"\n");
  const std::string data = home + "/.local/share/stratdesk";
  const std::string log = home + "/.local/state/stratdesk/stratdesk.log";
  ServerProcess server(ServerCommand{{prefix + "/bin/stratdesk-server"},
                                     "/",
                                     session_environment(home),
                                     data,
                                     log,
                                     dir.file("server.stderr")});
  struct stat status {};
  ASSERT_EQ(::stat(data.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
  EXPECT_TRUE(fs::is_regular_file(data + "/stratdesk.db"));
  EXPECT_TRUE(fs::is_regular_file(log));

  HttpClient client("127.0.0.1", server.port());
  const HttpResponse example = client.get("/desk/algorithms/1");
  ASSERT_EQ(example.status, 200) << example.body;
  const json::value algorithm = example.json();
  const json::object& row = algorithm.as_object();
  const HttpResponse response = client.post_form(
      "/desk/algorithms/1/backtests", {{"config", std::string(row.at("config").as_string())},
                                       {"code", std::string(row.at("code").as_string())},
                                       {"parameters", R"({"fast": 3, "slow": 10})"}});
  ASSERT_EQ(response.status, 200) << response.body;
  const std::int64_t id = response.json().at("id").as_int64();
  const auto backtest = wait_stopped(server.db_path(), id, 120s);
  ASSERT_TRUE(backtest) << server.log_text();
  EXPECT_EQ(backtest->at("exception"), "") << server.log_text();

  const HttpResponse portfolio = client.get("/desk/algorithms/1/backtests/" + std::to_string(id) +
                                            "/feeds/portfolio?start_index=0&limit=5");
  ASSERT_EQ(portfolio.status, 200);
  EXPECT_EQ(portfolio.json().as_array().size(), 5u);
  // The engine and the bundle were the moved installation's own.
  EXPECT_NE(server.log_text().find(prefix + "/share/stratdesk/engine/kestrun-plus-script.py"),
            std::string::npos)
      << server.log_text();
  EXPECT_EQ(server.log_text().find(STRATDESK_SOURCE_DIR), std::string::npos);
  EXPECT_EQ(server.stop(), 0);
}

TEST(Install, TheXdgVariablesPlaceDataAndLogAndAGivenDataDirectoryKeepsBoth) {
  TempDir dir;
  const std::string prefix = install_prefix(dir);
  const std::string home = dir.file("home");
  fs::create_directories(home);
  std::vector<std::string> environment = session_environment(home);
  environment.push_back("XDG_DATA_HOME=" + dir.file("data-home"));
  environment.push_back("XDG_STATE_HOME=" + dir.file("state-home"));
  {
    ServerProcess server(ServerCommand{{prefix + "/bin/stratdesk-server", "--port", "0"},
                                       "/",
                                       environment,
                                       dir.file("data-home/stratdesk"),
                                       dir.file("state-home/stratdesk/stratdesk.log"),
                                       dir.file("first.stderr")});
    EXPECT_TRUE(fs::is_regular_file(dir.file("data-home/stratdesk/stratdesk.db")));
    EXPECT_TRUE(server.wait_for_log("listening on"));
    EXPECT_FALSE(fs::exists(home + "/.local"));
  }
  // With --data-dir, the log stays beside the data instead of joining the desktop's log.
  const std::string desktop_log = dir.file("state-home/stratdesk/stratdesk.log");
  const std::string desktop_log_before = read_file(desktop_log);
  EXPECT_NE(desktop_log_before.find("listening on"), std::string::npos);
  const std::string given = dir.file("given");
  ServerProcess server(
      ServerCommand{{prefix + "/bin/stratdesk-server", "--port", "0", "--data-dir", given},
                    "/",
                    environment,
                    given,
                    given + "/logs/stratdesk.log",
                    dir.file("second.stderr")});
  EXPECT_TRUE(server.wait_for_log("listening on"));
  EXPECT_EQ(read_file(desktop_log), desktop_log_before);
}

}  // namespace
}  // namespace stratdesk::test
