#pragma once

// A raw-socket reader of the event stream, as a browser's EventSource reads it: one connection,
// the header, then events parsed line by line. Every wait has a time limit.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include "answer_log.hpp"

namespace stratdesk::test {

struct SseEvent {
  std::int64_t id = -1;  // -1 when the event carried none
  std::string type;
  boost::json::value data;
};

class SseClient {
 public:
  // Connects and sends the GET; `receive_buffer` > 0 shrinks the socket's receive buffer first.
  SseClient(unsigned short port, const std::string& target,
            const std::vector<std::pair<std::string, std::string>>& headers = {},
            int receive_buffer = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
      throw std::runtime_error("socket failed");
    }
    if (receive_buffer > 0) {
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd_);
      throw std::runtime_error("connect failed");
    }
    std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nAccept: text/event-stream\r\n";
    for (const auto& [name, value] : headers) {
      request += name + ": " + value + "\r\n";
    }
    request += "\r\n";
    if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
      ::close(fd_);
      throw std::runtime_error("send failed");
    }
  }
  ~SseClient() { ::close(fd_); }
  SseClient(const SseClient&) = delete;
  SseClient& operator=(const SseClient&) = delete;

  // The status line and header fields, raw; empty when they did not arrive in time.
  std::string header(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    if (header_.empty()) {
      const auto end = fill_until("\r\n\r\n", timeout);
      if (end != std::string::npos) {
        header_ = buffer_.substr(0, end + 4);
        buffer_.erase(0, end + 4);
      }
    }
    return header_;
  }

  int status(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const std::string text = header(timeout);
    return text.size() > 12 ? std::stoi(text.substr(9, 3)) : 0;
  }

  // The body received so far after the header (for answers that are not streams).
  std::string rest(std::chrono::milliseconds timeout) {
    fill_until("\x01never", timeout);
    return buffer_;
  }

  // The next event, or nullopt when none arrives in time or the stream ended. Comment lines
  // are counted in `comments`; a "retry:" field sets `retry`.
  std::optional<SseEvent> next(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    if (header(timeout).empty()) {
      return std::nullopt;
    }
    SseEvent event;
    std::string data;
    bool any = false;
    for (;;) {
      const auto end = fill_until("\n", timeout);
      if (end == std::string::npos) {
        return std::nullopt;
      }
      const std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      if (line.empty()) {
        if (any) {
          if (!data.empty()) {
            event.data = boost::json::parse(data);
          }
          // Every event a test reads is checked against the API document afterwards.
          if (!event.type.empty()) {
            answer_log::record_event(event.type, data);
          }
          return event;
        }
        continue;
      }
      if (line.starts_with(":")) {
        comments.push_back(line);
        continue;
      }
      const auto colon = line.find(": ");
      const std::string name = line.substr(0, colon);
      const std::string value = colon == std::string::npos ? "" : line.substr(colon + 2);
      if (name == "retry") {
        retry = std::stoi(value);
      } else if (name == "id") {
        event.id = std::stoll(value);
        any = true;
      } else if (name == "event") {
        event.type = value;
        any = true;
      } else if (name == "data") {
        data += value;
        any = true;
      }
    }
  }

  // The next event whose type is not `skipped`.
  std::optional<SseEvent> next_except(
      const std::string& skipped, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    for (;;) {
      auto event = next(timeout);
      if (!event || event->type != skipped) {
        return event;
      }
    }
  }

  // True when the server closed the connection within `timeout` (whatever it sent first is
  // discarded).
  bool closed_by_server(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char chunk[64 * 1024];
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd descriptor{fd_, POLLIN, 0};
      if (::poll(&descriptor, 1, 50) <= 0) {
        continue;
      }
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) {
        return true;
      }
    }
    return false;
  }

  std::vector<std::string> comments;
  int retry = -1;

 private:
  // Reads until `needle` is in the buffer; its position, or npos on timeout or end of stream.
  std::size_t fill_until(const std::string& needle, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (const auto found = buffer_.find(needle); found != std::string::npos) {
        return found;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        return std::string::npos;
      }
      pollfd descriptor{fd_, POLLIN, 0};
      if (::poll(&descriptor, 1, static_cast<int>(left.count())) <= 0) {
        continue;
      }
      char chunk[16 * 1024];
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) {
        return std::string::npos;
      }
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  int fd_ = -1;
  std::string header_;
  std::string buffer_;
};

}  // namespace stratdesk::test
