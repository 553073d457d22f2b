#include "common/py_text.hpp"

#include "text_units.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <stdexcept>

#include <boost/json/value.hpp>

#include "common/json_text.hpp"

namespace stratdesk::common {
namespace {

using detail::append_hex;
using detail::next_code_point;

// Splits the shortest round-trip text of |value| into its digits and decimal exponent, so
// that value == 0.d1d2d3... * 10^exponent_after_point.
struct ShortestDigits {
  std::string digits;
  int point = 0;  // position of the decimal point relative to the first digit
};

ShortestDigits shortest_digits(double magnitude) {
  std::array<char, 64> buffer{};
  auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), magnitude,
                                 std::chars_format::scientific);
  if (ec != std::errc{}) {
    throw std::runtime_error("cannot format a double");
  }
  const std::string_view text(buffer.data(), static_cast<std::size_t>(end - buffer.data()));
  const auto e_pos = text.find('e');
  ShortestDigits out;
  for (char c : text.substr(0, e_pos)) {
    if (c != '.') {
      out.digits.push_back(c);
    }
  }
  int exponent = 0;
  std::string_view exp_text = text.substr(e_pos + 1);
  if (!exp_text.empty() && exp_text.front() == '+') {
    exp_text.remove_prefix(1);
  }
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
  out.point = exponent + 1;
  return out;
}

std::string exponent_form(const ShortestDigits& d) {
  std::string out(1, d.digits.front());
  if (d.digits.size() > 1) {
    out += '.';
    out.append(d.digits, 1);
  }
  const int exponent = d.point - 1;
  char exp_text[16];
  std::snprintf(exp_text, sizeof exp_text, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
  return out + exp_text;
}

std::string positional_form(const ShortestDigits& d) {
  std::string out;
  if (d.point <= 0) {
    out = "0." + std::string(static_cast<std::size_t>(-d.point), '0') + d.digits;
  } else if (static_cast<std::size_t>(d.point) >= d.digits.size()) {
    out = d.digits + std::string(static_cast<std::size_t>(d.point) - d.digits.size(), '0') + ".0";
  } else {
    out = d.digits.substr(0, static_cast<std::size_t>(d.point)) + "." +
          d.digits.substr(static_cast<std::size_t>(d.point));
  }
  return out;
}

// Python's str.isprintable() for the ranges that occur in practice: controls, the C1 block,
// the no-break and other separators, line/paragraph separators, BOM and the private-use and
// surrogate blocks are not printable; everything else is kept as is.
bool is_python_printable(char32_t cp) {
  if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0xA0) || cp == 0xAD) {
    return false;
  }
  if ((cp >= 0x2000 && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202F) ||
      (cp >= 0x205F && cp <= 0x206F) || cp == 0x3000 || cp == 0xFEFF || cp == 0x1680) {
    return false;
  }
  if ((cp >= 0xD800 && cp <= 0xF8FF) || cp >= 0xF0000 || (cp >= 0xFFF0 && cp <= 0xFFFB)) {
    return false;
  }
  return true;
}

void append_repr_escape(std::string& out, char32_t cp) {
  if (cp == '\n') {
    out += "\\n";
  } else if (cp == '\r') {
    out += "\\r";
  } else if (cp == '\t') {
    out += "\\t";
  } else if (cp <= 0xFF) {
    append_hex(out, "\\x", static_cast<unsigned>(cp), 2);
  } else if (cp <= 0xFFFF) {
    append_hex(out, "\\u", static_cast<unsigned>(cp), 4);
  } else {
    append_hex(out, "\\U", static_cast<unsigned>(cp), 8);
  }
}

void append_display(std::string& out, const boost::json::value& value, bool nested);

void append_container_element(std::string& out, const boost::json::value& value) {
  if (value.is_string()) {
    out += python_str_repr(value.get_string());
  } else {
    append_display(out, value, true);
  }
}

void append_display(std::string& out, const boost::json::value& value, bool nested) {
  switch (value.kind()) {
    case boost::json::kind::null:
      out += "None";
      break;
    case boost::json::kind::bool_:
      out += value.get_bool() ? "True" : "False";
      break;
    case boost::json::kind::int64:
      out += std::to_string(value.get_int64());
      break;
    case boost::json::kind::uint64:
      out += std::to_string(value.get_uint64());
      break;
    case boost::json::kind::double_:
      out += python_float_repr(value.get_double());
      break;
    case boost::json::kind::string:
      if (nested) {
        out += python_str_repr(value.get_string());
      } else {
        out.append(value.get_string().data(), value.get_string().size());
      }
      break;
    case boost::json::kind::array: {
      out += '[';
      bool first = true;
      for (const auto& element : value.get_array()) {
        out += first ? "" : ", ";
        first = false;
        append_container_element(out, element);
      }
      out += ']';
      break;
    }
    case boost::json::kind::object: {
      out += '{';
      bool first = true;
      for (const auto& member : value.get_object()) {
        out += first ? "" : ", ";
        first = false;
        out += python_str_repr(member.key());
        out += ": ";
        append_container_element(out, member.value());
      }
      out += '}';
      break;
    }
  }
}

}  // namespace

std::string python_float_repr(double value) {
  if (std::isnan(value)) {
    return "nan";
  }
  if (std::isinf(value)) {
    return value > 0 ? "inf" : "-inf";
  }
  if (value == 0.0) {
    return std::signbit(value) ? "-0.0" : "0.0";
  }
  const ShortestDigits d = shortest_digits(std::fabs(value));
  // Python switches to exponent notation when the decimal exponent is below -4 or at least 16.
  const int exponent = d.point - 1;
  std::string text = (exponent < -4 || exponent >= 16) ? exponent_form(d) : positional_form(d);
  return std::signbit(value) ? "-" + text : text;
}

std::string python_str_repr(std::string_view utf8) {
  const bool has_single = utf8.find('\'') != std::string_view::npos;
  const bool has_double = utf8.find('"') != std::string_view::npos;
  const char quote = (has_single && !has_double) ? '"' : '\'';
  std::string out(1, quote);
  for (std::size_t i = 0; i < utf8.size();) {
    const std::size_t start = i;
    const char32_t cp = next_code_point(utf8, i);
    if (cp == static_cast<char32_t>(quote) || cp == '\\') {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (is_python_printable(cp)) {
      out.append(utf8.substr(start, i - start));
    } else {
      append_repr_escape(out, cp);
    }
  }
  out += quote;
  return out;
}

std::string display_form(const boost::json::value& value) {
  std::string out;
  append_display(out, value, false);
  return out;
}

std::string python_json_dumps(const boost::json::value& value) {
  std::string out;
  append_json(out, value, python_json_style);
  return out;
}

}  // namespace stratdesk::common
