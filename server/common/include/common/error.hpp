#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace stratdesk::common {

// What went wrong, in the terms of the caller who can act on it. The HTTP layer alone maps a
// kind to a status.
enum class ErrorKind {
  bad_request,  // the caller's input is malformed or incomplete
  forbidden,    // the caller asked for something this resource never does
  not_found,    // the thing named does not exist
  conflict,     // the system's state does not allow it now
  unavailable,  // the system has no room for it now; the caller may try again later
  internal,     // the system could not do what it should have done
};

// A refusal a domain function returns as a value: the kind and the client-facing text.
struct Refusal {
  ErrorKind kind = ErrorKind::internal;
  std::string text;
};

// A failure a domain function throws whose message is meant for the client. Anything else that
// escapes a request is an unexpected fault whose details go to the log only.
class Error : public std::runtime_error {
 public:
  Error(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  [[nodiscard]] ErrorKind kind() const noexcept { return kind_; }

 private:
  ErrorKind kind_;
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

}  // namespace stratdesk::common
