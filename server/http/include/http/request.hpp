#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/json/value.hpp>

#include "http/forms.hpp"

namespace stratdesk::http {

using RequestMessage = boost::beast::http::request<boost::beast::http::string_body>;

// What modules above the HTTP layer keep for the length of one request (the database
// connection lives here). Items are destroyed when the request is answered, newest first,
// before the answer is written.
class RequestContext {
 public:
  RequestContext() = default;
  RequestContext(const RequestContext&) = delete;
  RequestContext& operator=(const RequestContext&) = delete;
  ~RequestContext() { clear(); }

  template <class T>
  T* find() {
    for (auto& item : items_) {
      if (item.key == &key_of<T>) {
        return static_cast<T*>(item.object.get());
      }
    }
    return nullptr;
  }

  template <class T, class... Args>
  T& emplace(Args&&... args) {
    auto object = std::make_shared<T>(std::forward<Args>(args)...);
    T& reference = *object;
    items_.push_back({&key_of<T>, std::move(object)});
    return reference;
  }

  void clear() noexcept {
    while (!items_.empty()) {
      items_.pop_back();
    }
  }

 private:
  template <class T>
  static constexpr char key_of = 0;

  struct Item {
    const void* key;
    std::shared_ptr<void> object;
  };
  std::vector<Item> items_;
};

// One HTTP request as the resources see it: the decoded path, the query and form fields
// (decoded on first use), an optional JSON body, and the per-request context.
class Request {
 public:
  explicit Request(RequestMessage message);

  [[nodiscard]] boost::beast::http::verb method() const { return message_.method(); }
  [[nodiscard]] std::string_view method_text() const { return message_.method_string(); }
  [[nodiscard]] std::string_view target() const { return message_.target(); }
  // The path with percent escapes decoded (left as sent when they are malformed).
  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] std::string_view header(std::string_view name) const;
  [[nodiscard]] const std::string& body() const { return message_.body(); }
  [[nodiscard]] bool keep_alive() const { return message_.keep_alive(); }
  [[nodiscard]] const RequestMessage& message() const { return message_; }

  // Query-string fields. Throws BadRequest when the query is malformed.
  const Fields& query();
  // Form fields of an application/x-www-form-urlencoded or multipart/form-data body; empty for
  // any other body. Throws BadRequest when the body is malformed.
  const Fields& form();
  // The first value of form field `name`, or nullptr.
  const std::string* form_value(std::string_view name) { return form().first(name); }
  // The first value of form field `name`; throws BadRequest naming the field when absent.
  const std::string& required_form_value(std::string_view name);
  // The body parsed as JSON when its Content-Type is application/json (or +json), else nullptr.
  // Throws BadRequest when such a body is not valid JSON.
  const boost::json::value* json_body();

  RequestContext& context() { return context_; }

 private:
  void parse_form();

  RequestMessage message_;
  std::string path_;
  std::string query_text_;
  std::optional<Fields> query_;
  std::optional<Form> form_;
  std::optional<boost::json::value> json_;
  bool json_parsed_ = false;
  RequestContext context_;
};

}  // namespace stratdesk::http
