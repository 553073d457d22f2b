#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>

#include "http/access.hpp"
#include "http/body_budget.hpp"
#include "http/router.hpp"
#include "tasks/task_group.hpp"

namespace stratdesk::http {

struct ServerOptions {
  // Bodies above this are answered 413 before they are read.
  std::size_t body_limit = std::size_t{256} * 1024 * 1024;
  std::size_t header_limit = std::size_t{64} * 1024;
  // What the bodies of all requests being read and handled may hold together; a body of
  // `small_body` bytes or fewer is not counted, so small requests never wait behind large ones.
  std::size_t body_memory = std::size_t{512} * 1024 * 1024;
  static constexpr std::size_t small_body = std::size_t{1024} * 1024;
  // How long a connection may wait for the first byte of its next request.
  std::chrono::milliseconds idle_timeout = std::chrono::seconds(60);
  // Time for a whole request header to arrive once its first byte has.
  std::chrono::milliseconds header_timeout = std::chrono::seconds(30);
  // Time for a request body to arrive (a 256 MiB body over loopback takes well under this).
  std::chrono::milliseconds body_timeout = std::chrono::seconds(300);
  // Time to write one answer.
  std::chrono::milliseconds write_timeout = std::chrono::seconds(60);
  // At this many open connections a new one closes the longest idle one, or, when every
  // connection is busy, is answered 503 and closed.
  std::size_t max_connections = 1000;
  AccessOptions access;
};

// The HTTP/1.1 server: one coroutine per connection on the caller's io_context, keep-alive,
// "Expect: 100-continue", body and header limits, time limits on every read and write.
class Server {
 public:
  // The accept loop runs as a task of `tasks`; connections are the server's own.
  Server(boost::asio::io_context& io, const Api& api, tasks::TaskGroup& tasks,
         ServerOptions options = {});
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds and listens; returns the bound endpoint (the real port when 0 was asked).
  // Throws boost::system::system_error when the address cannot be bound.
  boost::asio::ip::tcp::endpoint listen(const std::string& address, unsigned short port);

  // Starts accepting connections on the bound endpoint.
  void start();

  // Stops accepting, closes idle connections, ends streamed answers, lets requests in flight be
  // answered, and completes once every connection is gone, or once `grace` has passed (the rest
  // are closed then).
  boost::asio::awaitable<void> shutdown(std::chrono::milliseconds grace);

 private:
  struct Session;
  // The one registry of open connections. Shared with the connections' frames: a frame
  // destroyed by the io_context after the server is gone must still find it.
  struct SessionSet {
    std::unordered_set<Session*> open;
    // The timer of a shutdown waiting for the last connection to close.
    boost::asio::steady_timer* last_closed = nullptr;
  };

  boost::asio::awaitable<void> accept_loop();
  // One connection: requests read, answered and written in turn until either side ends it.
  boost::asio::awaitable<void> serve(boost::asio::ip::tcp::socket socket);
  // The next request of the connection, read whole within its time limits; nullopt when the
  // connection is over (an answer it was owed, such as 413 or a refusal, has been written).
  // A large body is read only once `body_share` holds its place in the body budget.
  boost::asio::awaitable<std::optional<RequestMessage>> read_request(
      Session& session, boost::beast::flat_buffer& buffer, BodyBudget::Reservation& body_share);
  // Waits up to the idle limit for the first bytes of the next request; false when none came.
  boost::asio::awaitable<bool> wait_for_request(Session& session,
                                                boost::beast::flat_buffer& buffer);
  // Answers a request that could not be read, when it is owed an answer, and closes.
  boost::asio::awaitable<void> answer_read_error(Session& session,
                                                 const boost::system::error_code& ec,
                                                 unsigned version);
  // Writes `response` as the connection's last answer and closes it.
  boost::asio::awaitable<void> refuse(Session& session, Response response, unsigned version);
  boost::asio::awaitable<Response> answer(Request& request);
  // Makes room for one more connection; false when every open connection is busy.
  bool make_room(const Session* newcomer);
  // Waits until no connection is open or until `deadline`; false when some are still open.
  boost::asio::awaitable<bool> wait_for_sessions(std::chrono::steady_clock::time_point deadline);

  boost::asio::io_context& io_;
  const Api& api_;
  tasks::TaskGroup& tasks_;
  ServerOptions options_;
  boost::asio::ip::tcp::acceptor acceptor_;
  std::optional<AccessPolicy> access_;
  std::shared_ptr<BodyBudget> body_budget_;
  std::shared_ptr<SessionSet> sessions_;
  bool stopping_ = false;
};

}  // namespace stratdesk::http
