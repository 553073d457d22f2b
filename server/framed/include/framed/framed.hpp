#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/system_error.hpp>

// One request frame and one answer frame over a loopback connection, as both local peers (the
// parameter extraction and the analytics service) speak them: a 4-byte little-endian signed
// length, then the body. Every exchange has a deadline and closes its socket on every path.
namespace stratdesk::framed {

using Clock = std::chrono::steady_clock;

// A step of an exchange that failed on its socket. what() and code() are the socket error's.
class Error : public boost::system::system_error {
 public:
  enum class Step { connect, send, receive };
  Error(Step step, const boost::system::system_error& error)
      : boost::system::system_error(error), step_(step) {}
  [[nodiscard]] Step step() const noexcept { return step_; }

 private:
  Step step_;
};

// What an exchange came to when no socket failed.
struct Reply {
  enum class Status {
    answered,      // `body` holds the answer (cut short when the peer closed within it)
    closed_early,  // the peer closed before the whole 4-byte length had come
    timed_out,     // the deadline passed first
  };
  Status status = Status::answered;
  std::string body;
};

// Sends `frame` (a whole frame, length included) on the connected `socket` and reads one frame
// back, all before `deadline`. Bytes past the announced length are left unread. Throws Error
// (send or receive) when the socket fails, and operation_aborted as a plain
// boost::system::system_error when the caller's coroutine is cancelled. The socket is closed
// when this returns or throws.
boost::asio::awaitable<Reply> exchange(boost::asio::ip::tcp::socket& socket, std::string_view frame,
                                       Clock::time_point deadline);

// Connects to 127.0.0.1:`port`, then exchanges as above; the deadline covers the connection
// too. Throws Error (connect, send or receive) when the socket fails.
boost::asio::awaitable<Reply> request(unsigned short port, std::string_view frame,
                                      Clock::time_point deadline);

// Reads one frame's body: nullopt when the peer closed before the 4-byte length; a body cut
// short by the peer's close comes as it arrived. Never reads past the frame. Throws
// boost::system::system_error when the socket fails.
boost::asio::awaitable<std::optional<std::string>> read_frame(boost::asio::ip::tcp::socket& socket);

// Reads until `n` bytes arrived or the peer closed, whichever comes first, and returns what
// arrived. Reads nothing when `n` is 0 or less. The announced `n` is never allocated at once:
// a length that lies costs only what really arrives. Errors other than the peer's close throw
// boost::system::system_error.
boost::asio::awaitable<std::string> recv_n(boost::asio::ip::tcp::socket& sock, std::int64_t n);

}  // namespace stratdesk::framed
