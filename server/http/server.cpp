#include "http/server.hpp"

#include <utility>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>

#include "log/log.hpp"
#include "response_writer.hpp"
#include "stream_session.hpp"
#include "tasks/task_group.hpp"

namespace stratdesk::http {

namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using boost::asio::ip::tcp;
constexpr auto use_tuple = boost::asio::as_tuple(boost::asio::use_awaitable);

struct Server::Session {
  beast::tcp_stream stream;
  bool busy = false;
  std::chrono::steady_clock::time_point idle_since = std::chrono::steady_clock::now();
  // A streamed answer is running; shutdown ends it through `stream_shutdown`.
  bool streaming = false;
  boost::asio::cancellation_signal stream_shutdown{};
};

namespace {

bool is_parse_error(const boost::system::error_code& ec) {
  return ec.category() == bhttp::make_error_code(bhttp::error::bad_method).category() &&
         ec != bhttp::error::end_of_stream && ec != bhttp::error::partial_message;
}

bool wants_continue(const bhttp::request_parser<bhttp::string_body>& parser) {
  const auto& header = parser.get();
  const auto expect = header.find(bhttp::field::expect);
  return expect != header.end() && beast::iequals(expect->value(), "100-continue");
}

// The answer owed to a client whose request could not be read, if one is owed at all. A client
// that went away gets none, nor does one that ran out of time: the stream has closed the socket
// by then.
std::optional<Response> answer_for_read_error(const boost::system::error_code& ec) {
  if (ec == bhttp::error::body_limit) {
    return Response::message(413, "request body is larger than the server accepts");
  }
  if (ec == bhttp::error::header_limit) {
    return Response::message(431, "request header is larger than the server accepts");
  }
  if (is_parse_error(ec)) {
    return Response::message(400, "malformed HTTP request: " + ec.message());
  }
  return std::nullopt;
}

}  // namespace

Server::Server(boost::asio::io_context& io, const Api& api, tasks::TaskGroup& tasks,
               ServerOptions options)
    : io_(io),
      api_(api),
      tasks_(tasks),
      options_(std::move(options)),
      acceptor_(io),
      body_budget_(std::make_shared<BodyBudget>(options_.body_memory)),
      sessions_(std::make_shared<SessionSet>()) {}

Server::~Server() = default;

tcp::endpoint Server::listen(const std::string& address, unsigned short port) {
  const tcp::endpoint endpoint(boost::asio::ip::make_address(address), port);
  acceptor_.open(endpoint.protocol());
  acceptor_.set_option(tcp::acceptor::reuse_address(true));
  acceptor_.bind(endpoint);
  acceptor_.listen(boost::asio::socket_base::max_listen_connections);
  tcp::endpoint bound = acceptor_.local_endpoint();
  access_.emplace(options_.access, address, bound.port());
  return bound;
}

void Server::start() {
  tasks_.spawn(io_.get_executor(), "the accept loop", accept_loop());
}

boost::asio::awaitable<void> Server::accept_loop() {
  boost::asio::steady_timer backoff(io_);
  while (!stopping_) {
    auto [ec, socket] = co_await acceptor_.async_accept(use_tuple);
    if (stopping_ || ec == boost::asio::error::operation_aborted) {
      co_return;
    }
    if (ec) {
      // Out of descriptors, most likely: wait for connections to close instead of spinning.
      log::logger().error("accept failed: {}", ec.message());
      backoff.expires_after(std::chrono::milliseconds(100));
      co_await backoff.async_wait(use_tuple);
      continue;
    }
    boost::system::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    boost::asio::co_spawn(io_, serve(std::move(socket)), log::report_failure_of("a connection"));
  }
}

boost::asio::awaitable<void> Server::serve(tcp::socket socket) {
  Session session{beast::tcp_stream(std::move(socket))};
  const std::shared_ptr<SessionSet> sessions = sessions_;
  sessions->open.insert(&session);
  struct Unregister {
    SessionSet& sessions;
    Session* session;
    ~Unregister() {
      sessions.open.erase(session);
      if (sessions.open.empty() && sessions.last_closed != nullptr) {
        sessions.last_closed->cancel();
      }
    }
  } unregister{*sessions, &session};

  if (sessions->open.size() > options_.max_connections && !make_room(&session)) {
    co_await refuse(session, Response::message(503, "too many open connections"), detail::http_1_1);
    co_return;
  }

  beast::flat_buffer buffer;
  while (!stopping_) {
    // Declared first, so the body's share of memory is given back only after the request, and
    // the body with it, is gone.
    BodyBudget::Reservation body_share;
    std::optional<RequestMessage> message = co_await read_request(session, buffer, body_share);
    if (!message) {
      co_return;
    }
    Request request(std::move(*message));
    Response response = co_await answer(request);
    // Release what the request held (its database connection, rolling back what it did not
    // commit) before the answer goes out, so a slow reader holds no lock.
    request.context().clear();
    if (response.stream && request.method() != verb::head && !stopping_) {
      session.streaming = true;
      co_await run_stream(session.stream, std::move(response), request.message().version(),
                          options_.write_timeout, session.stream_shutdown);
      break;
    }
    const detail::WriteOptions how{.version = request.message().version(),
                                   .head_only = request.method() == verb::head,
                                   .keep_alive = request.keep_alive() && !stopping_,
                                   .timeout = options_.write_timeout};
    const bool closes = how.head_only && (response.stream || response.pieces);
    const bool in_pieces = response.pieces && !how.head_only;
    const bool written =
        in_pieces ? co_await detail::write_in_pieces(session.stream, std::move(response), how)
                  : co_await detail::write_response(session.stream, std::move(response), how);
    session.busy = false;
    if (!written || !how.keep_alive || closes) {
      break;
    }
  }
  boost::system::error_code ignored;
  session.stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
}

boost::asio::awaitable<std::optional<RequestMessage>> Server::read_request(
    Session& session, beast::flat_buffer& buffer, BodyBudget::Reservation& body_share) {
  bhttp::request_parser<bhttp::string_body> parser;
  parser.header_limit(static_cast<std::uint32_t>(options_.header_limit));
  parser.body_limit(options_.body_limit);

  session.idle_since = std::chrono::steady_clock::now();
  if (buffer.size() == 0 && !co_await wait_for_request(session, buffer)) {
    co_return std::nullopt;
  }
  session.stream.expires_after(options_.header_timeout);
  auto [header_ec, header_bytes] =
      co_await bhttp::async_read_header(session.stream, buffer, parser, use_tuple);
  if (header_ec) {
    co_await answer_read_error(session, header_ec, detail::http_1_1);
    co_return std::nullopt;
  }
  session.busy = true;
  const unsigned version = parser.get().version();
  if (auto refused = access_->refusal(parser.get())) {
    access_->add_cors_headers(parser.get(), *refused);
    co_await refuse(session, std::move(*refused), version);
    co_return std::nullopt;
  }
  if (!parser.is_done()) {
    const std::size_t body_size = parser.content_length().value_or(options_.body_limit);
    if (body_size > ServerOptions::small_body) {
      try {
        body_share = co_await body_budget_->reserve(body_size);
      } catch (const boost::system::system_error&) {
        co_return std::nullopt;  // the server is stopping
      }
    }
    if (wants_continue(parser) &&
        !co_await detail::write_continue(session.stream, version, options_.write_timeout)) {
      co_return std::nullopt;
    }
    session.stream.expires_after(options_.body_timeout);
    auto [body_ec, body_bytes] =
        co_await bhttp::async_read(session.stream, buffer, parser, use_tuple);
    if (body_ec) {
      co_await answer_read_error(session, body_ec, version);
      co_return std::nullopt;
    }
  }
  co_return parser.release();
}

boost::asio::awaitable<bool> Server::wait_for_request(Session& session,
                                                      beast::flat_buffer& buffer) {
  session.stream.expires_after(options_.idle_timeout);
  auto [ec, first_bytes] =
      co_await session.stream.async_read_some(buffer.prepare(std::size_t{16} * 1024), use_tuple);
  if (ec) {
    co_return false;
  }
  buffer.commit(first_bytes);
  co_return true;
}

boost::asio::awaitable<void> Server::answer_read_error(Session& session,
                                                       const boost::system::error_code& ec,
                                                       unsigned version) {
  if (auto answer = answer_for_read_error(ec)) {
    co_await refuse(session, std::move(*answer), version);
  }
}

boost::asio::awaitable<void> Server::refuse(Session& session, Response response, unsigned version) {
  const detail::WriteOptions how{.version = version,
                                 .head_only = false,
                                 .keep_alive = false,
                                 .timeout = options_.write_timeout};
  co_await detail::write_response(session.stream, std::move(response), how);
  co_await detail::linger_close(session.stream);
}

boost::asio::awaitable<Response> Server::answer(Request& request) {
  Response response;
  if (AccessPolicy::is_preflight(request.message())) {
    const Api::Match route = api_.match(request.path(), verb::options);
    response = route.kind == Api::Match::Kind::not_found
                   ? Response::message(404, "no resource at " + request.path())
                   : access_->preflight(request.message(), route.allowed);
  } else {
    response = co_await api_.dispatch(request);
  }
  access_->add_cors_headers(request.message(), response);
  co_return response;
}

bool Server::make_room(const Session* newcomer) {
  Session* oldest_idle = nullptr;
  for (Session* session : sessions_->open) {
    if (session != newcomer && !session->busy &&
        (oldest_idle == nullptr || session->idle_since < oldest_idle->idle_since)) {
      oldest_idle = session;
    }
  }
  if (oldest_idle == nullptr) {
    return false;
  }
  // Its pending read ends with an error and its coroutine closes the connection.
  oldest_idle->busy = true;
  oldest_idle->stream.cancel();
  return true;
}

boost::asio::awaitable<void> Server::shutdown(std::chrono::milliseconds grace) {
  stopping_ = true;
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  for (Session* session : sessions_->open) {
    if (session->streaming) {
      session->stream_shutdown.emit(boost::asio::cancellation_type::terminal);
    } else if (!session->busy) {
      session->stream.cancel();
    }
  }
  if (co_await wait_for_sessions(std::chrono::steady_clock::now() + grace)) {
    co_return;
  }
  log::logger().warning("closing {} connections still busy after the shutdown grace period",
                        sessions_->open.size());
  for (Session* session : sessions_->open) {
    session->stream.socket().close(ignored);
  }
}

boost::asio::awaitable<bool> Server::wait_for_sessions(
    std::chrono::steady_clock::time_point deadline) {
  boost::asio::steady_timer timer(io_);
  sessions_->last_closed = &timer;
  struct Forget {
    SessionSet& sessions;
    ~Forget() { sessions.last_closed = nullptr; }
  } forget{*sessions_};
  // The last connection to close cancels the timer.
  while (!sessions_->open.empty() && std::chrono::steady_clock::now() < deadline) {
    timer.expires_at(deadline);
    co_await timer.async_wait(use_tuple);
  }
  co_return sessions_->open.empty();
}

}  // namespace stratdesk::http
