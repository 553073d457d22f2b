#include "stream_session.hpp"

#include <memory>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/write.hpp>

namespace stratdesk::http {
namespace {

namespace bhttp = boost::beast::http;
constexpr auto use_tuple = boost::asio::as_tuple(boost::asio::use_awaitable);

class SocketChannel final : public StreamChannel {
 public:
  SocketChannel(boost::beast::tcp_stream& stream, std::chrono::milliseconds write_timeout,
                boost::asio::cancellation_signal& shutdown)
      : stream_(stream), write_timeout_(write_timeout), shutdown_(shutdown) {}

  boost::asio::awaitable<bool> write(std::string_view text) override {
    if (aborted_) {
      co_return false;
    }
    stream_.expires_after(write_timeout_);
    auto [ec, n] = co_await boost::asio::async_write(stream_, boost::asio::buffer(text), use_tuple);
    // Between writes the stream waits for events, not for the client: no time limit then.
    stream_.expires_never();
    co_return !ec && !aborted_;
  }

  void abort() override {
    aborted_ = true;
    stream_.cancel();
  }

  boost::asio::cancellation_slot shutdown_slot() override { return shutdown_.slot(); }

 private:
  boost::beast::tcp_stream& stream_;
  std::chrono::milliseconds write_timeout_;
  boost::asio::cancellation_signal& shutdown_;
  bool aborted_ = false;
};

// A streamed answer's client sends nothing more, so the socket turning readable means it went
// away (or broke the protocol): the stream ends then rather than at its next write, which could
// be long in coming and would hold the stream's place meanwhile.
struct ClientWatch {
  bool stream_done = false;
};

void watch_client(boost::beast::tcp_stream& stream, boost::asio::cancellation_signal& end_stream,
                  const std::shared_ptr<ClientWatch>& watch) {
  stream.socket().async_wait(boost::asio::socket_base::wait_read,
                             [&end_stream, watch](const boost::system::error_code&) {
                               // After the stream is done the session may be gone with it.
                               if (!watch->stream_done) {
                                 end_stream.emit(boost::asio::cancellation_type::terminal);
                               }
                             });
}

}  // namespace

boost::asio::awaitable<void> run_stream(boost::beast::tcp_stream& stream, Response response,
                                        unsigned version, std::chrono::milliseconds write_timeout,
                                        boost::asio::cancellation_signal& shutdown) {
  bhttp::response<bhttp::empty_body> header{static_cast<bhttp::status>(response.status), version};
  header.set(bhttp::field::content_type, "application/json");
  for (const auto& [name, value] : response.headers) {
    header.set(name, value);
  }
  // The body ends when the connection does.
  header.keep_alive(false);
  bhttp::response_serializer<bhttp::empty_body> serializer{header};
  stream.expires_after(write_timeout);
  auto [ec, n] = co_await bhttp::async_write_header(stream, serializer, use_tuple);
  stream.expires_never();
  if (ec) {
    co_return;
  }
  // What waits for a client that stops reading is counted by the writer; a small kernel buffer
  // keeps that count close to what the client has really not taken.
  boost::system::error_code ignored;
  stream.socket().set_option(boost::asio::socket_base::send_buffer_size(64 * 1024), ignored);
  SocketChannel channel(stream, write_timeout, shutdown);
  const auto watch = std::make_shared<ClientWatch>();
  watch_client(stream, shutdown, watch);
  co_await response.stream(channel);
  watch->stream_done = true;
  stream.socket().cancel(ignored);
}

}  // namespace stratdesk::http
