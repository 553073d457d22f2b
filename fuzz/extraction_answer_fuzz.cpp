// The parameter extraction's answer frame, as fuzzed bytes arriving on a real loopback
// connection that the peer then closes.
#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/asio/write.hpp>

#include "algorithms/algorithms.hpp"
#include "http/errors.hpp"
#include "http/forms.hpp"

namespace asio = boost::asio;
using asio::ip::tcp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static asio::io_context io;
  static tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  tcp::socket peer(io);
  peer.connect(acceptor.local_endpoint());
  tcp::socket socket = acceptor.accept();
  asio::write(peer, asio::buffer(data, size));
  peer.shutdown(tcp::socket::shutdown_send);

  auto answer = asio::co_spawn(io, stratdesk::algorithms::read_answer(socket), asio::use_future);
  io.restart();
  io.run();
  try {
    const auto read = answer.get();
    if (!stratdesk::http::is_valid_utf8(read.body) || read.body.size() + 4 > size) {
      __builtin_trap();
    }
  } catch (const stratdesk::http::Error&) {
  }
  return 0;
}
