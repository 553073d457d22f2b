#include "http/forms.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/text.hpp"

namespace stratdesk::http {
namespace {

using common::is_valid_utf8;

using namespace std::string_literals;

using Pairs = std::vector<std::pair<std::string, std::string>>;
using FileTuple =
    std::tuple<std::string, std::string, std::string, std::string>;  // name, filename, type, data

Pairs pairs_of(const Fields& fields) {
  Pairs pairs;
  for (const FormField& field : fields.all()) {
    pairs.emplace_back(field.name, field.value);
  }
  return pairs;
}

std::vector<FileTuple> files_of(const Form& form) {
  std::vector<FileTuple> files;
  for (const FilePart& file : form.files) {
    files.emplace_back(file.name, file.filename, file.content_type, file.data);
  }
  return files;
}

std::string read_fixture(const std::string& name) {
  std::ifstream in(std::string(STRATDESK_TEST_FIXTURES) + "/" + name, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot open fixture " + name);
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Parses a captured request the way the server does: boundary from the captured header.
Form parse_captured(const std::string& stem) {
  std::string content_type = read_fixture(stem + ".content-type");
  while (!content_type.empty() && (content_type.back() == '\n' || content_type.back() == '\r')) {
    content_type.pop_back();
  }
  const std::optional<std::string> boundary = multipart_boundary(content_type);
  if (!boundary) {
    throw std::runtime_error("no boundary in " + content_type);
  }
  return parse_multipart(read_fixture(stem + ".body"), *boundary);
}

std::string message_of_bad_request(const std::function<void()>& action) {
  try {
    action();
  } catch (const BadRequest& error) {
    return error.what();
  }
  return "<no BadRequest thrown>";
}

TEST(PercentDecode, DecodesEscapesAndKeepsRawCharacters) {
  struct Case {
    std::string text;
    bool plus_is_space;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"", false, ""},
      {"plain", false, "plain"},
      {"a%20b", false, "a b"},
      {"a+b", false, "a+b"},
      {"a+b", true, "a b"},
      {"%2B%2b", true, "++"},
      {"100%25", false, "100%"},
      {"%e2%82%AC", false, "€"},
      {"[[1,2,\"x y\"]]", true, "[[1,2,\"x y\"]]"},
      {"{\"k\": [1]}", false, "{\"k\": [1]}"},
      {"raw é stays", false, "raw é stays"},
      {"a%00b", false, "a\0b"s},
      {"%0D%0A", false, "\r\n"},
      {"a long plain run+then%2C%22escapes%22+", true, "a long plain run then,\"escapes\" "},
      {"%41%42%43", true, "ABC"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(percent_decode(c.text, c.plus_is_space), c.expected);
  }
}

TEST(PercentDecode, RejectsBrokenEscapesAndInvalidUtf8) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"%", "malformed percent escape"},
      {"ab%4", "\"%4\""},
      {"%zz", "\"%zz\""},
      {"%g1", "malformed percent escape"},
      {"%%41", "malformed percent escape"},
      {"%C3", "UTF-8"},
      {"%C0%AF", "UTF-8"},
      {"%ED%A0%80", "UTF-8"},
      {"raw \xff", "UTF-8"},
      {"a long plain run before it%4", "\"%4\""},
      {"a long plain run+%2C%zz after", "\"%zz\""},
  };
  for (const auto& [text, message_part] : cases) {
    SCOPED_TRACE(text);
    const std::string& input = text;  // lambdas may not capture structured bindings before clang 16
    EXPECT_NE(message_of_bad_request([&] { (void)percent_decode(input, true); }).find(message_part),
              std::string::npos);
  }
}

TEST(ParseUrlencoded, SplitsDecodesAndKeepsOrder) {
  const std::vector<std::pair<std::string, Pairs>> cases = {
      {"", {}},
      {"a=1&b=x+y", {{"a", "1"}, {"b", "x y"}}},
      {"a", {{"a", ""}}},
      {"a=&b", {{"a", ""}, {"b", ""}}},
      {"&&a=1&&&b=2&", {{"a", "1"}, {"b", "2"}}},
      {"a=1&a=2", {{"a", "1"}, {"a", "2"}}},
      {"k=v=w", {{"k", "v=w"}}},
      {"=x", {{"", "x"}}},
      {"json=[[1,2,\"x y\"]]", {{"json", "[[1,2,\"x y\"]]"}}},
      {"code=a%0D%0Ab%26c%3Dd", {{"code", "a\r\nb&c=d"}}},
      {"n%C3%A9=%E2%82%AC+%E5%9D%87", {{"né", "€ 均"}}},
      {"nul=%00", {{"nul", "\0"s}}},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(pairs_of(parse_urlencoded(text)), expected);
  }
}

TEST(ParseUrlencoded, RejectsBrokenFieldsNamingTheProblem) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a=%", "field \"a\""},
      {"a=1&b=%4", "field \"b\""},
      {"ok=1&bad=%zz&later=2", "\"%zz\""},
      {"%zz=1", "name of form field 1"},
      {"a=%FF", "UTF-8"},
      {"a=%C3%28", "UTF-8"},
      {"x=1&%C3=1", "name of form field 2"},
  };
  for (const auto& [text, message_part] : cases) {
    SCOPED_TRACE(text);
    const std::string& input = text;  // lambdas may not capture structured bindings before clang 16
    EXPECT_NE(message_of_bad_request([&] { (void)parse_urlencoded(input); }).find(message_part),
              std::string::npos);
  }
}

TEST(Fields, FirstAnswersTheEarliestOfRepeatedNames) {
  Fields fields;
  fields.add("a", "1");
  fields.add("b", "2");
  fields.add("a", "3");
  ASSERT_NE(fields.first("a"), nullptr);
  EXPECT_EQ(*fields.first("a"), "1");
  EXPECT_EQ(fields.first("c"), nullptr);
  EXPECT_TRUE(fields.contains("b"));
  EXPECT_FALSE(fields.contains("B"));
  EXPECT_EQ(fields.all().size(), 3U);
}

TEST(IsValidUtf8, AcceptsWellFormedAndRejectsEverythingElse) {
  std::vector<std::string> valid = {
      "",
      "ascii",
      "\0"s,
      "é",
      "€",
      "均线",
      "\xF0\x9D\x84\x9E",
      "\xEF\xBF\xBF",
      "\xF4\x8F\xBF\xBF",
      "\xED\x9F\xBF",
  };
  std::vector<std::string> invalid = {
      "\x80",              // lone continuation byte
      "\xC0\x80",          // overlong NUL
      "\xC1\xBF",          // overlong
      "\xE0\x80\xAF",      // overlong
      "\xF0\x80\x80\xAF",  // overlong
      "\xED\xA0\x80",      // surrogate
      "\xED\xBF\xBF",      // surrogate
      "\xF4\x90\x80\x80",  // past U+10FFFF
      "\xF5\x80\x80\x80",  // past U+10FFFF
      "\xFF",
      "\xC3",          // truncated
      "ok\xE2\x82",    // truncated at the end
      "\xE2\x28\xA1",  // bad continuation
  };
  // Long ASCII runs are stepped over in words: put every sequence at every offset of a word,
  // after and before such runs.
  const std::vector<std::string> short_valid = valid;
  const std::vector<std::string> short_invalid = invalid;
  for (std::size_t run = 1; run <= 17; ++run) {
    const std::string ascii(run, 'a');
    for (const std::string& text : short_valid) {
      valid.push_back(ascii + text + ascii);
    }
    for (const std::string& text : short_invalid) {
      invalid.push_back(ascii + text + ascii);
      invalid.push_back(ascii + text);
    }
  }
  for (const std::string& text : valid) {
    EXPECT_TRUE(is_valid_utf8(text)) << testing::PrintToString(text);
  }
  for (const std::string& text : invalid) {
    EXPECT_FALSE(is_valid_utf8(text)) << testing::PrintToString(text);
  }
}

TEST(ContentType, MediaTypeIsLowerCasedWithoutParameters) {
  EXPECT_EQ(media_type("Application/X-WWW-Form-Urlencoded; charset=UTF-8"),
            "application/x-www-form-urlencoded");
  EXPECT_EQ(media_type("  multipart/form-data;boundary=x"), "multipart/form-data");
  EXPECT_EQ(media_type("\ttext/plain \t"), "text/plain");
  EXPECT_EQ(media_type(""), "");
}

TEST(ContentType, MultipartBoundaryParsesParameters) {
  const std::string seventy(70, 'b');
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"multipart/form-data; boundary=abc", "abc"},
      {"Multipart/Form-Data;BOUNDARY=abc", "abc"},
      {"multipart/form-data; charset=utf-8; boundary=\"a b;c\"", "a b;c"},
      {"multipart/form-data; boundary=\"===1234==\"; charset=utf-8", "===1234=="},
      {"multipart/form-data; boundary=\"a\\\"b\"", "a\"b"},
      {"multipart/form-data ; boundary = abc ;", "abc"},
      {"multipart/form-data; boundary=" + seventy, seventy},
      {"multipart/form-data; boundary=" + seventy + "b", std::nullopt},
      {"multipart/form-data", std::nullopt},
      {"multipart/mixed; boundary=abc", std::nullopt},
      {"application/x-www-form-urlencoded; boundary=abc", std::nullopt},
      {"multipart/form-data; boundary=", std::nullopt},
      {"multipart/form-data; boundary=\"\"", std::nullopt},
      {"multipart/form-data; boundary=\"abc", std::nullopt},
      {"multipart/form-data; boundary=\"abc \"", std::nullopt},
      {"multipart/form-data; boundary=a; boundary=b", std::nullopt},
      {"multipart/form-data; charset; boundary=abc", std::nullopt},
  };
  for (const auto& [content_type, expected] : cases) {
    SCOPED_TRACE(content_type);
    EXPECT_EQ(multipart_boundary(content_type), expected);
  }
}

TEST(ParseMultipart, CurlFormFixture) {
  const Form form = parse_captured("curl_form");
  EXPECT_EQ(pairs_of(form.fields),
            (Pairs{{"name", "value"}, {"json", "[[1,2,\"x y\"]]"}, {"note", "héllo wörld €"}}));
  EXPECT_EQ(files_of(form),
            (std::vector<FileTuple>{
                {"file", "upload.bin", "application/octet-stream", read_fixture("upload.bin")}}));
}

TEST(ParseMultipart, PythonEmailPackageFixture) {
  const Form form = parse_captured("python_email_form");
  EXPECT_EQ(pairs_of(form.fields),
            (Pairs{{"json", "[[1, 2, \"x y\"]]"}, {"code", "def init(context):\r\n    pass\r\n"}}));
  EXPECT_EQ(files_of(form),
            (std::vector<FileTuple>{{"file", "données €.bin", "application/octet-stream",
                                     "date,close\r\n2016-01-04,10.2\r\n"}}));
}

TEST(ParseMultipart, BrowserStyleFixture) {
  const Form form = parse_captured("browser_form");
  EXPECT_EQ(
      pairs_of(form.fields),
      (Pairs{
          {"title", "Moyenne mobile – 均线"},
          {"code",
           "import numpy as np\r\n\r\n# ------WebKitFormBoundary7MA4YWxkTrZu0gWx is data\r\n"}}));
  // Browsers write '"' in a file name as %22; that is their convention, not an escape to undo.
  EXPECT_EQ(files_of(form),
            (std::vector<FileTuple>{{"upload", "my %22data%22.bin", "application/octet-stream",
                                     read_fixture("upload.bin")},
                                    {"extra", "", "application/octet-stream", ""}}));
}

constexpr const char* part_a = "Content-Disposition: form-data; name=\"a\"\r\n\r\n";

TEST(ParseMultipart, DelimitsPartsExactly) {
  struct Case {
    std::string label;
    std::string body;
    Pairs fields;
  };
  const std::vector<Case> cases = {
      {"no trailing CRLF after close", "--XyZ\r\n"s + part_a + "1\r\n--XyZ--", {{"a", "1"}}},
      {"preamble and epilogue ignored",
       "preamble\r\n--XyZ-not\r\n--XyZ\r\n"s + part_a + "1\r\n--XyZ--\r\nepilogue\r\n--XyZ\r\njunk",
       {{"a", "1"}}},
      {"transport padding",
       "--XyZ \t\r\n"s + part_a + "1\r\n--XyZ\t\r\n" + part_a + "2\r\n--XyZ-- \r\n",
       {{"a", "1"}, {"a", "2"}}},
      {"boundary inside a value with another suffix",
       "--XyZ\r\n"s + part_a +
           "x\r\n--XyZW\r\n--XyZ-x\r\n--XyZ--tail\r\n--XyZ x\r\nend--XyZ\r\n--XyZ--\r\n",
       {{"a", "x\r\n--XyZW\r\n--XyZ-x\r\n--XyZ--tail\r\n--XyZ x\r\nend--XyZ"}}},
      {"CR, LF, dashes and blank lines in values",
       "--XyZ\r\n"s + part_a + "\r\n\r\nl1\r\nl2\n\r--\r\n\r\n--XyZ--",
       {{"a", "\r\n\r\nl1\r\nl2\n\r--\r\n"}}},
      {"empty values",
       "--XyZ\r\n"s + part_a + "\r\n--XyZ\r\n" + part_a + "\r\n--XyZ--",
       {{"a", ""}, {"a", ""}}},
      {"non-ASCII name and value",
       "--XyZ\r\nContent-Disposition: form-data; name=\"名前\"\r\n\r\n€ 均线\r\n--XyZ--",
       {{"名前", "€ 均线"}}},
      {"header names and values case-insensitive, folded, extra headers",
       "--XyZ\r\ncontent-disposition: FORM-DATA;\r\n\tNAME=a\r\nX-Other: y\r\ncontent-type: "
       "text/plain\r\n\r\n1\r\n--XyZ--",
       {{"a", "1"}}},
      {"a form with no parts", "--XyZ--\r\n", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const Form form = parse_multipart(c.body, "XyZ");
    EXPECT_EQ(pairs_of(form.fields), c.fields);
    EXPECT_TRUE(form.files.empty());
  }
}

TEST(ParseMultipart, FileNamesAndTypes) {
  const auto file_part = [](const std::string& disposition_tail, const std::string& extra_headers) {
    return "--B\r\nContent-Disposition: form-data; name=\"f\"; " + disposition_tail + "\r\n" +
           extra_headers + "\r\n\xff\xfe data\r\n--B--\r\n";
  };
  struct Case {
    std::string body;
    std::string filename;
    std::string content_type;
  };
  const std::vector<Case> cases = {
      {file_part("filename=\"a.csv\"", "Content-Type: text/csv; charset=utf-8\r\n"), "a.csv",
       "text/csv; charset=utf-8"},
      {file_part("filename=\"a\\\"b\\\\c.txt\"", ""), "a\"b\\c.txt", "application/octet-stream"},
      {file_part("filename=\"C:\\dir\\a.txt\"", ""), "C:\\dir\\a.txt", "application/octet-stream"},
      {file_part("filename=plain.txt", ""), "plain.txt", "application/octet-stream"},
      {file_part("filename=\"fallback.txt\"; filename*=UTF-8''%E2%82%AC.txt", ""), "€.txt",
       "application/octet-stream"},
      {file_part("filename*=iso-8859-1'fr'caf%E9.txt", ""), "café.txt", "application/octet-stream"},
      {file_part("filename=\"fallback.txt\"; filename*=koi8-r''%C1.txt", ""), "fallback.txt",
       "application/octet-stream"},
      {file_part("filename=\"été.txt\"", ""), "été.txt", "application/octet-stream"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    const Form form = parse_multipart(c.body, "B");
    EXPECT_TRUE(form.fields.empty());
    EXPECT_EQ(files_of(form),
              (std::vector<FileTuple>{{"f", c.filename, c.content_type, "\xff\xfe data"}}));
  }
}

TEST(ParseMultipart, RejectsMalformedBodiesNamingTheProblem) {
  const std::string a_part = "--XyZ\r\n"s + part_a + "1\r\n";
  const auto with_disposition = [](const std::string& disposition) {
    return "--XyZ\r\nContent-Disposition: " + disposition + "\r\n\r\n1\r\n--XyZ--\r\n";
  };
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"empty body", "", "does not occur"},
      {"boundary never found", "hello\r\n--Other\r\n"s + part_a + "1\r\n--Other--\r\n",
       "does not occur"},
      {"missing close delimiter", a_part, "before its closing boundary"},
      {"ends after a part delimiter", a_part + "--XyZ\r\n", "part 2"},
      {"ends inside the close delimiter", a_part + "--XyZ-", "before its closing boundary"},
      {"truncated in headers", "--XyZ\r\nContent-Disposition: form-da",
       "before its closing boundary"},
      {"headers not ended", "--XyZ\r\nContent-Disposition: form-data; name=\"a\"\r\n--XyZ--",
       "empty line"},
      {"bare LF line endings", "--XyZ\nContent-Disposition: form-data; name=\"a\"\n\n1\n--XyZ--\n",
       "CRLF"},
      {"bare LF inside headers",
       "--XyZ\r\nContent-Disposition: form-data; name=\"a\"\nX: y\r\n\r\n1\r\n--XyZ--",
       "control character"},
      {"junk after the first boundary", "--XyZjunk\r\n"s + part_a + "1\r\n--XyZ--", "CRLF"},
      {"no headers", "--XyZ\r\n\r\n1\r\n--XyZ--", "no Content-Disposition"},
      {"no Content-Disposition", "--XyZ\r\nContent-Type: text/plain\r\n\r\n1\r\n--XyZ--",
       "no Content-Disposition"},
      {"two Content-Dispositions",
       "--XyZ\r\n"s + "Content-Disposition: form-data; name=\"a\"\r\n" + part_a + "1\r\n--XyZ--",
       "more than one"},
      {"header line without colon", "--XyZ\r\nContent-Disposition form-data\r\n\r\n1\r\n--XyZ--",
       "malformed header"},
      {"no name", with_disposition("form-data; filename=\"a.txt\""), "no name"},
      {"not form-data", with_disposition("attachment; name=\"a\""), "well-formed form-data"},
      {"unterminated quote", with_disposition("form-data; name=\"a"), "well-formed form-data"},
      {"repeated name", with_disposition("form-data; name=\"a\"; name=\"b\""), "repeats the name"},
      {"malformed filename*", with_disposition("form-data; name=\"a\"; filename*=utf-8%41"),
       "filename*"},
      {"bad escape in filename*", with_disposition("form-data; name=\"a\"; filename*=utf-8''%zz"),
       "%zz"},
      {"bad UTF-8 in a field value", "--XyZ\r\n"s + part_a + "caf\xe9\r\n--XyZ--",
       "field \"a\" is not valid UTF-8"},
      {"bad UTF-8 in a name", with_disposition("form-data; name=\"caf\xe9\""), "not valid UTF-8"},
      {"bad UTF-8 in a file name", with_disposition("form-data; name=\"a\"; filename=\"caf\xe9\""),
       "not valid UTF-8"},
  };
  for (const auto& [label, body, message_part] : cases) {
    SCOPED_TRACE(label);
    const std::string& input = body;
    const std::string message =
        message_of_bad_request([&] { (void)parse_multipart(input, "XyZ"); });
    EXPECT_NE(message.find(message_part), std::string::npos) << message;
  }
}

TEST(ParseMultipart, RejectsAnUnusableBoundary) {
  const std::string body = "--\r\n"s + part_a + "1\r\n----\r\n";
  EXPECT_THROW((void)parse_multipart(body, ""), BadRequest);
  EXPECT_THROW((void)parse_multipart(body, std::string(71, 'x')), BadRequest);
}

constexpr std::size_t twenty_megabytes = std::size_t{20} << 20;

std::string repeat_to_size(const std::string& chunk, std::size_t size) {
  std::string repeated;
  repeated.reserve(size + chunk.size());
  while (repeated.size() < size) {
    repeated += chunk;
  }
  return repeated;
}

// No timing assertion: a quadratic scan shows up as a test that never finishes.
TEST(ParseMultipart, LargeValuesParseInOnePass) {
  // Every chunk carries a near-miss of the delimiter that the scanner must find and reject.
  const std::string near_misses =
      repeat_to_size("row,1.5\r\n--XyZ-near miss\r\n", twenty_megabytes);
  const Form form = parse_multipart(
      "--XyZ\r\n"s + part_a + near_misses + "\r\n--XyZ\r\n" + part_a + "tail\r\n--XyZ--\r\n",
      "XyZ");
  ASSERT_EQ(form.fields.all().size(), 2U);
  EXPECT_TRUE(form.fields.all()[0].value == near_misses);
  EXPECT_EQ(form.fields.all()[1].value, "tail");

  // A value that repeats the boundary's own character is the worst case of skip-table searchers.
  const std::string boundary(70, 'a');
  const std::string same_letter(twenty_megabytes, 'a');
  const Form hostile = parse_multipart(
      "--" + boundary + "\r\n" + part_a + same_letter + "\r\n--" + boundary + "--\r\n", boundary);
  ASSERT_EQ(hostile.fields.all().size(), 1U);
  EXPECT_TRUE(hostile.fields.all()[0].value == same_letter);
}

}  // namespace
}  // namespace stratdesk::http
