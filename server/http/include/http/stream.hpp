#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>

namespace stratdesk::http {

// The connection as a streamed answer sees it once its header is sent.
class StreamChannel {
 public:
  virtual ~StreamChannel() = default;
  // Writes `text`; false when the connection failed, was aborted or the write took too long.
  virtual boost::asio::awaitable<bool> write(std::string_view text) = 0;
  // Ends a write in progress at once; for a writer that learns outside the socket that its
  // client must be dropped.
  virtual void abort() = 0;
  // Emitted (terminal) when the server shuts down: the writer must return promptly.
  virtual boost::asio::cancellation_slot shutdown_slot() = 0;
};

// Writes a streamed answer's body until it returns; the connection is closed afterwards.
using StreamWriter = std::function<boost::asio::awaitable<void>(StreamChannel&)>;

// The next piece of an answer sent in chunks, nullopt after the last. Called again only once
// the piece before is written, so that a large answer never waits whole in memory. An exception
// ends the connection: the answer is cut, never ended as if whole.
using BodyPieces = std::function<boost::asio::awaitable<std::optional<std::string>>()>;

}  // namespace stratdesk::http
