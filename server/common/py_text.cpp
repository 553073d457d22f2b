#include "common/py_text.hpp"

#include "text_units.hpp"

#include <algorithm>
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

// The shortest round-trip digits of a positive finite double and its decimal exponent:
// value == d1.d2d3... * 10^exponent. Kept in a fixed buffer: reals are written by the
// thousand in every page of results.
struct ShortestDigits {
  std::array<char, 24> digits{};
  std::size_t count = 0;
  int exponent = 0;
};

ShortestDigits shortest_digits(double magnitude) {
  std::array<char, 40> text{};
  const auto [end, ec] = std::to_chars(text.data(), text.data() + text.size(), magnitude,
                                       std::chars_format::scientific);
  ShortestDigits out;
  const char* at = text.data();
  for (; at != end && *at != 'e'; ++at) {
    if (*at != '.') {
      out.digits[out.count++] = *at;
    }
  }
  // "e+16", "e-05": from_chars takes no '+'.
  const char* exponent = at + 1 < end && at[1] == '+' ? at + 2 : at + 1;
  std::from_chars(exponent, end, out.exponent);
  (void)ec;  // a double always fits in 40 characters
  return out;
}

void append_exponent_form(std::string& out, const ShortestDigits& d) {
  out += d.digits[0];
  if (d.count > 1) {
    out += '.';
    out.append(d.digits.data() + 1, d.count - 1);
  }
  out += d.exponent < 0 ? "e-" : "e+";
  const int magnitude = std::abs(d.exponent);
  if (magnitude < 10) {
    out += '0';
  }
  std::array<char, 8> text{};
  const auto written = std::to_chars(text.data(), text.data() + text.size(), magnitude);
  out.append(text.data(), written.ptr);
}

void append_positional_form(std::string& out, const ShortestDigits& d) {
  const int point = d.exponent + 1;  // digits before the decimal point
  const std::string_view digits(d.digits.data(), d.count);
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (static_cast<std::size_t>(point) >= d.count) {
    out += digits;
    out.append(static_cast<std::size_t>(point) - d.count, '0');
    out += ".0";
  } else {
    out += digits.substr(0, static_cast<std::size_t>(point));
    out += '.';
    out += digits.substr(static_cast<std::size_t>(point));
  }
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
      append_python_float(out, value.get_double());
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

void append_python_float(std::string& out, double value) {
  // Between 1e-4 and 1e16 Python writes the shortest round-trip digits positionally, which is
  // what to_chars writes in fixed notation, less a ".0" for whole numbers. Most prices and
  // quantities of a page fall here; the general road below takes about twice as long.
  if (const double magnitude = std::fabs(value); magnitude >= 1e-4 && magnitude < 1e16) {
    std::array<char, 48> text{};
    const auto written =
        std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    out.append(text.data(), written.ptr);
    if (std::find(text.data(), written.ptr, '.') == written.ptr) {
      out += ".0";
    }
    return;
  }
  if (std::isnan(value)) {
    out += "nan";
    return;
  }
  if (std::isinf(value)) {
    out += value > 0 ? "inf" : "-inf";
    return;
  }
  if (std::signbit(value)) {
    out += '-';
  }
  if (value == 0.0) {
    out += "0.0";
    return;
  }
  const ShortestDigits d = shortest_digits(std::fabs(value));
  // Python switches to exponent notation when the decimal exponent is below -4 or at least 16.
  if (d.exponent < -4 || d.exponent >= 16) {
    append_exponent_form(out, d);
  } else {
    append_positional_form(out, d);
  }
}

std::string python_float_repr(double value) {
  std::string out;
  append_python_float(out, value);
  return out;
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
