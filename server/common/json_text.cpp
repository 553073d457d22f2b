#include "common/json_text.hpp"

#include <cmath>

#include <boost/json/value.hpp>

#include "common/py_text.hpp"

namespace stratdesk::common {

void append_json_string(std::string& out, std::string_view utf8) {
  static constexpr char hex[] = "0123456789abcdef";
  out += '"';
  std::size_t clean_from = 0;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0x20 && c != '"' && c != '\\') {
      continue;
    }
    out.append(utf8.substr(clean_from, i - clean_from));
    clean_from = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += "\\u00";
        out += hex[c >> 4];
        out += hex[c & 15];
    }
  }
  out.append(utf8.substr(clean_from));
  out += '"';
}

void append_json_double(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  out += python_float_repr(value);
}

void append_json(std::string& out, const boost::json::value& value) {
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
      append_json_double(out, value.get_double());
      break;
    case boost::json::kind::string:
      append_json_string(out, value.get_string());
      break;
    case boost::json::kind::array: {
      out += '[';
      bool first = true;
      for (const auto& element : value.get_array()) {
        if (!first) {
          out += ',';
        }
        first = false;
        append_json(out, element);
      }
      out += ']';
      break;
    }
    case boost::json::kind::object: {
      out += '{';
      bool first = true;
      for (const auto& member : value.get_object()) {
        if (!first) {
          out += ',';
        }
        first = false;
        append_json_string(out, member.key());
        out += ':';
        append_json(out, member.value());
      }
      out += '}';
      break;
    }
  }
}

std::string to_json_text(const boost::json::value& value) {
  std::string out;
  append_json(out, value);
  return out;
}

}  // namespace stratdesk::common
