#include "common/json_text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/json_parse.hpp"

namespace stratdesk::common {
namespace {

TEST(JsonText, IsCompactWithRealsAsPythonPrintsThem) {
  EXPECT_EQ(to_json_text(parse_json(R"({"a": [1, 1.0, 2.5e-7, 1e16, -0.5], "b": null})")),
            R"({"a":[1,1.0,2.5e-07,1e+16,-0.5],"b":null})");
  EXPECT_EQ(to_json_text(parse_json("[true, false, 18446744073709551615]")),
            "[true,false,18446744073709551615]");
}

TEST(JsonText, EscapesOnlyWhatJsonRequires) {
  EXPECT_EQ(to_json_text(boost::json::value("删除 \"q\" \\ \n\t\x01")),
            R"("删除 \"q\" \\ \n\t\u0001")");
}

TEST(JsonText, NonFiniteRealsBecomeNull) {
  std::string out;
  append_json_double(out, std::numeric_limits<double>::infinity());
  out += ',';
  append_json_double(out, std::nan(""));
  EXPECT_EQ(out, "null,null");
}

TEST(JsonText, RoundTripsThroughAParser) {
  const auto value =
      parse_json(R"({"x": 0.1, "y": 123456789.123456789, "z": 5e-324, "s": "中文\u2028"})");
  EXPECT_EQ(parse_json(to_json_text(value)), value);
}

}  // namespace
}  // namespace stratdesk::common
