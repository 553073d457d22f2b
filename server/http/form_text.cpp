#include "form_text.hpp"

#include "http/errors.hpp"

namespace stratdesk::http::detail {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

}  // namespace

bool is_ows(char c) {
  return c == ' ' || c == '\t';
}

std::string_view skip_ows(std::string_view text) {
  while (!text.empty() && is_ows(text.front())) {
    text.remove_prefix(1);
  }
  return text;
}

std::string_view trim_ows(std::string_view text) {
  text = skip_ows(text);
  while (!text.empty() && is_ows(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

bool is_control(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

// Error messages go back to the client inside JSON and into the log, so raw request bytes are
// shown only as printable ASCII and long input is cut short.
std::string printable(std::string_view text) {
  constexpr std::size_t max_shown = 64;
  constexpr std::string_view hex_digits = "0123456789ABCDEF";
  std::string shown;
  for (std::size_t i = 0; i < text.size() && i < max_shown; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte < 0x7f && byte != '\\' && byte != '"') {
      shown.push_back(static_cast<char>(byte));
    } else {
      shown += "\\x";
      shown.push_back(hex_digits[byte >> 4]);
      shown.push_back(hex_digits[byte & 0x0f]);
    }
  }
  if (text.size() > max_shown) {
    shown += "...";
  }
  return shown;
}

std::string quoted(std::string_view text) {
  return '"' + printable(text) + '"';
}

bool is_token_char(char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
    return true;
  }
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

std::string decode_escapes(std::string_view text, bool plus_is_space) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      const int high = i + 1 < text.size() ? hex_value(text[i + 1]) : -1;
      const int low = i + 2 < text.size() ? hex_value(text[i + 2]) : -1;
      if (high < 0 || low < 0) {
        throw BadRequest("malformed percent escape " + quoted(text.substr(i, 3)));
      }
      decoded.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else if (c == '+' && plus_is_space) {
      decoded.push_back(' ');
    } else {
      decoded.push_back(c);
    }
  }
  return decoded;
}

std::string latin1_to_utf8(std::string_view latin1) {
  std::string utf8;
  utf8.reserve(latin1.size());
  for (const char c : latin1) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      utf8.push_back(c);
    } else {
      utf8.push_back(static_cast<char>(0xc0 | (byte >> 6)));
      utf8.push_back(static_cast<char>(0x80 | (byte & 0x3f)));
    }
  }
  return utf8;
}

}  // namespace stratdesk::http::detail
