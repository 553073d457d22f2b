#pragma once

#include <chrono>

#include <boost/asio/awaitable.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include "http/response.hpp"

// The write side of a connection: how an answer goes out on the stream, and how a connection is
// closed after an answer whose request was not read whole.
namespace stratdesk::http::detail {

inline constexpr unsigned http_1_1 = 11;

// How one answer is written, besides its status, headers and body.
struct WriteOptions {
  // The HTTP version of the request answered (HTTP/1.1 when none could be read).
  unsigned version = http_1_1;
  // HEAD: the headers, with the length the body would have, and no body.
  bool head_only = false;
  // Whether the connection stays open for another request; the answer says which.
  bool keep_alive = false;
  // Time for the whole answer to go out.
  std::chrono::milliseconds timeout = std::chrono::seconds(60);
};

// Writes `response` as application/json with its own headers. True when it was written whole;
// false when the client went away or did not take it within the time limit.
boost::asio::awaitable<bool> write_response(boost::beast::tcp_stream& stream, Response response,
                                            const WriteOptions& options);

// Writes an answer whose body comes in pieces (Response::pieces): chunked for HTTP/1.1, up to
// the connection's end for HTTP/1.0. True when it was written whole and the connection may go
// on; false when the client went away, a piece failed (logged) or the connection must close.
boost::asio::awaitable<bool> write_in_pieces(boost::beast::tcp_stream& stream, Response response,
                                             const WriteOptions& options);

// Writes the interim "100 Continue" answer. False when it could not be written in time.
boost::asio::awaitable<bool> write_continue(boost::beast::tcp_stream& stream, unsigned version,
                                            std::chrono::milliseconds timeout);

// Ends the connection after an answer to a request whose body was not read: stops sending,
// discards what the client still sends (2 s and 64 MiB at most), then closes the socket.
boost::asio::awaitable<void> linger_close(boost::beast::tcp_stream& stream);

}  // namespace stratdesk::http::detail
