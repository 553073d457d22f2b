#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>
#include <boost/json/value.hpp>

// What the behaviour tests share: temporary directories, the real server started as a child
// process on a free port, and a real HTTP client.
namespace stratdesk::test {

// A fresh directory under the system's temp directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A small tmpfs mounted on `path` (created when missing) for as long as the object lives, to run
// the server against a full disk. mounted() is false where this process may not mount, so
// callers can skip.
class TmpfsMount {
 public:
  TmpfsMount(std::string path, std::size_t bytes);
  ~TmpfsMount();
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;
  [[nodiscard]] bool mounted() const { return mounted_; }
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);

struct HttpResponse {
  int status = 0;
  std::string body;
  std::map<std::string, std::string> headers;  // names lower-cased
  [[nodiscard]] boost::json::value json() const;
};

// A keep-alive HTTP/1.1 client on one connection (reconnects when the server closed it).
class HttpClient {
 public:
  HttpClient(std::string host, unsigned short port);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  HttpResponse request(const std::string& method, const std::string& target,
                       const std::string& body = {}, const std::string& content_type = {},
                       const std::vector<std::pair<std::string, std::string>>& headers = {});
  HttpResponse get(const std::string& target) { return request("GET", target); }
  // POST/PATCH of an application/x-www-form-urlencoded body.
  HttpResponse post_form(const std::string& target,
                         const std::vector<std::pair<std::string, std::string>>& fields,
                         const std::string& method = "POST");

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

std::string url_encode(const std::string& text);
std::string form_encode(const std::vector<std::pair<std::string, std::string>>& fields);

// Sends raw bytes on a new connection and returns everything the server answers until it
// closes the connection or `timeout` passes.
std::string raw_exchange(unsigned short port, const std::string& bytes,
                         std::chrono::milliseconds timeout = std::chrono::seconds(5));

struct ProcessResult {
  int exit_code = -1;     // when it exited
  int signal_number = 0;  // when a signal ended it
  std::string out;
  std::string err;
};
// Runs a program to its end, capturing its standard output and error (no shell).
ProcessResult run_process(const std::vector<std::string>& argv,
                          std::chrono::milliseconds timeout = std::chrono::seconds(30));

// A server started exactly as given: the whole command line (which must make it listen on a
// free port), its working directory, its whole environment ("NAME=value"), and where it keeps
// its database and log and where its standard error goes.
struct ServerCommand {
  std::vector<std::string> argv;
  std::string cwd;
  std::vector<std::string> environment;
  std::string data_dir;
  std::string log_path;
  std::string stderr_path;
};

// The real stratdesk-server, started with --port 0 and a data directory of its own.
class ServerProcess {
 public:
  // `data_dir` is used as --data-dir; `extra` options are appended.
  explicit ServerProcess(const std::string& data_dir, std::vector<std::string> extra = {});
  explicit ServerProcess(const ServerCommand& command);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  [[nodiscard]] unsigned short port() const { return port_; }
  [[nodiscard]] pid_t pid() const { return pid_; }
  // Everything the server printed on standard output before it listened.
  [[nodiscard]] const std::string& startup_output() const { return startup_output_; }
  [[nodiscard]] std::string log_text() const;
  [[nodiscard]] std::string stderr_text() const;
  [[nodiscard]] std::string db_path() const { return data_dir_ + "/stratdesk.db"; }

  // SIGTERM and wait for the exit; returns the exit code (or -signal).
  int stop(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // SIGKILL and reap.
  void kill_hard();
  // Waits until `text` appears in the log file; false when `timeout` passes first.
  bool wait_for_log(const std::string& text,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  std::string data_dir_;
  std::string log_path_;
  std::string stderr_path_;
  pid_t pid_ = -1;
  unsigned short port_ = 0;
  std::string startup_output_;
};

// Path of the server binary under test.
const char* server_binary();

}  // namespace stratdesk::test
