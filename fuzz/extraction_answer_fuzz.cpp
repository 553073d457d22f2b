// The parameter extraction's answer frame, as fuzzed bytes arriving on a real loopback
// connection that the peer then closes, read by the exchange the extraction itself runs.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/asio/write.hpp>

#include "algorithms/algorithms.hpp"
#include "common/error.hpp"
#include "common/text.hpp"

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// Asynchronous on both ends: libFuzzer's timer signal would break a blocking connect (EINTR).
// An empty source, as the extraction frames it.
const std::string request_frame("\0\0\0\0", 4);

// Takes the request before closing, so that the server's side never writes to a closed socket.
asio::awaitable<void> answer_and_close(tcp::endpoint listener, std::string bytes) {
  tcp::socket peer(co_await asio::this_coro::executor);
  co_await peer.async_connect(listener, asio::use_awaitable);
  co_await asio::async_write(peer, asio::buffer(bytes), asio::use_awaitable);
  peer.shutdown(tcp::socket::shutdown_send);
  std::string request(request_frame.size(), '\0');
  co_await asio::async_read(peer, asio::buffer(request), asio::use_awaitable);
}

asio::awaitable<std::optional<stratdesk::algorithms::ExtractionAnswer>> accept_and_exchange(
    tcp::acceptor& acceptor) {
  tcp::socket socket = co_await acceptor.async_accept(asio::use_awaitable);
  co_return co_await stratdesk::algorithms::exchange_with_extraction(
      socket, request_frame, std::chrono::steady_clock::now() + std::chrono::seconds(10));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static asio::io_context io;
  static tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  asio::co_spawn(io,
                 answer_and_close(acceptor.local_endpoint(),
                                  std::string(reinterpret_cast<const char*>(data), size)),
                 asio::detached);
  auto answer = asio::co_spawn(io, accept_and_exchange(acceptor), asio::use_future);
  io.restart();
  io.run();
  try {
    const auto read = answer.get();
    if (!read || !stratdesk::common::is_valid_utf8(read->body) || read->body.size() + 4 > size) {
      __builtin_trap();
    }
  } catch (const stratdesk::common::Error&) {
  }
  return 0;
}
