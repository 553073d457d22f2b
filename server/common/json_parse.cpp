#include "common/json_parse.hpp"

#include <charconv>
#include <string>

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/value_stack.hpp>

namespace stratdesk::common {
namespace {

// Builds values like Boost.JSON's own parser does, but reads reals from their text.
class PreciseHandler {
 public:
  static constexpr std::size_t max_object_size = boost::json::object::max_size();
  static constexpr std::size_t max_array_size = boost::json::array::max_size();
  static constexpr std::size_t max_key_size = boost::json::string::max_size();
  static constexpr std::size_t max_string_size = boost::json::string::max_size();

  explicit PreciseHandler(boost::json::storage_ptr storage) { stack.reset(std::move(storage)); }

  bool on_document_begin(boost::system::error_code&) { return true; }
  bool on_document_end(boost::system::error_code&) { return true; }
  bool on_object_begin(boost::system::error_code&) { return true; }
  bool on_object_end(std::size_t n, boost::system::error_code&) {
    stack.push_object(n);
    return true;
  }
  bool on_array_begin(boost::system::error_code&) { return true; }
  bool on_array_end(std::size_t n, boost::system::error_code&) {
    stack.push_array(n);
    return true;
  }
  bool on_key_part(boost::json::string_view s, std::size_t, boost::system::error_code&) {
    stack.push_chars(s);
    return true;
  }
  bool on_key(boost::json::string_view s, std::size_t, boost::system::error_code&) {
    stack.push_key(s);
    return true;
  }
  bool on_string_part(boost::json::string_view s, std::size_t, boost::system::error_code&) {
    stack.push_chars(s);
    return true;
  }
  bool on_string(boost::json::string_view s, std::size_t, boost::system::error_code&) {
    stack.push_string(s);
    return true;
  }
  bool on_number_part(boost::json::string_view s, boost::system::error_code&) {
    number_.append(s.data(), s.size());
    return true;
  }
  bool on_int64(std::int64_t i, boost::json::string_view, boost::system::error_code&) {
    number_.clear();
    stack.push_int64(i);
    return true;
  }
  bool on_uint64(std::uint64_t u, boost::json::string_view, boost::system::error_code&) {
    number_.clear();
    stack.push_uint64(u);
    return true;
  }
  bool on_double(double approximate, boost::json::string_view s, boost::system::error_code&) {
    std::string_view text(s.data(), s.size());
    if (!number_.empty()) {
      number_.append(s.data(), s.size());
      text = number_;
    }
    double exact = approximate;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), exact);
    // Out of range: keep what the parser made of it (an infinity or zero).
    stack.push_double(ec == std::errc{} && end == text.data() + text.size() ? exact : approximate);
    number_.clear();
    return true;
  }
  bool on_bool(bool b, boost::system::error_code&) {
    stack.push_bool(b);
    return true;
  }
  bool on_null(boost::system::error_code&) {
    stack.push_null();
    return true;
  }
  bool on_comment_part(boost::json::string_view, boost::system::error_code&) { return true; }
  bool on_comment(boost::json::string_view, boost::system::error_code&) { return true; }

  boost::json::value_stack stack;

 private:
  std::string number_;
};

}  // namespace

boost::json::value parse_json(std::string_view text, boost::system::error_code& ec,
                              boost::json::storage_ptr storage) {
  boost::json::basic_parser<PreciseHandler> parser(boost::json::parse_options{}, storage);
  const std::size_t consumed = parser.write_some(false, text.data(), text.size(), ec);
  if (!ec && consumed < text.size()) {
    ec = boost::json::error::extra_data;
  }
  if (ec) {
    return nullptr;
  }
  return parser.handler().stack.release();
}

boost::json::value parse_json(std::string_view text, boost::json::storage_ptr storage) {
  boost::system::error_code ec;
  auto value = parse_json(text, ec, std::move(storage));
  if (ec) {
    throw boost::system::system_error(ec);
  }
  return value;
}

}  // namespace stratdesk::common
