#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/errors.hpp"

namespace stratdesk::http {

struct FormField {
  std::string name;
  std::string value;
};

// A multipart part that carried a filename: an upload, not a form field.
struct FilePart {
  std::string name;
  std::string filename;
  std::string content_type;
  std::string data;
};

// Decoded form or query fields, in the order they were sent. Repeated names are kept;
// `first` answers the first value, which is the one every resource reads.
class Fields {
 public:
  Fields() = default;
  explicit Fields(std::vector<FormField> fields) : fields_(std::move(fields)) {}

  [[nodiscard]] const std::string* first(std::string_view name) const;
  [[nodiscard]] bool contains(std::string_view name) const { return first(name) != nullptr; }
  [[nodiscard]] const std::vector<FormField>& all() const { return fields_; }
  [[nodiscard]] bool empty() const { return fields_.empty(); }

  void add(std::string name, std::string value);

 private:
  std::vector<FormField> fields_;
};

struct Form {
  Fields fields;
  std::vector<FilePart> files;
};

// Decodes %XX escapes (and '+' as a space when `plus_is_space`). Throws BadRequest on a
// malformed escape or when the decoded bytes are not valid UTF-8.
std::string percent_decode(std::string_view text, bool plus_is_space);

// Decodes an application/x-www-form-urlencoded body or a query string ("a=1&b=x+y").
// Raw characters that a strict URL grammar forbids ('[', '"', spaces...) are accepted, since
// `curl -d` sends them unencoded; broken escapes and invalid UTF-8 throw BadRequest.
Fields parse_urlencoded(std::string_view text);

// Decodes a multipart/form-data body. Parts with a filename become files; all others are
// fields and must be valid UTF-8. Throws BadRequest on any deviation from the format
// (missing or unterminated boundary, a part without Content-Disposition, truncated body).
Form parse_multipart(std::string_view body, std::string_view boundary);

// The boundary parameter of a multipart/form-data Content-Type, unquoted; nullopt when the
// media type is not multipart/form-data or carries no usable boundary.
std::optional<std::string> multipart_boundary(std::string_view content_type);

// The media type of a Content-Type header, lower-cased, without parameters.
std::string media_type(std::string_view content_type);

}  // namespace stratdesk::http
