#include "common/json_text.hpp"

#include <cmath>

#include <boost/json/value.hpp>

#include "common/py_text.hpp"
#include "text_units.hpp"

namespace stratdesk::common {
namespace {

// The escape JSON has for `c`, or nullptr when it must be written as \u00XX.
const char* short_escape(char32_t c) {
  switch (c) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    case '\b':
      return "\\b";
    case '\f':
      return "\\f";
    default:
      return nullptr;
  }
}

void append_unicode_escape(std::string& out, char32_t cp) {
  if (cp > 0xFFFF) {
    const char32_t v = cp - 0x10000;
    detail::append_hex(out, "\\u", static_cast<unsigned>(0xD800 + (v >> 10)), 4);
    detail::append_hex(out, "\\u", static_cast<unsigned>(0xDC00 + (v & 0x3FF)), 4);
  } else {
    detail::append_hex(out, "\\u", static_cast<unsigned>(cp), 4);
  }
}

void append_ascii_json_string(std::string& out, std::string_view utf8) {
  for (std::size_t i = 0; i < utf8.size();) {
    const char32_t cp = detail::next_code_point(utf8, i);
    if (const char* escape = short_escape(cp)) {
      out += escape;
    } else if (cp >= 0x20 && cp < 0x7F) {
      out += static_cast<char>(cp);
    } else {
      append_unicode_escape(out, cp);
    }
  }
}

// Copies runs of plain bytes at once: most text needs no escape at all.
void append_utf8_json_string(std::string& out, std::string_view utf8) {
  std::size_t clean_from = 0;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0x20 && c != '"' && c != '\\') {
      continue;
    }
    out.append(utf8.substr(clean_from, i - clean_from));
    clean_from = i + 1;
    if (const char* escape = short_escape(c)) {
      out += escape;
    } else {
      append_unicode_escape(out, c);
    }
  }
  out.append(utf8.substr(clean_from));
}

template <class Range, class AppendOne>
void append_sequence(std::string& out, char open, char close, const Range& range,
                     std::string_view separator, AppendOne append_one) {
  out += open;
  bool first = true;
  for (const auto& item : range) {
    if (!first) {
      out += separator;
    }
    first = false;
    append_one(item);
  }
  out += close;
}

}  // namespace

void append_json_string(std::string& out, std::string_view utf8, bool ascii_only) {
  out += '"';
  if (ascii_only) {
    append_ascii_json_string(out, utf8);
  } else {
    append_utf8_json_string(out, utf8);
  }
  out += '"';
}

void append_json_double(std::string& out, double value, const JsonStyle& style) {
  if (std::isfinite(value)) {
    append_python_float(out, value);
  } else if (!style.python_non_finite) {
    out += "null";
  } else if (std::isnan(value)) {
    out += "NaN";
  } else {
    out += value > 0 ? "Infinity" : "-Infinity";
  }
}

void append_json(std::string& out, const boost::json::value& value, const JsonStyle& style) {
  switch (value.kind()) {
    case boost::json::kind::null:
      out += "null";
      break;
    case boost::json::kind::bool_:
      out += value.get_bool() ? "true" : "false";
      break;
    case boost::json::kind::int64:
      out += std::to_string(value.get_int64());
      break;
    case boost::json::kind::uint64:
      out += std::to_string(value.get_uint64());
      break;
    case boost::json::kind::double_:
      append_json_double(out, value.get_double(), style);
      break;
    case boost::json::kind::string:
      append_json_string(out, value.get_string(), style.ascii_only);
      break;
    case boost::json::kind::array:
      append_sequence(out, '[', ']', value.get_array(), style.item_separator,
                      [&](const boost::json::value& element) { append_json(out, element, style); });
      break;
    case boost::json::kind::object:
      append_sequence(out, '{', '}', value.get_object(), style.item_separator,
                      [&](const boost::json::key_value_pair& member) {
                        append_json_string(out, member.key(), style.ascii_only);
                        out += style.key_separator;
                        append_json(out, member.value(), style);
                      });
      break;
  }
}

std::string to_json_text(const boost::json::value& value) {
  std::string out;
  append_json(out, value);
  return out;
}

}  // namespace stratdesk::common
