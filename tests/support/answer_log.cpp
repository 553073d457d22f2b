#include "answer_log.hpp"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>

#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>

namespace stratdesk::test::answer_log {
namespace {

std::mutex guard;

std::map<unsigned short, std::string>& servers() {
  static std::map<unsigned short, std::string> noted;
  return noted;
}

const char* log_directory() {
  const char* directory = std::getenv("STRATDESK_ANSWER_LOG");
  return directory != nullptr && *directory != '\0' ? directory : nullptr;
}

bool is_json(const HttpResponse& response) {
  const auto type = response.headers.find("content-type");
  return type != response.headers.end() && type->second.starts_with("application/json");
}

void append(const char* directory, const boost::json::object& line) {
  const std::string file =
      std::string(directory) + "/answers-" + std::to_string(::getpid()) + ".jsonl";
  std::ofstream out(file, std::ios::app | std::ios::binary);
  out << boost::json::serialize(line) << '\n';
  if (!out) {
    std::cerr << "answer log: cannot append to " << file << '\n';
  }
}

}  // namespace

void note_server(unsigned short port, const std::string& base_uri) {
  const std::lock_guard lock(guard);
  servers()[port] = base_uri;
}

void record(unsigned short port, const std::string& method, const std::string& target,
            const HttpResponse& response) {
  const char* directory = log_directory();
  if (directory == nullptr || method == "HEAD" || method == "OPTIONS" || !is_json(response)) {
    return;
  }
  const std::lock_guard lock(guard);
  const auto server = servers().find(port);
  if (server == servers().end()) {
    return;
  }
  const boost::json::object line{{"method", method},
                                 {"target", target},
                                 {"base_uri", server->second},
                                 {"status", response.status},
                                 {"body", response.body}};
  append(directory, line);
}

void record_event(const std::string& type, const std::string& data) {
  const char* directory = log_directory();
  if (directory == nullptr) {
    return;
  }
  const std::lock_guard lock(guard);
  append(directory, boost::json::object{{"event", type}, {"data", data}});
}

}  // namespace stratdesk::test::answer_log
