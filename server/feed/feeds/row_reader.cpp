#include "feeds/row_reader.hpp"

#include <charconv>
#include <limits>

namespace stratdesk::feeds {
namespace {

// A single pass over the text; every method returns false where the fast road ends.
class RowScanner {
 public:
  RowScanner(std::string_view text, FlatRows& rows)
      : at_(text.data()), end_(text.data() + text.size()), rows_(rows) {}

  bool read_batch() {
    if (!expect('[')) {
      return false;
    }
    skip_space();
    if (peek() == ']') {
      ++at_;
      return at_end_after_space();
    }
    while (true) {
      if (!read_row()) {
        return false;
      }
      skip_space();
      if (peek() == ']') {
        ++at_;
        return at_end_after_space();
      }
      if (!expect(',')) {
        return false;
      }
    }
  }

 private:
  bool read_row() {
    if (!expect('[')) {
      return false;
    }
    std::size_t values = 0;
    skip_space();
    if (peek() == ']') {
      ++at_;
      return rows_.columns == 0;
    }
    while (true) {
      if (++values > rows_.columns || !read_value()) {
        return false;
      }
      skip_space();
      if (peek() == ']') {
        ++at_;
        return values == rows_.columns;
      }
      if (!expect(',')) {
        return false;
      }
    }
  }

  bool read_value() {
    skip_space();
    Cell cell;
    switch (peek()) {
      case '"':
        if (!read_string(cell)) {
          return false;
        }
        break;
      case 't':
        if (!literal("true")) {
          return false;
        }
        cell.kind = Cell::Kind::integer;
        cell.integer = 1;
        break;
      case 'f':
        if (!literal("false")) {
          return false;
        }
        cell.kind = Cell::Kind::integer;
        break;
      case 'n':
        if (!literal("null")) {
          return false;
        }
        break;
      case 'N':
        if (!literal("NaN")) {
          return false;
        }
        break;
      case 'I':
        if (!literal("Infinity")) {
          return false;
        }
        cell.kind = Cell::Kind::real;
        cell.real = std::numeric_limits<double>::infinity();
        break;
      default:
        if (!read_number(cell)) {
          return false;
        }
    }
    rows_.cells.push_back(cell);
    return true;
  }

  bool read_string(Cell& cell) {
    const char* begin = ++at_;
    while (at_ != end_ && *at_ != '"' && *at_ != '\\') {
      if (static_cast<unsigned char>(*at_) < 0x20) {
        return false;
      }
      ++at_;
    }
    if (at_ == end_) {
      return false;
    }
    if (static_cast<std::size_t>(at_ - begin) > std::numeric_limits<std::uint32_t>::max()) {
      return false;
    }
    if (*at_ == '"') {
      cell.set_text(std::string_view(begin, static_cast<std::size_t>(at_ - begin)));
      ++at_;
      return true;
    }
    std::string& text = rows_.unescaped.emplace_back(begin, at_);
    while (at_ != end_ && *at_ != '"') {
      const char c = *at_++;
      if (static_cast<unsigned char>(c) < 0x20) {
        return false;
      }
      if (c != '\\') {
        text += c;
        continue;
      }
      if (at_ == end_) {
        return false;
      }
      switch (*at_++) {
        case '"':
          text += '"';
          break;
        case '\\':
          text += '\\';
          break;
        case '/':
          text += '/';
          break;
        case 'b':
          text += '\b';
          break;
        case 'f':
          text += '\f';
          break;
        case 'n':
          text += '\n';
          break;
        case 'r':
          text += '\r';
          break;
        case 't':
          text += '\t';
          break;
        default:
          return false;  // \u escapes and invalid ones: the general reader decides
      }
    }
    if (at_ == end_) {
      return false;
    }
    ++at_;
    if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
      return false;
    }
    cell.set_text(text);
    return true;
  }

  bool read_number(Cell& cell) {
    const char* begin = at_;
    if (peek() == '-') {
      ++at_;
      if (literal("Infinity")) {
        cell.kind = Cell::Kind::real;
        cell.real = -std::numeric_limits<double>::infinity();
        return true;
      }
    }
    if (peek() == '0') {
      ++at_;
    } else if (!digits()) {
      return false;
    }
    bool integral = true;
    if (peek() == '.') {
      ++at_;
      integral = false;
      if (!digits()) {
        return false;
      }
    }
    if (peek() == 'e' || peek() == 'E') {
      ++at_;
      integral = false;
      if (peek() == '+' || peek() == '-') {
        ++at_;
      }
      if (!exponent_digits()) {
        return false;
      }
    }
    const std::string_view text(begin, static_cast<std::size_t>(at_ - begin));
    if (integral) {
      if (text == "-0") {
        return false;
      }
      cell.kind = Cell::Kind::integer;
      const auto [end, ec] = std::from_chars(begin, at_, cell.integer);
      return ec == std::errc() && end == at_;
    }
    cell.kind = Cell::Kind::real;
    const auto [end, ec] = std::from_chars(begin, at_, cell.real);
    return ec == std::errc() && end == at_;
  }

  bool digits() {
    const char* begin = at_;
    while (at_ != end_ && *at_ >= '0' && *at_ <= '9') {
      ++at_;
    }
    return at_ != begin;
  }

  // The general reader refuses an exponent beyond a 32-bit int, where from_chars would still
  // read "0e99999999999" as zero; such text takes the general road so both always agree.
  bool exponent_digits() {
    while (peek() == '0' && at_ + 1 != end_ && at_[1] >= '0' && at_[1] <= '9') {
      ++at_;
    }
    const char* begin = at_;
    return digits() && at_ - begin <= 9;
  }

  bool literal(std::string_view word) {
    if (static_cast<std::size_t>(end_ - at_) < word.size() ||
        std::string_view(at_, word.size()) != word) {
      return false;
    }
    at_ += word.size();
    return true;
  }

  bool expect(char c) {
    skip_space();
    if (peek() != c) {
      return false;
    }
    ++at_;
    return true;
  }

  bool at_end_after_space() {
    skip_space();
    return at_ == end_;
  }

  void skip_space() {
    while (at_ != end_ && (*at_ == ' ' || *at_ == '\n' || *at_ == '\r' || *at_ == '\t')) {
      ++at_;
    }
  }

  [[nodiscard]] char peek() const { return at_ == end_ ? '\0' : *at_; }

  const char* at_;
  const char* end_;
  FlatRows& rows_;
};

}  // namespace

std::optional<FlatRows> read_flat_rows(std::string_view text, std::size_t columns) {
  FlatRows rows;
  rows.columns = columns;
  // A posted value takes about ten bytes of text; reserving avoids most regrowth.
  rows.cells.reserve(text.size() / 10);
  if (columns == 0 || !RowScanner(text, rows).read_batch()) {
    return std::nullopt;
  }
  return rows;
}

}  // namespace stratdesk::feeds
