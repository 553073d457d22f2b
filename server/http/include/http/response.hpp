#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/json/value.hpp>

#include "common/error.hpp"
#include "http/stream.hpp"

namespace stratdesk::http {

// An answer: a status and a JSON value, written as application/json.
struct Response {
  int status = 200;
  boost::json::value body;
  std::vector<std::pair<std::string, std::string>> headers;
  // JSON text already written by the resource; when set it is sent instead of `body`.
  std::optional<std::string> body_text;
  // When set, the answer is a stream: the header goes out without a length and `stream` writes
  // the body until it returns; the connection is not reused.
  StreamWriter stream;
  // When set, body_text is the first piece of a body sent in chunks (Transfer-Encoding:
  // chunked) and `pieces` gives the rest; the connection may serve further requests.
  BodyPieces pieces;

  static Response json(boost::json::value body, int status = 200) {
    return Response{status, std::move(body), {}, std::nullopt, {}, {}};
  }
  static Response json_text(std::string text, int status = 200) {
    return Response{status, nullptr, {}, std::move(text), {}, {}};
  }
  // A refusal a resource names: its message as a JSON string, with its status.
  static Response refusal(int status, std::string_view message) {
    return Response{status, boost::json::value(boost::json::string(message)), {}, std::nullopt, {},
                    {}};
  }
  // A refusal a domain function returned: its text as a JSON string, with its kind's status.
  static Response refusal(const common::Refusal& refusal);
  // An error of the HTTP layer: {"message": text}.
  static Response message(int status, std::string_view text);
  // An error a resource meets: {"message": text}, with its kind's status.
  static Response message(common::ErrorKind kind, std::string_view text);
};

}  // namespace stratdesk::http
