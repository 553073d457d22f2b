#include "http/request.hpp"

#include "common/json_parse.hpp"

namespace stratdesk::http {
namespace {

std::string decode_path(std::string_view path) {
  try {
    return percent_decode(path, false);
  } catch (const BadRequest&) {
    // A path with a broken escape matches no route and is answered 404 like any unknown path.
    return std::string(path);
  }
}

bool is_json_media_type(std::string_view type) {
  return type == "application/json" ||
         (type.starts_with("application/") && type.ends_with("+json"));
}

}  // namespace

Request::Request(RequestMessage message) : message_(std::move(message)) {
  const std::string_view target = message_.target();
  const auto question = target.find('?');
  path_ = decode_path(target.substr(0, question));
  if (question != std::string_view::npos) {
    query_text_ = target.substr(question + 1);
  }
}

std::string_view Request::header(std::string_view name) const {
  const auto found = message_.find(name);
  return found == message_.end() ? std::string_view{} : std::string_view(found->value());
}

const Fields& Request::query() {
  if (!query_) {
    query_ = parse_urlencoded(query_text_);
  }
  return *query_;
}

void Request::parse_form() {
  const std::string_view content_type = header("Content-Type");
  const std::string type = media_type(content_type);
  if (type == "application/x-www-form-urlencoded") {
    form_ = Form{parse_urlencoded(body()), {}};
  } else if (type == "multipart/form-data") {
    const auto boundary = multipart_boundary(content_type);
    if (!boundary) {
      throw BadRequest("multipart/form-data body without a valid boundary parameter");
    }
    form_ = parse_multipart(body(), *boundary);
  } else {
    form_ = Form{};
  }
}

const Fields& Request::form() {
  if (!form_) {
    parse_form();
  }
  return form_->fields;
}

const std::string& Request::required_form_value(std::string_view name) {
  const std::string* value = form_value(name);
  if (value == nullptr) {
    throw BadRequest("missing required form field '" + std::string(name) + "'");
  }
  return *value;
}

const boost::json::value* Request::json_body() {
  if (!json_parsed_) {
    json_parsed_ = true;
    if (is_json_media_type(media_type(header("Content-Type")))) {
      boost::system::error_code ec;
      auto parsed = common::parse_json(body(), ec);
      if (ec) {
        throw BadRequest("request body is not valid JSON: " + ec.message());
      }
      json_ = std::move(parsed);
    }
  }
  return json_ ? &*json_ : nullptr;
}

}  // namespace stratdesk::http
