#pragma once

#include <string>
#include <string_view>

// The lexical pieces the form grammars share: white space, control bytes, tokens, percent
// escapes, and how raw request bytes are shown in an error message.
namespace stratdesk::http::detail {

// Optional white space: space or horizontal tab.
bool is_ows(char c);
std::string_view skip_ows(std::string_view text);
std::string_view trim_ows(std::string_view text);

// C0 controls and DEL.
bool is_control(char c);

// A character of an HTTP token (a header or parameter name).
bool is_token_char(char c);

// Raw request bytes as printable ASCII for an error message, escaped as \xHH, long input cut
// short with "..."; `quoted` adds double quotes around it.
std::string printable(std::string_view text);
std::string quoted(std::string_view text);

// Decodes %XX escapes (and '+' as a space when `plus_is_space`) without judging the resulting
// bytes: a caller may want UTF-8 or Latin-1. Throws BadRequest on a malformed escape.
std::string decode_escapes(std::string_view text, bool plus_is_space);

// Latin-1 bytes as UTF-8.
std::string latin1_to_utf8(std::string_view latin1);

}  // namespace stratdesk::http::detail
