#include "test_support.hpp"

#include "answer_log.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/json/parse.hpp>

extern char** environ;

namespace stratdesk::test {

namespace fs = std::filesystem;
namespace bhttp = boost::beast::http;
using boost::asio::ip::tcp;

const char* server_binary() {
  return STRATDESK_SERVER_BINARY;
}

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "stratdesk-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

TmpfsMount::TmpfsMount(std::string path, std::size_t bytes) : path_(std::move(path)) {
  fs::create_directories(path_);
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
  mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

TmpfsMount::~TmpfsMount() {
  if (mounted_) {
    ::umount2(path_.c_str(), MNT_DETACH);
  }
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
}

boost::json::value HttpResponse::json() const {
  return boost::json::parse(body);
}

struct HttpClient::Impl {
  std::string host;
  unsigned short port;
  boost::asio::io_context io;
  std::optional<tcp::socket> socket;
  boost::beast::flat_buffer buffer;

  void connect() {
    socket.emplace(io);
    socket->connect(tcp::endpoint(boost::asio::ip::make_address(host), port));
    socket->set_option(tcp::no_delay(true));
    buffer.clear();
  }

  HttpResponse exchange(bhttp::request<bhttp::string_body>& message) {
    bhttp::write(*socket, message);
    bhttp::response_parser<bhttp::string_body> parser;
    parser.body_limit(1024ull * 1024 * 1024);
    if (message.method() == bhttp::verb::head) {
      parser.skip(true);
    }
    bhttp::read(*socket, buffer, parser);
    auto& response = parser.get();
    HttpResponse result;
    result.status = static_cast<int>(response.result_int());
    result.body = response.body();
    for (const auto& field : response) {
      std::string name(field.name_string());
      for (auto& c : name) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
      result.headers[name] = std::string(field.value());
    }
    if (!response.keep_alive()) {
      socket.reset();
    }
    return result;
  }
};

HttpClient::HttpClient(std::string host, unsigned short port) : impl_(std::make_unique<Impl>()) {
  impl_->host = std::move(host);
  impl_->port = port;
}

HttpClient::~HttpClient() = default;

HttpResponse HttpClient::request(const std::string& method, const std::string& target,
                                 const std::string& body, const std::string& content_type,
                                 const std::vector<std::pair<std::string, std::string>>& headers) {
  bhttp::request<bhttp::string_body> message{bhttp::string_to_verb(method), target, 11};
  message.set(bhttp::field::host, impl_->host + ":" + std::to_string(impl_->port));
  if (!content_type.empty()) {
    message.set(bhttp::field::content_type, content_type);
  }
  for (const auto& [name, value] : headers) {
    message.set(name, value);
  }
  message.body() = body;
  message.prepare_payload();
  // A kept-alive connection may have been closed by the server meanwhile: retry once on a
  // fresh one.
  for (int attempt = 0;; ++attempt) {
    try {
      if (!impl_->socket) {
        impl_->connect();
      }
      HttpResponse response = impl_->exchange(message);
      answer_log::record(impl_->port, method, target, response);
      return response;
    } catch (const boost::system::system_error&) {
      impl_->socket.reset();
      if (attempt == 1) {
        throw;
      }
    }
  }
}

HttpResponse HttpClient::post_form(const std::string& target,
                                   const std::vector<std::pair<std::string, std::string>>& fields,
                                   const std::string& method) {
  return request(method, target, form_encode(fields), "application/x-www-form-urlencoded");
}

std::string url_encode(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string form_encode(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string out;
  for (const auto& [name, value] : fields) {
    out += out.empty() ? "" : "&";
    out += url_encode(name) + "=" + url_encode(value);
  }
  return out;
}

std::string raw_exchange(unsigned short port, const std::string& bytes,
                         std::chrono::milliseconds timeout) {
  boost::asio::io_context io;
  tcp::socket socket(io);
  socket.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
  boost::asio::write(socket, boost::asio::buffer(bytes));
  std::string answer;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::array<char, 4096> chunk{};
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd descriptor{socket.native_handle(), POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (::poll(&descriptor, 1, static_cast<int>(std::max<long>(left.count(), 0))) <= 0) {
      break;
    }
    boost::system::error_code ec;
    const std::size_t n = socket.read_some(boost::asio::buffer(chunk), ec);
    if (ec) {
      break;
    }
    answer.append(chunk.data(), n);
  }
  return answer;
}

namespace {

struct Pipe {
  int read_end = -1;
  int write_end = -1;
  Pipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe failed");
    }
    read_end = ends[0];
    write_end = ends[1];
  }
  ~Pipe() {
    close_read();
    close_write();
  }
  void close_read() {
    if (read_end >= 0) {
      ::close(read_end);
      read_end = -1;
    }
  }
  void close_write() {
    if (write_end >= 0) {
      ::close(write_end);
      write_end = -1;
    }
  }
};

std::vector<char*> c_strings(const std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (const auto& string : strings) {
    pointers.push_back(const_cast<char*>(string.c_str()));
  }
  pointers.push_back(nullptr);
  return pointers;
}

// Without `cwd` and `environment`, the child inherits the test's.
pid_t spawn(const std::vector<std::string>& argv, int out_fd, int err_fd,
            const std::string& cwd = {}, const std::vector<std::string>* environment = nullptr) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
  if (!cwd.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  }
  std::vector<char*> args = c_strings(argv);
  std::vector<char*> variables = environment ? c_strings(*environment) : std::vector<char*>();
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(),
                                environment ? variables.data() : environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    throw std::runtime_error("cannot start " + argv[0]);
  }
  return pid;
}

// Reads what is available on `fd` into `out` until `done(out)` or the deadline; false on EOF
// or timeout before `done`.
template <class Done>
bool read_until(int fd, std::string& out, std::chrono::steady_clock::time_point deadline,
                Done done) {
  std::array<char, 4096> chunk{};
  while (!done(out)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return false;
    }
    pollfd descriptor{fd, POLLIN, 0};
    if (::poll(&descriptor, 1, static_cast<int>(left.count())) <= 0) {
      continue;
    }
    const ssize_t n = ::read(fd, chunk.data(), chunk.size());
    if (n <= 0) {
      return done(out);
    }
    out.append(chunk.data(), static_cast<std::size_t>(n));
  }
  return true;
}

int wait_for_exit(pid_t pid, std::chrono::milliseconds timeout, bool& exited) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      exited = true;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }
    if (done < 0 || std::chrono::steady_clock::now() >= deadline) {
      exited = done < 0;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  Pipe out;
  Pipe err;
  const pid_t pid = spawn(argv, out.write_end, err.write_end);
  out.close_write();
  err.close_write();
  ProcessResult result;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const auto never = [](const std::string&) { return false; };
  read_until(out.read_end, result.out, deadline, never);
  read_until(err.read_end, result.err, deadline, never);
  // Closed output does not mean the process has been reaped yet: on a loaded machine it can
  // take a while to exit after its last write, so wait for it until the deadline.
  int status = 0;
  pid_t reaped = 0;
  while ((reaped = ::waitpid(pid, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (reaped == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal_number = WTERMSIG(status);
  }
  return result;
}

namespace {

ServerCommand command_in(const std::string& data_dir, std::vector<std::string> extra) {
  fs::create_directories(data_dir);
  std::vector<std::string> argv = {server_binary(), "--port", "0", "--data-dir", data_dir};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return {argv, {}, {}, data_dir, data_dir + "/logs/stratdesk.log", data_dir + "/server.stderr"};
}

}  // namespace

ServerProcess::ServerProcess(const std::string& data_dir, std::vector<std::string> extra)
    : ServerProcess(command_in(data_dir, std::move(extra))) {}

ServerProcess::ServerProcess(const ServerCommand& command)
    : data_dir_(command.data_dir), log_path_(command.log_path), stderr_path_(command.stderr_path) {
  Pipe out;
  const int err_fd = ::open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  pid_ = spawn(command.argv, out.write_end, err_fd, command.cwd,
               command.environment.empty() ? nullptr : &command.environment);
  ::close(err_fd);
  out.close_write();
  const bool listening = read_until(
      out.read_end, startup_output_, std::chrono::steady_clock::now() + std::chrono::seconds(60),
      [](const std::string& text) {
        const auto at = text.find("listening on http://");
        return at != std::string::npos && text.find('\n', at) != std::string::npos;
      });
  if (!listening) {
    kill_hard();
    throw std::runtime_error("server did not start; output: " + startup_output_ +
                             "\nstderr: " + stderr_text());
  }
  // "listening on http://HOST:PORT/base"
  const auto at = startup_output_.find("listening on http://");
  const auto colon = startup_output_.find(':', at + 20);
  port_ = static_cast<unsigned short>(std::stoi(startup_output_.substr(colon + 1)));
  // The rest of the line is the base URI of its routes.
  const auto base_begin = startup_output_.find_first_not_of("0123456789", colon + 1);
  answer_log::note_server(
      port_, startup_output_.substr(base_begin, startup_output_.find('\n', at) - base_begin));
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) {
    stop();
  }
}

std::string ServerProcess::log_text() const {
  return read_file(log_path_);
}

std::string ServerProcess::stderr_text() const {
  return read_file(stderr_path_);
}

int ServerProcess::stop(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) {
    return -1;
  }
  ::kill(pid_, SIGTERM);
  bool exited = false;
  const int code = wait_for_exit(pid_, timeout, exited);
  if (!exited) {
    kill_hard();
    return -1;
  }
  pid_ = -1;
  return code;
}

void ServerProcess::kill_hard() {
  if (pid_ <= 0) {
    return;
  }
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

bool ServerProcess::wait_for_log(const std::string& text, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (log_text().find(text) != std::string::npos) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return log_text().find(text) != std::string::npos;
}

}  // namespace stratdesk::test
