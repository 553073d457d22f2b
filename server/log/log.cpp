#include "log/log.hpp"

#include <filesystem>

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

namespace stratdesk::log {
namespace {

constexpr const char* line_pattern = "%Y-%m-%d %H:%M:%S.%e %-7l %v";

struct State {
  std::shared_ptr<spdlog::logger> impl;
  Logger logger;
  std::string path;

  State() : impl(make_stderr_logger()), logger(impl) {}

  static std::shared_ptr<spdlog::logger> make_stderr_logger() {
    auto impl = std::make_shared<spdlog::logger>("stratdesk",
                                                 std::make_shared<spdlog::sinks::stderr_sink_mt>());
    impl->set_pattern(line_pattern);
    impl->set_level(spdlog::level::info);
    // Lines are read by people and tests while the server runs; a crash must not eat them.
    impl->flush_on(spdlog::level::info);
    return impl;
  }
};

State& state() {
  static State instance;
  return instance;
}

}  // namespace

void init(const std::string& log_path) {
  State& s = state();
  if (s.path == log_path) {
    return;
  }
  const std::filesystem::path path(log_path);
  if (path.has_parent_path()) {
    std::filesystem::create_directories(path.parent_path());
  }
  auto file_sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(log_path);
  file_sink->set_pattern(line_pattern);
  auto& sinks = s.impl->sinks();
  if (!s.path.empty()) {
    sinks.pop_back();
  }
  sinks.push_back(std::move(file_sink));
  s.path = log_path;
}

Logger& logger() {
  return state().logger;
}

std::function<void(std::exception_ptr)> report_failure_of(std::string task) {
  return [task = std::move(task)](std::exception_ptr error) {
    if (!error) {
      return;
    }
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      logger().error("{} ended: {}", task, e.what());
    } catch (...) {
      logger().error("{} ended by an unknown error", task);
    }
  };
}

}  // namespace stratdesk::log
