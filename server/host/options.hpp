#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace stratdesk::host {

// The host's command line, with every default filled in and every path absolute.
struct Options {
  std::string host = "127.0.0.1";
  unsigned short port = 8600;
  std::string base_uri = "/api";
  std::string data_dir;
  std::string db_path;
  std::string pid_dir;
  std::string log_path;
  std::string strategy_dir;
  std::string bundle_dir;
  std::string python;
  std::string engine_script;
  unsigned short analytics_port = 10301;
  std::size_t body_limit = std::size_t{256} * 1024 * 1024;
  std::size_t body_memory = std::size_t{512} * 1024 * 1024;
  // Longest wait for one parameter extraction.
  std::chrono::milliseconds exparam_timeout = std::chrono::seconds(10);
  // Longest wait for one answer of the analytics service, connection included.
  std::chrono::milliseconds analytics_timeout = std::chrono::seconds(60);
  // Who may call: extra Host names, extra browser origins, and the bearer token (read from
  // --token-file) every request must carry when set.
  std::vector<std::string> allowed_hosts;
  std::vector<std::string> allowed_origins;
  std::optional<std::string> token;
  // Limits on slow and idle clients.
  std::chrono::milliseconds idle_timeout = std::chrono::seconds(60);
  std::chrono::milliseconds header_timeout = std::chrono::seconds(30);
  std::chrono::milliseconds body_timeout = std::chrono::seconds(300);
  std::size_t max_connections = 1000;
  // The sweeps' executing runs together, at most: the number of cores unless given.
  std::size_t max_running = std::max(1u, std::thread::hardware_concurrency());
};

struct ParseResult {
  std::optional<Options> options;  // empty when the program should exit
  int exit_code = 0;               // 0 after --help, 2 after a bad option
  std::string message;             // what to print: the help text, or one line of error
};

// Reads argv. Defaults that depend on the data directory follow it; relative paths are made
// absolute against the working directory; the interpreter defaults to python3 on PATH.
ParseResult parse_options(const std::vector<std::string>& arguments);

// The help text, with the defaults as they apply on this machine.
std::string usage();

// Every option that takes a value, as the help writes it: "--port N", in the help's order.
std::vector<std::string> option_synopses();

}  // namespace stratdesk::host
