#pragma once

#include <string>
#include <string_view>

#include <boost/json/fwd.hpp>

// Text as the engine's language (Python) would print it. The engine command line, the analytics
// protocol and some log lines are read by Python programs or by people used to Python's output,
// so these few renderings must match it exactly.
namespace stratdesk::common {

// repr() of a float: the shortest text that reads back to the same double, always with a '.'
// or an exponent ("100000.0", "0.5", "1e-05", "1e+16", "inf", "nan").
std::string python_float_repr(double value);
void append_python_float(std::string& out, double value);

// repr() of a str: single quotes unless the text holds a single quote and no double quote,
// with Python's escapes for backslashes, quotes and unprintable characters.
std::string python_str_repr(std::string_view utf8);

// str() of a JSON-decoded value: strings unquoted, True/False/None, lists and dicts with their
// string members in repr() form ("[1, 'a']", "{'k': 0.5}").
std::string display_form(const boost::json::value& value);

// json.dumps() with its defaults: ", " and ": " separators, members in insertion order,
// everything outside printable ASCII escaped as \uXXXX (surrogate pairs beyond U+FFFF),
// floats in repr() form, non-finite floats as NaN/Infinity.
std::string python_json_dumps(const boost::json::value& value);

}  // namespace stratdesk::common
