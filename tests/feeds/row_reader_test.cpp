#include "feeds/row_reader.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "common/json_parse.hpp"

namespace stratdesk::feeds {
namespace {

// The fast reader may refuse what the general reader takes, but whatever it takes must read
// as the general reader reads it, value for value.
void expect_agrees_with_general_reader(const std::string& text, std::size_t columns) {
  const auto fast = read_flat_rows(text, columns);
  if (!fast) {
    return;
  }
  boost::system::error_code ec;
  const auto general = common::parse_json(text, ec);
  ASSERT_FALSE(ec) << "the fast reader took text the general one refuses: " << text;
  ASSERT_TRUE(general.is_array()) << text;
  const auto& rows = general.as_array();
  ASSERT_EQ(rows.size(), fast->row_count()) << text;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    ASSERT_TRUE(rows[r].is_array()) << text;
    const auto& row = rows[r].as_array();
    ASSERT_EQ(row.size(), columns) << text;
    for (std::size_t c = 0; c < columns; ++c) {
      const Cell& cell = fast->cells[r * columns + c];
      const auto& value = row[c];
      switch (cell.kind) {
        case Cell::Kind::null:
          EXPECT_TRUE(value.is_null()) << text;
          break;
        case Cell::Kind::integer:
          if (value.is_bool()) {
            EXPECT_EQ(cell.integer, value.as_bool() ? 1 : 0) << text;
          } else {
            ASSERT_TRUE(value.is_int64()) << text;
            EXPECT_EQ(cell.integer, value.as_int64()) << text;
          }
          break;
        case Cell::Kind::real: {
          ASSERT_TRUE(value.is_double()) << text;
          const double real = value.as_double();
          EXPECT_EQ(std::memcmp(&cell.real, &real, sizeof(double)), 0) << text;
          break;
        }
        case Cell::Kind::text:
          ASSERT_TRUE(value.is_string()) << text;
          EXPECT_EQ(cell.text(), std::string_view(value.as_string())) << text;
          break;
      }
    }
  }
}

const std::string batch =
    R"( [[3, 7, "2016-01-04 15:00:00", "000001.XSHE", -12.5, 0, 1e-05, true, false, null],)"
    R"([3,7,"2016-01-05 15:00:00","tab\tquote\" slash\/ back\\",0.1,-0.0,1.5E+3,12345678901234,)"
    "\"\xe4\xb8\xad\xe6\x96\x87\",9007199254740993]]\n";

TEST(RowReader, ReadsRowsValueForValueAsTheGeneralReaderDoes) {
  const auto rows = read_flat_rows(batch, 10);
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->row_count(), 2u);
  EXPECT_EQ(rows->cells[3].text(), "000001.XSHE");
  EXPECT_EQ(rows->cells[13].text(), "tab\tquote\" slash/ back\\");
  expect_agrees_with_general_reader(batch, 10);
  EXPECT_EQ(read_flat_rows("[]", 10)->row_count(), 0u);
  EXPECT_EQ(read_flat_rows(" [ ] ", 3)->row_count(), 0u);
}

TEST(RowReader, TakesThePythonNonFiniteLiterals) {
  const auto rows = read_flat_rows("[[1, NaN, Infinity, -Infinity]]", 4);
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->cells[1].kind, Cell::Kind::null);
  EXPECT_EQ(rows->cells[2].kind, Cell::Kind::real);
  EXPECT_TRUE(std::isinf(rows->cells[2].real) && rows->cells[2].real > 0);
  EXPECT_TRUE(std::isinf(rows->cells[3].real) && rows->cells[3].real < 0);
}

TEST(RowReader, LeavesEverythingUnusualToTheGeneralReader) {
  for (const char* text : {"",
                           "[",
                           "[[1,2]",
                           "[[1,2]]x",
                           "[[1,2],]",
                           "[[1,2,]]",
                           "[[1 2]]",
                           "{}",
                           "[1,2]",
                           "[[1,2,3]]",
                           "[[1]]",
                           "[[1,[2]]]",
                           "[[1,{}]]",
                           R"([["\u00e9",2]])",
                           R"([["a\x",2]])",
                           "[[01,2]]",
                           "[[1.,2]]",
                           "[[.5,2]]",
                           "[[1e,2]]",
                           "[[+1,2]]",
                           "[[-0,2]]",
                           "[[1e400,2]]",
                           "[[0e99999999999,2]]",
                           "[[0.5E-000012345678901,2]]",
                           "[[99999999999999999999,2]]",
                           "[[nan,2]]",
                           "[[-NaN,2]]",
                           "[[tru,2]]",
                           "[[\"a\nb\",2]]",
                           "[[\"open,2]]",
                           "[[1,2]][[1,2]]"}) {
    EXPECT_FALSE(read_flat_rows(text, 2)) << text;
  }
}

// Every cut and every one-byte change of a valid batch: whatever the fast reader still takes
// must be valid JSON that reads the same.
TEST(RowReader, NeverTakesTextTheGeneralReaderRefuses) {
  for (std::size_t cut = 0; cut < batch.size(); ++cut) {
    expect_agrees_with_general_reader(batch.substr(0, cut), 10);
  }
  const std::string replacements = "[]{},:\"\\ .eE+-0159tfnaxu/\t\n";
  for (std::size_t at = 0; at < batch.size(); ++at) {
    if (static_cast<unsigned char>(batch[at]) >= 0x80) {
      continue;  // the form decoder hands over valid UTF-8 only
    }
    for (const char c : replacements) {
      std::string changed = batch;
      changed[at] = c;
      expect_agrees_with_general_reader(changed, 10);
    }
  }
}

}  // namespace
}  // namespace stratdesk::feeds
