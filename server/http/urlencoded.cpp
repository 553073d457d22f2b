// Query strings and application/x-www-form-urlencoded bodies, and the fields both decode to.
// Declared in http/forms.hpp.

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

#include "common/text.hpp"
#include "form_text.hpp"
#include "http/forms.hpp"

namespace stratdesk::http {
namespace {

using detail::quoted;

std::string decode_field_name(std::string_view raw, std::size_t field_number) {
  try {
    return percent_decode(raw, true);
  } catch (const BadRequest& error) {
    throw BadRequest("name of form field " + std::to_string(field_number) + ": " + error.what());
  }
}

std::string decode_field_value(std::string_view raw, std::string_view name) {
  try {
    return percent_decode(raw, true);
  } catch (const BadRequest& error) {
    throw BadRequest("value of form field " + quoted(name) + ": " + error.what());
  }
}

}  // namespace

const std::string* Fields::first(std::string_view name) const {
  const auto found = std::find_if(fields_.begin(), fields_.end(),
                                  [&](const FormField& f) { return f.name == name; });
  return found == fields_.end() ? nullptr : &found->value;
}

void Fields::add(std::string name, std::string value) {
  fields_.push_back({std::move(name), std::move(value)});
}

std::string percent_decode(std::string_view text, bool plus_is_space) {
  std::string decoded = detail::decode_escapes(text, plus_is_space);
  if (!common::is_valid_utf8(decoded)) {
    throw BadRequest("percent-decoded text is not valid UTF-8");
  }
  return decoded;
}

Fields parse_urlencoded(std::string_view text) {
  Fields fields;
  std::size_t field_number = 0;
  while (!text.empty()) {
    const std::size_t ampersand = text.find('&');
    const std::string_view piece = text.substr(0, ampersand);
    text = ampersand == std::string_view::npos ? std::string_view{} : text.substr(ampersand + 1);
    if (piece.empty()) {
      continue;
    }
    ++field_number;
    const std::size_t equals = piece.find('=');
    std::string name = decode_field_name(piece.substr(0, equals), field_number);
    const std::string_view raw_value =
        equals == std::string_view::npos ? std::string_view{} : piece.substr(equals + 1);
    std::string value = decode_field_value(raw_value, name);
    fields.add(std::move(name), std::move(value));
  }
  return fields;
}

}  // namespace stratdesk::http
