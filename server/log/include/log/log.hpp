#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include <spdlog/logger.h>

// The server's one logger. Messages are "{}" templates filled in order, as everywhere in the
// server's log lines.
namespace stratdesk::log {

class Logger {
 public:
  explicit Logger(std::shared_ptr<spdlog::logger> impl) : impl_(std::move(impl)) {}

  template <class... Args>
  void info(spdlog::format_string_t<Args...> format, Args&&... args) {
    impl_->info(format, std::forward<Args>(args)...);
  }
  template <class... Args>
  void warning(spdlog::format_string_t<Args...> format, Args&&... args) {
    impl_->warn(format, std::forward<Args>(args)...);
  }
  template <class... Args>
  void error(spdlog::format_string_t<Args...> format, Args&&... args) {
    impl_->error(format, std::forward<Args>(args)...);
  }

 private:
  std::shared_ptr<spdlog::logger> impl_;
};

// Sends the log to `log_path` (created with its parent directories) besides standard error.
// Calling it again with the same path changes nothing, so every task may call it on start;
// a different path moves the file sink there. Throws spdlog::spdlog_ex when the file cannot be
// opened.
void init(const std::string& log_path);

// The logger; before `init` it writes to standard error only.
Logger& logger();

// A completion handler for a spawned task: logs at error level "<task> ended: <what>" when the
// task ends by an exception, nothing otherwise.
std::function<void(std::exception_ptr)> report_failure_of(std::string task);

}  // namespace stratdesk::log
