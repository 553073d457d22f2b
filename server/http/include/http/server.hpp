#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "http/router.hpp"

namespace stratdesk::http {

struct ServerOptions {
  // Bodies above this are answered 413 before they are read.
  std::size_t body_limit = 256u * 1024 * 1024;
  std::size_t header_limit = 64u * 1024;
  // Time for a whole request header to arrive once a connection waits for one; it also bounds
  // how long an idle keep-alive connection is kept.
  std::chrono::milliseconds header_timeout = std::chrono::seconds(60);
  // Time for a request body to arrive (a 256 MiB body over loopback takes well under this).
  std::chrono::milliseconds body_timeout = std::chrono::seconds(300);
  // Time to write one answer.
  std::chrono::milliseconds write_timeout = std::chrono::seconds(60);
  // Connections beyond this are answered 503 and closed at once.
  std::size_t max_connections = 1024;
};

// The HTTP/1.1 server: one coroutine per connection on the caller's io_context, keep-alive,
// "Expect: 100-continue", body and header limits, time limits on every read and write.
class Server {
 public:
  Server(boost::asio::io_context& io, const Api& api, ServerOptions options = {});
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds and listens; returns the bound endpoint (the real port when 0 was asked).
  // Throws boost::system::system_error when the address cannot be bound.
  boost::asio::ip::tcp::endpoint listen(const std::string& address, unsigned short port);

  // Starts accepting connections on the bound endpoint.
  void start();

  // Stops accepting, closes idle connections, lets requests in flight be answered, and calls
  // `done` once every connection is gone or `grace` has passed (then the rest are closed).
  void shutdown(std::chrono::milliseconds grace, std::function<void()> done);

  [[nodiscard]] std::size_t connection_count() const { return sessions_->size(); }

 private:
  struct Session;
  using SessionSet = std::unordered_set<Session*>;

  boost::asio::awaitable<void> accept_loop();
  boost::asio::awaitable<void> serve(boost::asio::ip::tcp::socket socket);
  boost::asio::awaitable<void> wait_for_sessions(std::chrono::milliseconds grace,
                                                 std::function<void()> done);

  boost::asio::io_context& io_;
  const Api& api_;
  ServerOptions options_;
  boost::asio::ip::tcp::acceptor acceptor_;
  std::shared_ptr<SessionSet> sessions_;
  bool stopping_ = false;
};

}  // namespace stratdesk::http
