#include "form_text.hpp"

#include <cstring>

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
  // Written through a pointer into a buffer sized for the worst case, plain runs copied whole:
  // a posted body of rows is a few hundred kilobytes with an escape every few bytes.
  std::string decoded(text.size(), '\0');
  char* out = decoded.data();
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const auto plain = [plus_is_space](char c) { return c != '%' && (c != '+' || !plus_is_space); };
  for (const char* in = begin; in != end;) {
    const char* run_end = in;
    while (run_end != end && plain(*run_end)) {
      ++run_end;
    }
    std::memcpy(out, in, static_cast<std::size_t>(run_end - in));
    out += run_end - in;
    in = run_end;
    if (in == end) {
      break;
    }
    if (*in == '+') {
      *out++ = ' ';
      ++in;
      continue;
    }
    const int high = end - in > 1 ? hex_value(in[1]) : -1;
    const int low = end - in > 2 ? hex_value(in[2]) : -1;
    if (high < 0 || low < 0) {
      throw BadRequest("malformed percent escape " +
                       quoted(text.substr(static_cast<std::size_t>(in - begin), 3)));
    }
    *out++ = static_cast<char>(high * 16 + low);
    in += 3;
  }
  decoded.resize(static_cast<std::size_t>(out - decoded.data()));
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
