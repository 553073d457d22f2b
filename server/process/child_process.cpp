#include "process/child_process.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <memory>
#include <string_view>
#include <system_error>
#include <utility>

#include <spawn.h>
#include <sys/wait.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "tasks/task_group.hpp"

extern char** environ;

namespace stratdesk::process {
namespace {

namespace asio = boost::asio;

void check(int rc, const char* what) {
  if (rc != 0) {
    throw std::system_error(rc, std::generic_category(), what);
  }
}

// posix_spawn's attribute and file-action objects own memory: freed on every path out of
// spawn().
template <class Object, int (*init)(Object*), int (*destroy)(Object*)>
struct SpawnObject {
  Object value;
  explicit SpawnObject(const char* init_name) { check(init(&value), init_name); }
  ~SpawnObject() { destroy(&value); }
  SpawnObject(const SpawnObject&) = delete;
  SpawnObject& operator=(const SpawnObject&) = delete;
};
using Attributes = SpawnObject<posix_spawnattr_t, posix_spawnattr_init, posix_spawnattr_destroy>;
using FileActions = SpawnObject<posix_spawn_file_actions_t, posix_spawn_file_actions_init,
                                posix_spawn_file_actions_destroy>;

struct SpawnSettings {
  Attributes attributes{"posix_spawnattr_init"};
  FileActions actions{"posix_spawn_file_actions_init"};

  SpawnSettings() {
    // The server handles TERM and INT for its own shutdown and ignores PIPE; an engine that
    // inherited that would not stop when asked, or would die silently on a closed socket.
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    check(posix_spawnattr_setsigmask(&attributes.value, &none), "posix_spawnattr_setsigmask");
    check(posix_spawnattr_setsigdefault(&attributes.value, &all), "posix_spawnattr_setsigdefault");
    check(
        posix_spawnattr_setflags(&attributes.value, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF),
        "posix_spawnattr_setflags");
    // Asio opens sockets without close-on-exec: a child would otherwise hold the HTTP listener
    // and client connections open, and an engine outliving the server would keep its port.
    check(posix_spawn_file_actions_addclosefrom_np(&actions.value, 3),
          "posix_spawn_file_actions_addclosefrom_np");
  }
};

// 0 while the child runs, its pid once reaped, -1 when it is not (or no longer) our child.
pid_t try_wait(pid_t pid, int& status) {
  pid_t result = 0;
  do {
    result = ::waitpid(pid, &status, WNOHANG);
  } while (result < 0 && errno == EINTR);
  return result;
}

// Children whose owners let go of them while they ran.
std::vector<pid_t>& orphans() {
  static std::vector<pid_t> pids;
  return pids;
}

// Alive exactly as long as a reaper coroutine exists, including one whose event loop was
// destroyed before it ran: its frame, and the token with it, goes away then.
std::weak_ptr<void>& reaper_token() {
  static std::weak_ptr<void> token;
  return token;
}

void reap_orphans() {
  std::erase_if(orphans(), [](pid_t pid) {
    int status = 0;
    return try_wait(pid, status) != 0;
  });
}

asio::awaitable<void> reap_until_none_left(std::shared_ptr<void> token) {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  // A child usually ends right after it is let go; one that lingers is checked ever less often.
  auto interval = std::chrono::milliseconds(10);
  for (;;) {
    reap_orphans();
    if (orphans().empty()) {
      // Released before returning, so a child handed over from now on starts a new reaper.
      token.reset();
      co_return;
    }
    timer.expires_after(interval);
    co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
    interval = std::min(interval * 2, std::chrono::milliseconds(1000));
  }
}

}  // namespace

std::string ChildExit::description() const {
  if (status_lost) {
    return "exit status unknown";
  }
  return poll_code >= 0 ? "exit code " + std::to_string(poll_code)
                        : "signal " + std::to_string(-poll_code);
}

namespace {

// This process's environment with `changes` applied, as "NAME=value" entries.
std::vector<std::string> child_environment(const EnvironmentChanges& changes) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::string_view name = text.substr(0, text.find('='));
    const bool changed = std::any_of(changes.begin(), changes.end(),
                                     [name](const auto& change) { return change.first == name; });
    if (!changed) {
      entries.emplace_back(text);
    }
  }
  for (const auto& [name, value] : changes) {
    if (value) {
      entries.push_back(name + "=" + *value);
    }
  }
  return entries;
}

std::vector<char*> pointers_to(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (std::string& text : texts) {
    pointers.push_back(text.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

ChildProcess ChildProcess::spawn(const std::vector<std::string>& argv,
                                 const EnvironmentChanges& changes) {
  if (argv.empty() || argv.front().empty()) {
    throw std::system_error(ENOENT, std::generic_category(), "no program to start");
  }
  std::vector<std::string> argument_texts = argv;
  const std::vector<char*> arguments = pointers_to(argument_texts);
  std::vector<std::string> environment_texts = child_environment(changes);
  const std::vector<char*> environment = pointers_to(environment_texts);
  const SpawnSettings settings;
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, arguments.front(), &settings.actions.value,
                                &settings.attributes.value, arguments.data(), environment.data());
  if (rc != 0) {
    throw std::system_error(rc, std::generic_category(), "cannot start " + argv.front());
  }
  return ChildProcess(pid);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), exit_(std::exchange(other.exit_, std::nullopt)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    release();
    pid_ = std::exchange(other.pid_, -1);
    exit_ = std::exchange(other.exit_, std::nullopt);
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  release();
}

void ChildProcess::release() noexcept {
  if (pid_ > 0 && !poll()) {
    try {
      orphans().push_back(pid_);
    } catch (...) {
      // Out of memory: the child is reaped with the process instead.
    }
  }
  pid_ = -1;
  exit_.reset();
}

std::optional<ChildExit> ChildProcess::poll() {
  if (exit_ || pid_ <= 0) {
    return exit_;
  }
  int status = 0;
  const pid_t done = try_wait(pid_, status);
  if (done == 0) {
    return std::nullopt;
  }
  if (done < 0) {
    // ECHILD: reaped elsewhere; the child is gone but its status with it.
    exit_ = ChildExit{0, true};
  } else if (WIFSIGNALED(status)) {
    exit_ = ChildExit{-WTERMSIG(status), false};
  } else {
    exit_ = ChildExit{WEXITSTATUS(status), false};
  }
  return exit_;
}

void ChildProcess::terminate() {
  if (pid_ > 0 && !exit_) {
    ::kill(pid_, SIGTERM);
  }
}

void ensure_reaper(tasks::TaskGroup& tasks, const asio::any_io_executor& executor) {
  reap_orphans();
  if (orphans().empty() || !reaper_token().expired()) {
    return;
  }
  auto token = std::make_shared<int>(0);
  reaper_token() = token;
  tasks.spawn(executor, "the child reaper", reap_until_none_left(std::move(token)));
}

}  // namespace stratdesk::process
