#include "common/json_parse.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/value_stack.hpp>

namespace stratdesk::common {
namespace {

// A non-finite literal of the original text, found by its place among the text's numbers.
struct NonFinite {
  std::size_t number_index;
  double value;
};

// Builds values like Boost.JSON's own parser does, but reads reals from their text.
class PreciseHandler {
 public:
  static constexpr std::size_t max_object_size = boost::json::object::max_size();
  static constexpr std::size_t max_array_size = boost::json::array::max_size();
  static constexpr std::size_t max_key_size = boost::json::string::max_size();
  static constexpr std::size_t max_string_size = boost::json::string::max_size();

  PreciseHandler(boost::json::storage_ptr storage, std::span<const NonFinite> non_finite)
      : non_finite_(non_finite) {
    stack.reset(std::move(storage));
  }

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
    if (!push_non_finite()) {
      stack.push_int64(i);
    }
    return true;
  }
  bool on_uint64(std::uint64_t u, boost::json::string_view, boost::system::error_code&) {
    number_.clear();
    if (!push_non_finite()) {
      stack.push_uint64(u);
    }
    return true;
  }
  bool on_double(double approximate, boost::json::string_view s, boost::system::error_code&) {
    if (push_non_finite()) {
      number_.clear();
      return true;
    }
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
  // Every number ends in exactly one of the on_int64/on_uint64/on_double calls, so counting
  // them finds the stand-ins that replaced non-finite literals.
  bool push_non_finite() {
    const std::size_t index = numbers_seen_++;
    if (next_non_finite_ == non_finite_.size() ||
        non_finite_[next_non_finite_].number_index != index) {
      return false;
    }
    stack.push_double(non_finite_[next_non_finite_++].value);
    return true;
  }

  std::string number_;
  std::span<const NonFinite> non_finite_;
  std::size_t next_non_finite_ = 0;
  std::size_t numbers_seen_ = 0;
};

struct Literal {
  std::string_view text;
  double value;
};

constexpr Literal non_finite_literals[] = {
    {"NaN", std::numeric_limits<double>::quiet_NaN()},
    {"Infinity", std::numeric_limits<double>::infinity()},
    {"-Infinity", -std::numeric_limits<double>::infinity()},
};

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Where a value may begin, and where one must end: a literal glued to other characters
// ("1NaN", "Infinity1", "-NaN") stays as it was, so the parser refuses it as Python does.
bool may_precede_value(char c) {
  return is_space(c) || c == '[' || c == ',' || c == ':';
}
bool may_follow_value(char c) {
  return is_space(c) || c == ',' || c == ']' || c == '}';
}

bool is_number_char(char c) {
  return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

const Literal* literal_at(std::string_view text, std::size_t i) {
  for (const Literal& literal : non_finite_literals) {
    if (text.compare(i, literal.text.size(), literal.text) == 0) {
      const std::size_t end = i + literal.text.size();
      return end == text.size() || may_follow_value(text[end]) ? &literal : nullptr;
    }
  }
  return nullptr;
}

std::size_t string_end(std::string_view text, std::size_t open_quote) {
  std::size_t i = open_quote + 1;
  while (i < text.size() && text[i] != '"') {
    i += text[i] == '\\' ? 2 : 1;
  }
  return std::min(i + 1, text.size());
}

// Copies `text` with every non-finite literal outside strings replaced by the number 0 and
// notes which number each replacement is. Numbers are counted as the parser will see them
// when the copy is valid JSON; when it is not, the parser refuses it and the count is moot.
std::vector<NonFinite> replace_non_finite(std::string_view text, std::string& copy) {
  std::vector<NonFinite> found;
  std::size_t numbers = 0;
  copy.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (c == '"') {
      const std::size_t end = string_end(text, i);
      copy.append(text.substr(i, end - i));
      i = end;
      continue;
    }
    if (i == 0 || may_precede_value(text[i - 1])) {
      if (const Literal* literal = literal_at(text, i)) {
        found.push_back({numbers++, literal->value});
        copy += '0';
        i += literal->text.size();
        continue;
      }
      if (c == '-' || (c >= '0' && c <= '9')) {
        std::size_t end = i;
        while (end < text.size() && is_number_char(text[end])) {
          ++end;
        }
        ++numbers;
        copy.append(text.substr(i, end - i));
        i = end;
        continue;
      }
    }
    copy += c;
    ++i;
  }
  return found;
}

boost::json::value parse_strict(std::string_view text, std::span<const NonFinite> non_finite,
                                boost::system::error_code& ec,
                                const boost::json::storage_ptr& storage) {
  boost::json::parse_options options;
  options.max_depth = max_json_depth;
  boost::json::basic_parser<PreciseHandler> parser(options, storage, non_finite);
  const std::size_t consumed = parser.write_some(false, text.data(), text.size(), ec);
  if (!ec && consumed < text.size()) {
    ec = boost::json::error::extra_data;
  }
  if (ec) {
    return nullptr;
  }
  return parser.handler().stack.release();
}

}  // namespace

boost::json::value parse_json(std::string_view text, boost::system::error_code& ec,
                              boost::json::storage_ptr storage) {
  // Strict text, by far the common case, is read once and never copied; only text that fails
  // and may hold a literal pays for the copy and a second parse.
  boost::json::value value = parse_strict(text, {}, ec, storage);
  if (!ec || (text.find("NaN") == std::string_view::npos &&
              text.find("Infinity") == std::string_view::npos)) {
    return value;
  }
  std::string copy;
  const std::vector<NonFinite> non_finite = replace_non_finite(text, copy);
  if (non_finite.empty()) {
    return value;
  }
  boost::system::error_code copy_ec;
  value = parse_strict(copy, non_finite, copy_ec, storage);
  ec = copy_ec;
  return value;
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
