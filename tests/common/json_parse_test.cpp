#include "common/json_parse.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include <boost/json/error.hpp>
#include <boost/json/monotonic_resource.hpp>

namespace stratdesk::common {
namespace {

TEST(ParseJson, ReadsEveryRealBackExactly) {
  std::mt19937_64 random(7);
  for (int i = 0; i < 200000; ++i) {
    double expected = 0;
    do {
      const std::uint64_t bits = random();
      std::memcpy(&expected, &bits, sizeof expected);
    } while (!std::isfinite(expected));
    if (i % 2 == 1) {
      expected = static_cast<double>(random() % 100000000) / 1000.0 +
                 static_cast<double>(random() % 1000) / 1e7;
    }
    char text[64];
    const auto written = std::to_chars(text, text + sizeof text, expected);
    const std::string document = "[" + std::string(text, written.ptr) + "]";
    const auto parsed = parse_json(document).as_array().at(0);
    const double got = parsed.is_double()  ? parsed.get_double()
                       : parsed.is_int64() ? static_cast<double>(parsed.get_int64())
                                           : static_cast<double>(parsed.get_uint64());
    ASSERT_EQ(got, expected) << document;
  }
  EXPECT_EQ(parse_json("26104.046000399998").as_double(), 26104.046000399998);
}

TEST(ParseJson, KeepsIntegerKindsAndStructure) {
  const auto value = parse_json(R"( {"a": [1, -2, 18446744073709551615, 1.5, "x", true, null]} )");
  const auto& a = value.at("a").as_array();
  EXPECT_TRUE(a[0].is_int64());
  EXPECT_TRUE(a[1].is_int64());
  EXPECT_TRUE(a[2].is_uint64());
  EXPECT_TRUE(a[3].is_double());
  EXPECT_EQ(a[4], "x");
}

TEST(ParseJson, RejectsWhatIsNotOneStrictJsonText) {
  for (const char* bad : {"", "[1,]", "[1] [2]", "{'a': 1}", "[1 // c\n]", "\"\xff\"", "[1e5",
                          "nul", "nan", "inf", "[-NaN]", "[+Infinity]", "[1NaN]", "[Infinity1]",
                          "[NaNa]", "[infinity]", "{NaN: 1}", "[NaN,]"}) {
    boost::system::error_code ec;
    parse_json(bad, ec);
    EXPECT_TRUE(ec) << bad;
  }
  EXPECT_THROW(parse_json("[1,"), boost::system::system_error);
}

TEST(ParseJson, NestsAsDeepAsPythonReadsAndNoDeeper) {
  const auto nested = [](std::size_t depth) {
    return std::string(depth, '[') + "1" + std::string(depth, ']');
  };
  EXPECT_NO_THROW(parse_json(nested(max_json_depth)));
  boost::system::error_code ec;
  parse_json(nested(max_json_depth + 1), ec);
  EXPECT_EQ(ec, boost::json::error::too_deep);
}

TEST(ParseJson, ReadsNonFiniteLiteralsWhereNumbersStand) {
  const auto value =
      parse_json(R"({"a": [NaN, Infinity, -Infinity, 1e400, -1e400, 2, 2.5, "NaN", "x Infinity"],)"
                 R"( "NaN": {"b":NaN}, "c":[1,Infinity,3]})");
  const auto& a = value.at("a").as_array();
  EXPECT_TRUE(std::isnan(a[0].as_double()));
  EXPECT_EQ(a[1].as_double(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(a[2].as_double(), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(a[3].as_double(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(a[4].as_double(), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(a[5].as_int64(), 2);
  EXPECT_EQ(a[6].as_double(), 2.5);
  EXPECT_EQ(a[7], "NaN");
  EXPECT_EQ(a[8], "x Infinity");
  EXPECT_TRUE(std::isnan(value.at("NaN").at("b").as_double()));
  EXPECT_EQ(value.at("c"), (boost::json::array{1, std::numeric_limits<double>::infinity(), 3}));
  EXPECT_TRUE(std::isnan(parse_json("NaN").as_double()));
  EXPECT_EQ(parse_json(" -Infinity\n").as_double(), -std::numeric_limits<double>::infinity());
  // Escaped quotes do not end a string early: the literal inside stays text.
  EXPECT_EQ(parse_json(R"(["a\" NaN \"", NaN])").as_array().at(0), "a\" NaN \"");
}

TEST(ParseJson, BuildsInTheGivenStorage) {
  boost::json::monotonic_resource arena;
  const auto value = parse_json("[\"a long enough string to allocate\"]", &arena);
  EXPECT_EQ(value.storage().get(), &arena);
}

}  // namespace
}  // namespace stratdesk::common
