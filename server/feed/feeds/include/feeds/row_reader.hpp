#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The fast road from a posted batch's text to the values its statement binds: a JSON array of
// rows, each an array of exactly `columns` scalars, read straight into one flat list. Batches
// that need more than that road offers take the general JSON reader instead, which also words
// the refusals; so this reader only has to agree with it on what is valid.
namespace stratdesk::feeds {

// One posted value as it binds: NULL, INTEGER, REAL or TEXT (true and false are 1 and 0; NaN
// is NULL, as SQLite stores a NaN real; the infinities stay reals). Sixteen bytes: a large batch
// holds millions of them. Only the member `kind` names is meaningful.
struct Cell {
  enum class Kind : std::uint8_t { null, integer, real, text };
  Kind kind = Kind::null;
  std::uint32_t text_size = 0;  // bodies are far below 4 GiB
  union {
    std::int64_t integer = 0;
    double real;
    const char* text_data;
  };

  [[nodiscard]] std::string_view text() const { return {text_data, text_size}; }
  void set_text(std::string_view value) {
    kind = Kind::text;
    text_data = value.data();
    text_size = static_cast<std::uint32_t>(value.size());
  }
};
static_assert(sizeof(Cell) == 16);

// A batch's values, row after row. Texts point into the posted text, or into `unescaped` for
// strings that held escapes, so the posted text must outlive the batch.
struct FlatRows {
  std::size_t columns = 0;
  std::vector<Cell> cells;
  std::deque<std::string> unescaped;

  [[nodiscard]] std::size_t row_count() const { return columns == 0 ? 0 : cells.size() / columns; }
};

// Reads `text` (valid UTF-8, as the form decoder leaves every field) when it is a JSON array of
// arrays of `columns` scalars each. Returns nullopt for anything else: malformed text, a row of
// another length, a nested value, a \u escape, an integer beyond 64 bits, a real beyond the
// double range, or "-0"; the caller then reads the batch the general way.
std::optional<FlatRows> read_flat_rows(std::string_view text, std::size_t columns);

}  // namespace stratdesk::feeds
