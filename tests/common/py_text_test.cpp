#include "common/py_text.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include <boost/json/parse.hpp>

namespace stratdesk::common {
namespace {

std::string display(std::string_view json) {
  return display_form(boost::json::parse(json));
}
std::string dumps(std::string_view json) {
  return python_json_dumps(boost::json::parse(json));
}

TEST(PythonFloatRepr, MatchesPythonAcrossNotationBoundaries) {
  EXPECT_EQ(python_float_repr(100000.0), "100000.0");
  EXPECT_EQ(python_float_repr(0.5), "0.5");
  EXPECT_EQ(python_float_repr(0.0001), "0.0001");
  EXPECT_EQ(python_float_repr(0.00001), "1e-05");
  EXPECT_EQ(python_float_repr(2.5e-07), "2.5e-07");
  EXPECT_EQ(python_float_repr(1e15), "1000000000000000.0");
  EXPECT_EQ(python_float_repr(1e16), "1e+16");
  EXPECT_EQ(python_float_repr(1.5e300), "1.5e+300");
  EXPECT_EQ(python_float_repr(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(python_float_repr(-3.25), "-3.25");
  EXPECT_EQ(python_float_repr(-0.0), "-0.0");
  EXPECT_EQ(python_float_repr(123456789.125), "123456789.125");
  EXPECT_EQ(python_float_repr(1.0 / 0.0), "inf");
  // Either side of where the notation changes, as Python 3 writes them.
  EXPECT_EQ(python_float_repr(std::nextafter(0.0001, 0.0)), "9.999999999999999e-05");
  EXPECT_EQ(python_float_repr(std::nextafter(1e16, 0.0)), "9999999999999998.0");
  EXPECT_EQ(python_float_repr(-std::nextafter(1e16, 0.0)), "-9999999999999998.0");
  EXPECT_EQ(python_float_repr(-0.00015), "-0.00015");
  EXPECT_EQ(python_float_repr(1012345.25), "1012345.25");
  EXPECT_EQ(python_float_repr(5e-324), "5e-324");
}

TEST(DisplayForm, ScalarsPrintAsPythonStrDoes) {
  EXPECT_EQ(display(R"("2016-01-04")"), "2016-01-04");
  EXPECT_EQ(display("100000"), "100000");
  EXPECT_EQ(display("-7"), "-7");
  EXPECT_EQ(display("100000.0"), "100000.0");
  EXPECT_EQ(display("1e5"), "100000.0");
  EXPECT_EQ(display("0.00001"), "1e-05");
  EXPECT_EQ(display("true"), "True");
  EXPECT_EQ(display("false"), "False");
  EXPECT_EQ(display("null"), "None");
}

TEST(DisplayForm, ContainersQuoteTheirStrings) {
  EXPECT_EQ(display(R"([1, "a", 2.5, null, true])"), "[1, 'a', 2.5, None, True]");
  EXPECT_EQ(display(R"({"k": "v", "n": [1, {"x": 0.5}]})"), "{'k': 'v', 'n': [1, {'x': 0.5}]}");
  EXPECT_EQ(display("[]"), "[]");
  EXPECT_EQ(display("{}"), "{}");
  EXPECT_EQ(display(R"(["it's"])"), R"(["it's"])");
  EXPECT_EQ(display(R"(["a'b\"c"])"), R"(['a\'b"c'])");
  EXPECT_EQ(display(R"(["back\\slash", "line\nbreak", "\u0001"])"),
            R"(['back\\slash', 'line\nbreak', '\x01'])");
  EXPECT_EQ(display(R"(["中文"])"), "['中文']");
}

TEST(PythonJsonDumps, UsesPythonSeparatorsAndAsciiEscapes) {
  EXPECT_EQ(dumps(R"({"cmd":"get_id_symbol_map"})"), R"({"cmd": "get_id_symbol_map"})");
  EXPECT_EQ(dumps(R"({"cmd":"get_id_symbol_map"})").size(), 28u);
  EXPECT_EQ(dumps(R"({"b":1,"a":[1.0,2.5e-7,null,false]})"),
            R"({"b": 1, "a": [1.0, 2.5e-07, null, false]})");
  EXPECT_EQ(dumps(R"(["申万"])"), R"(["\u7533\u4e07"])");
  EXPECT_EQ(dumps(R"(["😀"])"), R"(["\ud83d\ude00"])");
  EXPECT_EQ(dumps(R"(["q\"b\\n\n\t\u0000\u007f"])"), R"(["q\"b\\n\n\t\u0000\u007f"])");
}

}  // namespace
}  // namespace stratdesk::common
