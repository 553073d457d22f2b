#include "response_writer.hpp"

#include <array>
#include <string>
#include <utility>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/chunk_encode.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include "common/json_text.hpp"
#include "log/log.hpp"

namespace stratdesk::http::detail {
namespace {

namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using boost::asio::ip::tcp;
constexpr auto use_tuple = boost::asio::as_tuple(boost::asio::use_awaitable);

template <class Body>
void add_common_headers(bhttp::response<Body>& message, const Response& response, bool keep_alive) {
  message.set(bhttp::field::content_type, "application/json");
  for (const auto& [name, value] : response.headers) {
    message.set(name, value);
  }
  message.keep_alive(keep_alive);
}

template <class Message>
boost::asio::awaitable<bool> write_message(beast::tcp_stream& stream, Message& message,
                                           std::chrono::milliseconds timeout) {
  stream.expires_after(timeout);
  auto [ec, n] = co_await bhttp::async_write(stream, message, use_tuple);
  co_return !ec;
}

}  // namespace

boost::asio::awaitable<bool> write_response(beast::tcp_stream& stream, Response response,
                                            const WriteOptions& options) {
  std::string body =
      response.body_text ? std::move(*response.body_text) : common::to_json_text(response.body);
  const auto status = static_cast<bhttp::status>(response.status);
  // A 304 has no body, and no length either: a length would be the one of the full answer.
  const bool not_modified = status == bhttp::status::not_modified;
  if (options.head_only || not_modified) {
    bhttp::response<bhttp::empty_body> message{status, options.version};
    // A streamed answer, or one sent in pieces, has no length known in advance.
    const bool unknown_length = response.stream || response.pieces;
    add_common_headers(message, response, options.keep_alive && !unknown_length);
    if (not_modified) {
      message.erase(bhttp::field::content_type);
    } else if (!unknown_length) {
      message.content_length(body.size());
    }
    co_return co_await write_message(stream, message, options.timeout);
  }
  bhttp::response<bhttp::string_body> message{status, options.version, std::move(body)};
  add_common_headers(message, response, options.keep_alive);
  message.prepare_payload();
  co_return co_await write_message(stream, message, options.timeout);
}

boost::asio::awaitable<bool> write_in_pieces(beast::tcp_stream& stream, Response response,
                                             const WriteOptions& options) {
  // HTTP/1.0 knows no chunks: the body ends with the connection instead.
  const bool chunked = options.version >= http_1_1;
  bhttp::response<bhttp::empty_body> header{static_cast<bhttp::status>(response.status),
                                            options.version};
  add_common_headers(header, response, options.keep_alive && chunked);
  header.chunked(chunked);
  bhttp::response_serializer<bhttp::empty_body> serializer{header};
  stream.expires_after(options.timeout);
  if (auto [ec, n] = co_await bhttp::async_write_header(stream, serializer, use_tuple); ec) {
    co_return false;
  }
  std::optional<std::string> piece = std::move(response.body_text);
  while (piece) {
    if (!piece->empty()) {
      stream.expires_after(options.timeout);
      const auto buffer = boost::asio::buffer(*piece);
      auto [ec, n] =
          chunked ? co_await boost::asio::async_write(stream, bhttp::make_chunk(buffer), use_tuple)
                  : co_await boost::asio::async_write(stream, buffer, use_tuple);
      if (ec) {
        co_return false;
      }
    }
    try {
      piece = co_await response.pieces();
    } catch (const std::exception& error) {
      log::logger().error("an answer sent in pieces failed after its start: {}", error.what());
      co_return false;
    }
  }
  if (chunked) {
    stream.expires_after(options.timeout);
    auto [ec, n] = co_await boost::asio::async_write(stream, bhttp::make_chunk_last(), use_tuple);
    co_return !ec;
  }
  co_return false;
}

boost::asio::awaitable<bool> write_continue(beast::tcp_stream& stream, unsigned version,
                                            std::chrono::milliseconds timeout) {
  bhttp::response<bhttp::empty_body> go_on{bhttp::status::continue_, version};
  co_return co_await write_message(stream, go_on, timeout);
}

// Closing at once would reset the connection and could destroy the answer in flight, since the
// client may still be sending the body nobody read.
boost::asio::awaitable<void> linger_close(beast::tcp_stream& stream) {
  boost::system::error_code ignored;
  stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
  stream.expires_after(std::chrono::seconds(2));
  std::array<char, std::size_t{16} * 1024> sink{};
  for (std::size_t drained = 0; drained < std::size_t{64} * 1024 * 1024;) {
    auto [ec, n] = co_await stream.async_read_some(boost::asio::buffer(sink), use_tuple);
    if (ec) {
      break;
    }
    drained += n;
  }
  stream.socket().close(ignored);
}

}  // namespace stratdesk::http::detail
