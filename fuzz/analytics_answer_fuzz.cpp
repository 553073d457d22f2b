// A request to the analytics service answered by fuzzed bytes: a fake service on loopback reads
// the request frame, sends the input and closes the connection.
#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/asio/write.hpp>

#include "morvex_client/morvex_client.hpp"

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

asio::awaitable<void> answer_once(tcp::acceptor& acceptor, std::string reply) {
  tcp::socket socket = co_await acceptor.async_accept(asio::use_awaitable);
  char header[4];
  co_await asio::async_read(socket, asio::buffer(header), asio::use_awaitable);
  const std::uint32_t length =
      static_cast<unsigned char>(header[0]) | static_cast<unsigned char>(header[1]) << 8 |
      static_cast<unsigned char>(header[2]) << 16 |
      static_cast<std::uint32_t>(static_cast<unsigned char>(header[3])) << 24;
  std::string body(length, '\0');
  co_await asio::async_read(socket, asio::buffer(body), asio::use_awaitable);
  co_await asio::async_write(socket, asio::buffer(reply), asio::use_awaitable);
  socket.shutdown(tcp::socket::shutdown_send);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static asio::io_context io;
  static tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  static const stratdesk::morvex_client::Client client(
      {acceptor.local_endpoint().port(), std::chrono::seconds(5)});
  asio::co_spawn(io, answer_once(acceptor, std::string(reinterpret_cast<const char*>(data), size)),
                 asio::detached);
  auto answer =
      asio::co_spawn(io, client.do_request({{"cmd", "get_id_symbol_map"}}), asio::use_future);
  io.restart();
  io.run();
  try {
    answer.get();
  } catch (const stratdesk::morvex_client::Error&) {
  }
  return 0;
}
