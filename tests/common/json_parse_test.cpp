#include "common/json_parse.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cstring>
#include <random>

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
  for (const char* bad :
       {"", "[1,]", "[1] [2]", "{'a': 1}", "[1 // c\n]", "\"\xff\"", "[1e5", "nul",
        "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]"}) {
    boost::system::error_code ec;
    parse_json(bad, ec);
    EXPECT_TRUE(ec) << bad;
  }
  EXPECT_THROW(parse_json("[1,"), boost::system::system_error);
}

TEST(ParseJson, BuildsInTheGivenStorage) {
  boost::json::monotonic_resource arena;
  const auto value = parse_json("[\"a long enough string to allocate\"]", &arena);
  EXPECT_EQ(value.storage().get(), &arena);
}

}  // namespace
}  // namespace stratdesk::common
