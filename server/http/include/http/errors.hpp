#pragma once

#include <stdexcept>
#include <string>

#include "common/error.hpp"

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

class BadRequest : public Error {
 public:
  explicit BadRequest(const std::string& message) : Error(400, message) {}
};

// The one place where a domain's kind of error becomes an HTTP status.
int status_of(common::ErrorKind kind) noexcept;

}  // namespace stratdesk::http
