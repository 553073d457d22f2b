#include "options.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <regex>

#include <sys/resource.h>

#include "descriptor_limit.hpp"
#include "test_support.hpp"

namespace stratdesk::host {
namespace {

namespace fs = std::filesystem;

Options parsed(const std::vector<std::string>& arguments) {
  ParseResult result = parse_options(arguments);
  EXPECT_TRUE(result.options) << result.message;
  return result.options.value_or(Options{});
}

std::string refusal(const std::vector<std::string>& arguments) {
  const ParseResult result = parse_options(arguments);
  EXPECT_FALSE(result.options);
  EXPECT_EQ(result.exit_code, 2);
  return result.message;
}

TEST(Options, PathsFollowTheDataDirectoryAndAreMadeAbsolute) {
  const std::string cwd = fs::current_path().string();
  const Options defaults = parsed({"--python", "/bin/sh"});
  EXPECT_EQ(defaults.data_dir, cwd + "/stratdesk-data");
  EXPECT_EQ(defaults.db_path, cwd + "/stratdesk-data/stratdesk.db");
  EXPECT_EQ(defaults.pid_dir, cwd + "/stratdesk-data/pids");
  EXPECT_EQ(defaults.log_path, cwd + "/stratdesk-data/logs/stratdesk.log");
  EXPECT_EQ(defaults.strategy_dir, cwd + "/stratdesk-data/strategies");
  EXPECT_EQ(defaults.port, 8600);
  EXPECT_EQ(defaults.base_uri, "/api");
  EXPECT_EQ(defaults.python, "/bin/sh");

  const Options moved =
      parsed({"--data-dir", "/srv/d/../data", "--db=rel/x.db", "--python", "/bin/sh"});
  EXPECT_EQ(moved.data_dir, "/srv/data");
  EXPECT_EQ(moved.db_path, cwd + "/rel/x.db") << "an explicit path does not follow --data-dir";
  EXPECT_EQ(moved.pid_dir, "/srv/data/pids");
}

TEST(Options, ValuesConvertAndTheLastOneWinsUnlessRepeatable) {
  const Options options = parsed({"--port", "0", "--port", "9000", "--exparam-timeout", "0.25",
                                  "--analytics-timeout=3", "--allow-host", "a", "--allow-host", "b",
                                  "--max-connections", "7", "--python", "/bin/sh"});
  EXPECT_EQ(options.port, 9000);
  EXPECT_EQ(options.exparam_timeout, std::chrono::milliseconds(250));
  EXPECT_EQ(options.analytics_timeout, std::chrono::seconds(3));
  EXPECT_EQ(options.allowed_hosts, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(options.max_connections, 7u);
}

TEST(Options, BadOptionsAreOneLineWithExitCodeTwoAndHelpExitsZero) {
  EXPECT_EQ(refusal({"--bogus"}), "stratdesk-server: unknown option '--bogus' (see --help)");
  EXPECT_EQ(refusal({"--port"}), "stratdesk-server: --port needs a value");
  EXPECT_EQ(refusal({"--port", "70000", "--python", "/bin/sh"}),
            "stratdesk-server: --port: '70000' is not a valid port");
  EXPECT_EQ(refusal({"--analytics-port", "0", "--python", "/bin/sh"}),
            "stratdesk-server: --analytics-port: '0' is not a valid port");
  EXPECT_EQ(refusal({"--exparam-timeout", "-1", "--python", "/bin/sh"}),
            "stratdesk-server: --exparam-timeout: '-1' is not a positive number of seconds up to "
            "86400");
  EXPECT_EQ(refusal({"--base-uri", "api", "--python", "/bin/sh"}),
            "stratdesk-server: --base-uri: 'api' must be empty or start with '/'");
  EXPECT_EQ(refusal({"--host", "example", "--python", "/bin/sh"}),
            "stratdesk-server: --host: 'example' is not an IP address");
  EXPECT_EQ(refusal({"--python", "/no/such/python"}),
            "stratdesk-server: --python: '/no/such/python' is not an executable program");
  EXPECT_EQ(refusal({"--port",
                     std::string("5\0"
                                 "1\n",
                                 4),
                     "--python", "/bin/sh"}),
            "stratdesk-server: --port: '5\\x001\\x0a' is not a valid port")
      << "control bytes are shown, not acted on or cut at";

  const ParseResult help = parse_options({"--port", "x", "--help"});
  EXPECT_FALSE(help.options);
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_EQ(help.message, usage());
}

// The README's option table and the man page name exactly the options the server takes, with
// the same value names, in the same order.
TEST(Options, TheReadmeAndTheManPageListExactlyTheServersOptions) {
  const std::string readme = test::read_file(STRATDESK_SOURCE_DIR "/README.md");
  const std::string section = readme.substr(readme.find("\n## Options\n"));
  std::vector<std::string> in_readme;
  const std::regex row("\n\\| `(--[a-z-]+ [A-Z]+)` \\|");
  for (auto it = std::sregex_iterator(section.begin(), section.end(), row);
       it != std::sregex_iterator(); ++it) {
    in_readme.push_back((*it)[1]);
  }
  std::string manual = test::read_file(STRATDESK_SOURCE_DIR "/packaging/stratdesk-server.1");
  std::vector<std::string> in_manual;
  const std::regex entry("\n\\.BI (\\\\-\\\\-[a-z\\\\-]+) \" ([A-Z]+)\"");
  for (auto it = std::sregex_iterator(manual.begin(), manual.end(), entry);
       it != std::sregex_iterator(); ++it) {
    std::string name = (*it)[1];
    name.erase(std::remove(name.begin(), name.end(), '\\'), name.end());
    in_manual.push_back(name + " " + std::string((*it)[2]));
  }
  std::vector<std::string> expected = option_synopses();
  EXPECT_EQ(in_readme, expected);
  std::sort(in_manual.begin(), in_manual.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(in_manual, expected);
}

TEST(DescriptorLimit, ConnectionCapLeavesRoomBesideTheConnections) {
  constexpr std::uint64_t unlimited = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(connection_cap(unlimited, 1000), 1000u);
  EXPECT_EQ(connection_cap(1065, 1000), 1000u);
  EXPECT_EQ(connection_cap(1064, 1000), 1000u);
  EXPECT_EQ(connection_cap(1024, 1000), 960u);
  EXPECT_EQ(connection_cap(129, 1000), 65u);
  EXPECT_EQ(connection_cap(128, 1000), 16u) << "a tiny limit still serves a few";
  EXPECT_EQ(connection_cap(0, 1000), 16u);
}

TEST(DescriptorLimit, RaisingSetsTheSoftLimitToTheHardOne) {
  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
  const std::uint64_t limit = raise_descriptor_limit();
  rlimit after{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &after), 0);
  EXPECT_EQ(after.rlim_cur, after.rlim_max);
  EXPECT_GE(after.rlim_cur, before.rlim_cur);
  if (after.rlim_cur != RLIM_INFINITY) {
    EXPECT_EQ(limit, after.rlim_cur);
  }
}

}  // namespace
}  // namespace stratdesk::host
