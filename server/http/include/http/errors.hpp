#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace stratdesk::http {

// An error whose message is meant for the client: the HTTP layer answers it with its status
// and the body {"message": what()}. Anything else that escapes a handler is a 500 whose
// details go to the log only.
class Error : public std::runtime_error {
 public:
  Error(int status, const std::string& message) : std::runtime_error(message), status_(status) {}
  [[nodiscard]] int status() const noexcept { return status_; }

 private:
  int status_;
};

// An infrastructure failure (answered 500) whose cause the user or a client can act on, such as
// a full disk: the answer's message names the cause in plain words, while the log gets what().
// An empty client message keeps the generic answer.
class InternalError : public std::runtime_error {
 public:
  InternalError(const std::string& what, std::string client_message)
      : std::runtime_error(what), client_message_(std::move(client_message)) {}
  [[nodiscard]] const std::string& client_message() const noexcept { return client_message_; }

 private:
  std::string client_message_;
};

class BadRequest : public Error {
 public:
  explicit BadRequest(const std::string& message) : Error(400, message) {}
};

}  // namespace stratdesk::http
