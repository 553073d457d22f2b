// A page of an allowed origin reading the event stream with a real browser's EventSource
// (headless Chromium, when installed). The page reports back to the small server that served it.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include <boost/json/array.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "test_support.hpp"

extern "C" char** environ;

namespace stratdesk::test {
namespace {

using namespace std::chrono_literals;
const char* const browser = "/usr/bin/chromium";

std::string url_decode(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i] == '+' ? ' ' : text[i];
    }
  }
  return out;
}

// Serves one HTML page at "/" and records the path of every other GET (the page's reports).
class PageServer {
 public:
  explicit PageServer(std::string page) : page_(std::move(page)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_, 16) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("page server cannot listen");
    }
    port_ = ntohs(address.sin_port);
  }
  ~PageServer() {
    stop_ = true;
    if (thread_.joinable()) {
      thread_.join();
    }
    ::close(fd_);
  }

  void set_page(std::string page) { page_ = std::move(page); }
  void start() {
    thread_ = std::thread([this] { serve(); });
  }
  [[nodiscard]] unsigned short port() const { return port_; }
  std::vector<std::string> reports() {
    std::lock_guard lock(mutex_);
    return reports_;
  }

 private:
  void serve() {
    while (!stop_) {
      pollfd descriptor{fd_, POLLIN, 0};
      if (::poll(&descriptor, 1, 50) <= 0) {
        continue;
      }
      const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) {
        continue;
      }
      std::string request;
      char chunk[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        pollfd readable{client, POLLIN, 0};
        if (::poll(&readable, 1, 2000) <= 0) {
          break;
        }
        const ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
        if (n <= 0) {
          break;
        }
        request.append(chunk, static_cast<std::size_t>(n));
      }
      const auto space = request.find(' ');
      const std::string path =
          space == std::string::npos
              ? ""
              : request.substr(space + 1, request.find(' ', space + 1) - space - 1);
      std::string body = "ok";
      std::string type = "text/plain";
      if (path == "/") {
        body = page_;
        type = "text/html";
      } else if (!path.empty()) {
        std::lock_guard lock(mutex_);
        reports_.push_back(url_decode(path));
      }
      const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: " + type +
                                 "\r\nContent-Length: " + std::to_string(body.size()) +
                                 "\r\nConnection: close\r\n\r\n" + body;
      ::send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
      ::close(client);
    }
  }

  int fd_ = -1;
  unsigned short port_ = 0;
  std::string page_;
  std::thread thread_;
  std::atomic<bool> stop_ = false;
  std::mutex mutex_;
  std::vector<std::string> reports_;
};

// The browser in a process group of its own, ended as a group (it starts helper processes).
class Browser {
 public:
  Browser(const std::string& profile, const std::string& url) {
    std::vector<std::string> argv = {browser,
                                     "--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--disable-background-networking",
                                     "--no-first-run",
                                     "--user-data-dir=" + profile,
                                     url};
    std::vector<char*> args;
    for (auto& arg : argv) {
      args.push_back(arg.data());
    }
    args.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    // Its diagnostics (no session bus here, and so on) are no business of the test's output.
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
    const int rc = ::posix_spawn(&pid_, browser, &files, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
      throw std::runtime_error("cannot start the browser");
    }
  }
  ~Browser() {
    ::kill(-pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(-pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        break;
      }
      std::this_thread::sleep_for(20ms);
    }
    ::kill(-pid_, SIGKILL);  // helpers that outlived the main process
  }
  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;

 private:
  pid_t pid_ = -1;
};

bool wait_for_report(PageServer& pages, const std::string& prefix, std::string& found,
                     std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    for (const auto& report : pages.reports()) {
      if (report.starts_with(prefix)) {
        found = report;
        return true;
      }
    }
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

TEST(BrowserEventSource, APageOfAnAllowedOriginReadsTheStream) {
  if (!std::filesystem::exists(browser)) {
    GTEST_SKIP() << "no browser at " << browser;
  }
  TempDir dir;
  PageServer pages("");
  const std::string origin = "http://127.0.0.1:" + std::to_string(pages.port());
  ServerProcess server(dir.file("data"), {"--allow-origin", origin});
  const std::string events = "http://127.0.0.1:" + std::to_string(server.port()) + "/api/events";
  pages.set_page(R"(<!doctype html><script>
const report = (path) => fetch(path).catch(() => {});
const source = new EventSource(")" +
                 events + R"(");
source.onopen = () => report("/opened");
source.onerror = () => report("/error?state=" + source.readyState);
source.addEventListener("feeds", (event) => {
  report("/feeds?id=" + event.lastEventId + "&data=" + encodeURIComponent(event.data));
});
</script>)");
  pages.start();
  Browser chromium(dir.file("profile"), origin + "/");

  std::string report;
  ASSERT_TRUE(wait_for_report(pages, "/opened", report, 30s)) << "the page never opened the stream";
  HttpClient client("127.0.0.1", server.port());
  const boost::json::array rows{boost::json::array{3, 7, "2016-01-05 15:00:00", "hello", 20}};
  ASSERT_EQ(
      client.post_form("/api/feedgroup", {{"log_feeds", boost::json::serialize(rows)}}).status,
      200);
  ASSERT_TRUE(wait_for_report(pages, "/feeds", report, 10s)) << "the page saw no feeds event";
  const std::string data = report.substr(report.find("&data=") + 6);
  // The page sees the id as given: this run's first, counted from its start instant.
  const std::string id = report.substr(10, report.find('&') - 10);
  ASSERT_TRUE(report.starts_with("/feeds?id=")) << report;
  EXPECT_FALSE(id.empty());
  EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos) << id;
  EXPECT_GT(std::stoll(id), 1) << id;
  EXPECT_EQ(boost::json::parse(data),
            boost::json::parse(R"({"algorithm_id":3,"backtest_id":7,"last_ids":{"log_feeds":1}})"));
  for (const auto& seen : pages.reports()) {
    EXPECT_FALSE(seen.starts_with("/error")) << seen;
  }
}

}  // namespace
}  // namespace stratdesk::test
