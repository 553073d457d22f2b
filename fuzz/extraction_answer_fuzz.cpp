// The parameter extraction's answer frame, as fuzzed bytes arriving on a real loopback
// connection that the peer then closes.
#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
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
asio::awaitable<void> send_and_close(tcp::endpoint listener, std::string bytes) {
  tcp::socket peer(co_await asio::this_coro::executor);
  co_await peer.async_connect(listener, asio::use_awaitable);
  co_await asio::async_write(peer, asio::buffer(bytes), asio::use_awaitable);
  peer.shutdown(tcp::socket::shutdown_send);
}

asio::awaitable<stratdesk::algorithms::ExtractionAnswer> accept_and_read(tcp::acceptor& acceptor) {
  tcp::socket socket = co_await acceptor.async_accept(asio::use_awaitable);
  co_return co_await stratdesk::algorithms::read_answer(socket);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static asio::io_context io;
  static tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  asio::co_spawn(io,
                 send_and_close(acceptor.local_endpoint(),
                                std::string(reinterpret_cast<const char*>(data), size)),
                 asio::detached);
  auto answer = asio::co_spawn(io, accept_and_read(acceptor), asio::use_future);
  io.restart();
  io.run();
  try {
    const auto read = answer.get();
    if (!stratdesk::common::is_valid_utf8(read.body) || read.body.size() + 4 > size) {
      __builtin_trap();
    }
  } catch (const stratdesk::common::Error&) {
  }
  return 0;
}
